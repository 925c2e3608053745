// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QListWidget>

/// The picture list with the semantics the handlers rely on: clearing, adding and removing entries
/// never report a selection; removing the selected entry leaves nothing selected; choosing an entry
/// from code reports it exactly as a click does. The user moves the selection but cannot clear it
/// (Ctrl+click on the selected entry keeps it). Delete and drops of files are passed on as requests.
class PictureList final : public QListWidget {
    Q_OBJECT

public:
    explicit PictureList(QWidget* parent = nullptr);

    void addEntry(const QString& path);
    void addEntries(const QStringList& paths);
    /// Removes the entry at index; false when there is none there.
    bool removeEntry(int index);
    void clearEntries();

    int entryCount() const { return count(); }
    /// The entry's full path; empty for -1 or any index outside the list.
    QString entryText(int index) const;
    /// The selected index, -1 when nothing is selected.
    int selectedIndex() const;
    /// Selects index and reports it through selectionChosen; false (and nothing reported) when index is
    /// outside the list.
    bool setSelectedIndex(int index);

signals:
    /// The user or the code chose the entry at index.
    void selectionChosen(int index);
    /// The user pressed Delete in the list.
    void deleteRequested();
    /// Files or folders were dropped on the list, as local paths in the order dropped.
    void pathsDropped(const QStringList& paths);

protected:
    QItemSelectionModel::SelectionFlags selectionCommand(const QModelIndex& index,
                                                         const QEvent* event = nullptr) const override;
    void keyPressEvent(QKeyEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void reportSelection();

    // Set while the list changes under us, so Qt's own selection moves are not reported.
    bool m_quiet = false;
};
