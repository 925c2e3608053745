// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QListWidget>

/// The picture list with the semantics the handlers rely on: clearing, adding and removing entries
/// never report a selection; removing the selected entry leaves nothing selected; choosing an entry
/// from code reports it exactly as a click does.
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

private:
    void reportSelection();

    // Set while the list changes under us, so Qt's own selection moves are not reported.
    bool m_quiet = false;
};
