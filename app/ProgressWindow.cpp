// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/ProgressWindow.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

QString BatchTime::clock(qint64 seconds)
{
    seconds = std::max<qint64>(seconds, 0);
    const auto two = [](qint64 value) { return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0')); };
    if (seconds < 3600)
        return QString::number(seconds / 60) + u':' + two(seconds % 60);
    return QString::number(seconds / 3600) + u':' + two(seconds / 60 % 60) + u':' + two(seconds % 60);
}

std::optional<qint64> BatchTime::remainingMs(qint64 elapsedMs, double done, int total)
{
    if (!(done > 0) || elapsedMs <= 0)
        return std::nullopt;
    const double left = std::max(double(total) - done, 0.0);
    return qint64(std::llround(double(elapsedMs) / done * left));
}

QString BatchTime::text(qint64 elapsedMs, int ended, double done, int total)
{
    // The first pictures of a batch wait for the workers to start: a pace taken from them misleads.
    if (ended < 3 && elapsedMs < 2000)
        return {};
    QString line = QStringLiteral("已用时 ") + clock(elapsedMs / 1000);
    // Rounded up: "0:00" left while work remains would be wrong.
    if (const std::optional<qint64> left = remainingMs(elapsedMs, done, total))
        line += QStringLiteral("，预计还需 ") + clock((*left + 999) / 1000);
    return line;
}

ProgressWindow::ProgressWindow(const QString& format, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint)
    , m_format(format)
    , m_label(new QLabel(this))
    , m_bar(new QProgressBar(this))
    , m_cancel(new QPushButton(QStringLiteral("取消"), this))
{
    setObjectName(QStringLiteral("ProgressWindow"));
    setWindowTitle(QStringLiteral("Kalvorin"));
    setWindowModality(Qt::WindowModal);
    m_label->setMinimumWidth(320);
    m_label->setTextFormat(Qt::PlainText);
    // Room for the line on time from the start: the dialog does not grow under the pointer.
    m_label->setMinimumHeight(m_label->fontMetrics().lineSpacing() * 4);
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
    // The main window can still take the focus, and then has the key events: a shortcut of the
    // application's reaches the dialog from there too, and from the dialog itself before reject().
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this, nullptr, nullptr, Qt::ApplicationShortcut);
    connect(escape, &QShortcut::activated, this, &ProgressWindow::cancelRequested);
}

void ProgressWindow::setProgress(int ended, int total, const QString& current, double running, qint64 elapsedMs)
{
    if (!m_cancel->isEnabled())
        return;
    total = std::max(total, 1);
    const double done = std::clamp(double(ended) + running, 0.0, double(total));
    m_bar->setRange(0, total * 1000);
    m_bar->setValue(int(std::lround(done * 1000)));
    // What is finished and what is being worked on are two facts, on two lines.
    QString text =
        QStringLiteral("正在转换为 %1…\n已完成 %2/%3 张").arg(m_format, QString::number(ended), QString::number(total));
    if (!current.isEmpty())
        text += QStringLiteral("\n正在处理：") + current;
    if (const QString time = BatchTime::text(elapsedMs, ended, done, total); !time.isEmpty())
        text += u'\n' + time;
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

int ProgressWindow::barValue() const
{
    return m_bar->value();
}

void ProgressWindow::reject()
{
    // The window stays until the batch has stopped; Escape and closing it ask for that.
    emit cancelRequested();
}
