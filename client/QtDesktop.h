// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "client/Desktop.h"

#include <QFileDialog>

#include <memory>

class QFileIconProvider;

/// The desktop services through Qt's dialogs, QMessageBox and QDesktopServices.
class QtDesktop final : public Desktop {
public:
    std::optional<QString> openFiles(QWidget* parent, const FileFilter& filter,
                                     const QString& startFolder = {}) override;
    QString browseFolder(QWidget* parent, const QString& title, const QString& startFolder = {}) override;
    QString remembered(const QString& key) const override;
    void remember(const QString& key, const QString& value) override;
    void showMessage(QWidget* parent, const Message& message) override;
    int ask(QWidget* parent, const Question& question) override;
    bool openFolder(const QString& folder) override;
};

/// The Qt name filter that shows description as it stands but filters by patterns without regard to
/// case ("*.jpg" shows IMG_0001.JPG). Exposed for the tests.
QString caseInsensitiveNameFilter(const FileFilter& filter);

/// Qt's own open dialog, set up for filter and several files, links returned as themselves.
///
/// Qt keeps of the names typed into the file-name field only those its view shows and that exist.
/// This dialog keeps every name typed, in the order typed, whatever the filter shows and whether or
/// not the file exists; one name of a folder still opens that folder. Exposed for the tests.
class OpenDialog final : public QFileDialog {
    Q_OBJECT

public:
    OpenDialog(QWidget* parent, const FileFilter& filter);
    ~OpenDialog() override;

    /// The full paths picked or typed, once the dialog was accepted.
    const QStringList& chosenFiles() const { return m_chosen; }

    void accept() override;

private:
    QStringList m_chosen;
    // The type names of the files listed, in Chinese.
    std::unique_ptr<QFileIconProvider> m_types;
};

/// The names in the file-name field's text: each name in double quotes when there are several, as the
/// dialog writes them, or the whole text as one name. Exposed for the tests.
QStringList typedNames(const QString& text);

/// Packs the dialog's picked paths into one result: the path itself for one file, otherwise the folder
/// and each name separated by U+0000. Exposed for the tests.
QString packDialogResult(const QStringList& paths);
