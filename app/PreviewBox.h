// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QImage>
#include <QWidget>

/// The preview: a picture fitted to the box and centred, a short line of text, or nothing (the window's
/// background shows through).
class PreviewBox final : public QWidget {
    Q_OBJECT

public:
    explicit PreviewBox(QWidget* parent = nullptr);

    void setPicture(const QImage& picture);
    void setText(const QString& text);
    void clear();

    const QImage& picture() const { return m_picture; }
    const QString& text() const { return m_text; }
    bool isEmpty() const { return m_picture.isNull() && m_text.isEmpty(); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_picture;
    QString m_text;
};
