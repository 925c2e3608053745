// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QDialog>

#include <optional>

class QLabel;
class QProgressBar;
class QPushButton;

/// The time a batch has taken and will take, as the progress window tells it.
namespace BatchTime {

/// A duration in whole seconds as a clock shows it: "0:07", "12:30", "1:02:03".
QString clock(qint64 seconds);

/// The milliseconds still to go when elapsedMs gave done of total pictures (whole ones plus the parts
/// of the running ones): the rest at the pace so far. Nothing before any picture has made progress.
std::optional<qint64> remainingMs(qint64 elapsedMs, double done, int total);

/// The line on time: empty until 3 pictures have ended or 2 seconds have gone, then the time taken,
/// and the time left once there is a pace to reckon it from.
QString text(qint64 elapsedMs, int ended, double done, int total);

} // namespace BatchTime

/// The dialog over the main window that shows a running batch and offers to cancel it. The main window
/// disables its own controls while a batch runs; the dialog blocks it besides, and Escape cancels
/// whichever of the two has the focus.
class ProgressWindow final : public QDialog {
    Q_OBJECT

public:
    /// format is the caption of the format converted to ("PNG").
    ProgressWindow(const QString& format, QWidget* parent);

    /// ended of total pictures have ended and running is how much of the running ones is done, in
    /// pictures; current is the name of the one being worked on, and elapsedMs the batch's time.
    void setProgress(int ended, int total, const QString& current, double running = 0, qint64 elapsedMs = 0);
    /// Says the batch is stopping; cancelling again is not offered.
    void setCancelling();
    QString text() const;
    /// The bar's position, in thousandths of a picture.
    int barValue() const;

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
