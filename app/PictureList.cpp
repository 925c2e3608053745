// SPDX-License-Identifier: GPL-3.0-or-later
#include "PictureList.h"

#include <QDir>
#include <QScopedValueRollback>

PictureList::PictureList(QWidget* parent)
    : QListWidget(parent)
{
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    // Paths are longer than the list is wide; the file name at their end is what tells them apart.
    setTextElideMode(Qt::ElideLeft);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    connect(this, &QListWidget::itemSelectionChanged, this, &PictureList::reportSelection);
}

void PictureList::addEntry(const QString& path)
{
    addEntries({path});
}

void PictureList::addEntries(const QStringList& paths)
{
    const QScopedValueRollback quiet(m_quiet, true);
    setUpdatesEnabled(false);
    for (const QString& path : paths) {
        auto* entry = new QListWidgetItem(path, this);
        entry->setToolTip(QDir::toNativeSeparators(path));
    }
    setUpdatesEnabled(true);
}

bool PictureList::removeEntry(int index)
{
    if (index < 0 || index >= count())
        return false;
    const QScopedValueRollback quiet(m_quiet, true);
    const bool wasSelected = item(index)->isSelected();
    delete takeItem(index);
    // Qt moves the current row to a neighbour; the removed entry's selection must not move with it.
    if (wasSelected)
        selectionModel()->clear();
    return true;
}

void PictureList::clearEntries()
{
    const QScopedValueRollback quiet(m_quiet, true);
    clear();
}

QString PictureList::entryText(int index) const
{
    const QListWidgetItem* entry = item(index);
    return entry ? entry->text() : QString();
}

int PictureList::selectedIndex() const
{
    const QList<QListWidgetItem*> items = selectedItems();
    return items.isEmpty() ? -1 : row(items.first());
}

bool PictureList::setSelectedIndex(int index)
{
    if (index < 0 || index >= count())
        return false;
    {
        const QScopedValueRollback quiet(m_quiet, true);
        setCurrentRow(index, QItemSelectionModel::ClearAndSelect);
    }
    emit selectionChosen(index);
    return true;
}

void PictureList::reportSelection()
{
    if (m_quiet)
        return;
    // A user can only move the selection, never clear it, so there is always an entry to report, except
    // for a Ctrl+click that deselects: that chooses nothing.
    const int index = selectedIndex();
    if (index >= 0)
        emit selectionChosen(index);
}
