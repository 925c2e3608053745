// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/ConversionReport.h"
#include "client/PictureEngine.h"
#include "core/BatchPlan.h"

#include <QElapsedTimer>
#include <QList>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <memory>
#include <utility>

class OutputFolder;
class ProgressWindow;
class QShortcut;
class QWidget;

/// One batch from start to end: its jobs on the engine, its report and its progress window. It moves
/// from running to cancelling to ended and says when it has ended; the window reacts to that.
class BatchRun final : public QObject {
    Q_OBJECT

public:
    /// A batch of plan's entries (skipped and repeated ones are reported, not converted) into folder in
    /// the format of format. The progress window opens over window when the batch takes more than a moment.
    BatchRun(PictureEngine& engine, const QList<PlannedOutput>& plan, OutputFormat::Index format,
             std::shared_ptr<const OutputFolder> folder, QWidget* window);
    ~BatchRun() override;

    void start();
    /// Stops the batch: no further picture starts, the running ones are stopped, and ended follows.
    void cancel();

    const ConversionReport& report() const { return m_report; }

signals:
    void ended();

private:
    enum class State { Ready, Running, Cancelling, Ended };

    void jobStarted(int index);
    void jobFinished(int index, const JobOutcome& outcome);
    void jobProgress(int index, double fraction);
    void engineDone();
    void showProgress();
    void updateProgress();
    QString runningName() const;

    PictureEngine& m_engine;
    QWidget* m_window;
    QList<ConvertJob> m_jobs;
    // Why each job's target is not its plain name, as planned.
    QList<PlannedOutput::Renamed> m_plannedRenames;
    // The renamed pictures by job, told in the list's order once the batch is over.
    QMap<int, ConversionReport::Rename> m_renames;
    // Where each job's picture was written; empty until it is.
    QList<QString> m_written;
    // The entries that repeat an earlier one, and the job of that one (-1 when it has none).
    QList<std::pair<QString, int>> m_repeats;
    ConversionReport m_report;
    State m_state = State::Ready;
    int m_ended = 0;
    // The jobs under way, oldest first: the progress window names the newest.
    QList<int> m_running;
    // How much of each running job is done, where the engine tells.
    QMap<int, double> m_fractions;
    QElapsedTimer m_clock;
    QTimer m_showLater;
    // The time shown moves on every second even while no picture ends.
    QTimer m_tick;
    QPointer<ProgressWindow> m_progress;
    // Escape in the main window until the progress window, which then blocks it, takes over.
    QPointer<QShortcut> m_escape;
};
