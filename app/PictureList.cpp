// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/PictureList.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QKeyEvent>
#include <QMimeData>
#include <QPainter>
#include <QScopedValueRollback>
#include <QScrollBar>
#include <QUrl>

PictureList::PictureList(QWidget* parent)
    : QListWidget(parent)
{
    setSelectionMode(QAbstractItemView::SingleSelection);
    setUniformItemSizes(true);
    // Paths are longer than the list is wide; the file name at their end is what tells them apart.
    setTextElideMode(Qt::ElideLeft);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    connect(this, &QListWidget::itemSelectionChanged, this, &PictureList::reportSelection);
    setAcceptDrops(true);
    setDragDropMode(QAbstractItemView::DropOnly);
    // The frame is drawn with the entries: at 125% and 150% scaling the viewport, rounded to whole
    // pixels, covered the style's frame and its bottom line went missing. Scrolling repaints it all,
    // so that the frame never scrolls with the entries.
    setFrameShape(QFrame::NoFrame);
    connect(verticalScrollBar(), &QScrollBar::valueChanged, viewport(), qOverload<>(&QWidget::update));
}

void PictureList::paintEvent(QPaintEvent* event)
{
    QListWidget::paintEvent(event);
    QPainter painter(viewport());
    // White and thicker while the list has the keyboard's focus.
    const QRect edge = viewport()->rect();
    if (hasFocus()) {
        painter.setPen(QPen(Qt::white, 2));
        painter.drawRect(edge.adjusted(1, 1, -1, -1));
    } else {
        painter.setPen(QPen(QColor(170, 190, 215), 1));
        painter.drawRect(edge.adjusted(0, 0, -1, -1));
    }
}

void PictureList::focusInEvent(QFocusEvent* event)
{
    QListWidget::focusInEvent(event);
    viewport()->update();
}

void PictureList::focusOutEvent(QFocusEvent* event)
{
    QListWidget::focusOutEvent(event);
    viewport()->update();
}

QItemSelectionModel::SelectionFlags PictureList::selectionCommand(const QModelIndex& index, const QEvent*) const
{
    // Whatever the modifiers, a click or a key moves the selection to the entry; nowhere, nothing.
    return index.isValid() ? QItemSelectionModel::ClearAndSelect : QItemSelectionModel::NoUpdate;
}

void PictureList::keyPressEvent(QKeyEvent* event)
{
    if (event->key() == Qt::Key_Delete && event->modifiers() == Qt::NoModifier) {
        emit deleteRequested();
        return;
    }
    QListWidget::keyPressEvent(event);
}

namespace {
QStringList localPaths(const QMimeData* data)
{
    QStringList paths;
    if (!data || !data->hasUrls())
        return paths;
    for (const QUrl& url : data->urls()) {
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    }
    return paths;
}
} // namespace

void PictureList::dragEnterEvent(QDragEnterEvent* event)
{
    if (localPaths(event->mimeData()).isEmpty())
        event->ignore();
    else
        event->acceptProposedAction();
}

void PictureList::dragMoveEvent(QDragMoveEvent* event)
{
    if (localPaths(event->mimeData()).isEmpty())
        event->ignore();
    else
        event->acceptProposedAction();
}

void PictureList::dropEvent(QDropEvent* event)
{
    const QStringList paths = localPaths(event->mimeData());
    if (paths.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    emit pathsDropped(paths);
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
