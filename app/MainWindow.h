// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/Naming.h"

#include <QImage>
#include <QStringList>
#include <QWidget>

#include <array>
#include <optional>

class BatchRun;
class Desktop;
class PictureEngine;
class PictureList;
class PreviewBox;
class QButtonGroup;
class QLabel;
class QPushButton;
struct FileFilter;
struct PlannedOutput;

/// The main window: the picture list, the preview and the buttons that fill, trim and convert the list.
class MainWindow final : public QWidget {
    Q_OBJECT

public:
    MainWindow(Desktop& desktop, PictureEngine& engine, QWidget* parent = nullptr);
    ~MainWindow() override;

    /// The folder of the last open or add dialog's selection, then the names picked in it (FileParts).
    const QStringList& pickedParts() const { return m_pickedParts; }
    /// The list index the last selection recorded (CurIndex); removing entries leaves it as it was, so
    /// it can point past the end of the list.
    int selectedIndex() const { return m_selectedIndex; }
    /// The output folder chosen for the last conversion (SavePath); empty when none was.
    const QString& outputPath() const { return m_outputPath; }

    /// Lists files as 添加图片 does and folders by the pictures in them, as a drop on the list does;
    /// relative paths are taken from the current folder.
    void addFiles(const QStringList& paths);

    /// The batch that is converting, if any.
    BatchRun* runningBatch() const { return m_batch; }

    /// Quits as "取消并退出" does, without asking: closes any dialog open over the window, cancels the
    /// running batch and closes the window once it has ended, or at once when none runs.
    void quitNow();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void setTabOrder();
    // The layout: every control's place is kept in twips and scaled with the window.
    void setTwipsGeometry(QWidget* control, const QRect& twips);
    void fitToScreen();
    void scaleLayout();

    // Handlers of the controls' events.
    void open();
    void add();
    void addDropped(const QStringList& paths);
    void deleteEntry();
    void select(int index);
    void convert(int buttonId);
    void view();

    // Asks for the output folder and keeps it in m_outputPath; the folder browser's routine, by the
    // name a reader of the window's behaviour looks for.
    void Showbc();
    std::optional<QList<PlannedOutput>> planOutputs(const QStringList& entries, OutputFormat::Index format);
    void batchEnded();
    void updateControls();
    void pickPictures(const FileFilter& filter, bool replaceList);
    void showPreviewOf(int index);
    void clearPreview();

    Desktop& m_desktop;
    PictureEngine& m_engine;
    QImage m_background;

    struct TwipsPlace {
        QWidget* control;
        QRect twips;
    };
    QList<TwipsPlace> m_twipsPlaces;
    // The layout's scale and where its top-left corner sits in the window; the background as drawn.
    double m_scale = 1.0;
    QPoint m_origin;
    QImage m_scaledBackground;

    PictureList* m_pictureList = nullptr;
    // Shows nothing: it sits below the client area, and only echoes the folder of the last selection.
    QLabel* m_folderLabel = nullptr;
    QPushButton* m_viewButton = nullptr;
    QPushButton* m_openButton = nullptr;
    QPushButton* m_deleteButton = nullptr;
    QPushButton* m_addButton = nullptr;
    // The seven format buttons; a button's id is its format's index.
    QButtonGroup* m_formatButtons = nullptr;
    PreviewBox* m_preview = nullptr;

    QStringList m_pickedParts;
    int m_selectedIndex = 0;
    QString m_outputPath;

    // Answers for an older selection arrive after a newer one was asked for; only the newest counts.
    quint64 m_previewTicket = 0;
    quint64 m_previewAnswered = 0;

    BatchRun* m_batch = nullptr;
    // A batch has ended since the window opened: "立即查看" has a folder to show.
    bool m_converted = false;
    // The user or the session chose to quit; the window closes once no batch runs, and starts none.
    bool m_quitAfterBatch = false;
};
