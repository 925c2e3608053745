// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>

class QLabel;
class QProgressBar;
class QPushButton;

/// The window that shows a running batch and offers to cancel it. It never blocks: the main window
/// disables its own controls while a batch runs.
class ProgressWindow final : public QDialog {
    Q_OBJECT

public:
    /// format is the caption of the format converted to ("PNG").
    ProgressWindow(const QString& format, QWidget* parent);

    void setProgress(int ended, int total, const QString& current);
    /// Says the batch is stopping; cancelling again is not offered.
    void setCancelling();
    QString text() const;

signals:
    /// The user pressed "取消", Escape, or closed the window.
    void cancelRequested();

protected:
    void reject() override;

private:
    QString m_format;
    QLabel* m_label = nullptr;
    QProgressBar* m_bar = nullptr;
    QPushButton* m_cancel = nullptr;
};
