// SPDX-License-Identifier: GPL-3.0-or-later
#include "ProgressWindow.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

ProgressWindow::ProgressWindow(const QString& format, QWidget* parent)
    : QDialog(parent)
    , m_format(format)
    , m_label(new QLabel(this))
    , m_bar(new QProgressBar(this))
    , m_cancel(new QPushButton(QStringLiteral("取消"), this))
{
    setObjectName(QStringLiteral("ProgressWindow"));
    setWindowTitle(QStringLiteral("Kalvorin"));
    setWindowModality(Qt::NonModal);
    m_label->setMinimumWidth(320);
    m_label->setTextFormat(Qt::PlainText);
    m_bar->setTextVisible(false);
    m_cancel->setAutoDefault(false);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(m_cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_label);
    layout->addWidget(m_bar);
    layout->addLayout(buttons);
    connect(m_cancel, &QPushButton::clicked, this, &ProgressWindow::cancelRequested);
}

void ProgressWindow::setProgress(int ended, int total, const QString& current)
{
    if (!m_cancel->isEnabled())
        return;
    m_bar->setRange(0, std::max(total, 1));
    m_bar->setValue(ended);
    // What is finished and what is being worked on are two facts, on two lines.
    QString text =
        QStringLiteral("正在转换为 %1…\n已完成 %2/%3 张").arg(m_format, QString::number(ended), QString::number(total));
    if (!current.isEmpty())
        text += QStringLiteral("\n正在处理：") + current;
    m_label->setText(text);
}

void ProgressWindow::setCancelling()
{
    m_label->setText(QStringLiteral("正在取消…"));
    m_cancel->setEnabled(false);
}

QString ProgressWindow::text() const
{
    return m_label->text();
}

void ProgressWindow::reject()
{
    // The window stays until the batch has stopped; Escape and closing it ask for that.
    emit cancelRequested();
}
