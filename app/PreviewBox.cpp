// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/PreviewBox.h"

#include <QPainter>

PreviewBox::PreviewBox(QWidget* parent)
    : QWidget(parent)
{
}

void PreviewBox::setPicture(const QImage& picture)
{
    m_picture = picture;
    m_text.clear();
    update();
}

void PreviewBox::setText(const QString& text)
{
    m_picture = QImage();
    m_text = text;
    update();
}

void PreviewBox::clear()
{
    setPicture(QImage());
}

void PreviewBox::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    if (!m_picture.isNull()) {
        // The engine already scaled the picture to the box in device pixels; only a change of screen
        // could make it larger than the box now.
        QSizeF size = m_picture.deviceIndependentSize();
        if (size.width() > width() || size.height() > height())
            size.scale(QSizeF(this->size()), Qt::KeepAspectRatio);
        const QRectF target((width() - size.width()) / 2, (height() - size.height()) / 2, size.width(), size.height());
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.drawImage(target, m_picture);
    } else if (!m_text.isEmpty()) {
        painter.setPen(Qt::white);
        painter.drawText(rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap, m_text);
    }
}
