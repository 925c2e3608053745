// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/BatchRun.h"

#include "core/Naming.h"

#include "app/ProgressWindow.h"
#include "client/OutputFolder.h"
#include "client/PictureEngine.h"

#include <QFileInfo>
#include <QShortcut>

#include <algorithm>

BatchRun::BatchRun(PictureEngine& engine, const QList<PlannedOutput>& plan, OutputFormat::Index format,
                   std::shared_ptr<const OutputFolder> folder, QWidget* window)
    : m_engine(engine)
    , m_window(window)
{
    m_report.folder = folder->path();
    // The job of each entry, -1 for those that have none.
    QList<int> jobOfEntry;
    jobOfEntry.reserve(plan.size());
    for (const PlannedOutput& output : plan) {
        if (output.repeats >= 0) {
            m_repeats.append({output.source, jobOfEntry.value(output.repeats, -1)});
            jobOfEntry.append(-1);
            continue;
        }
        if (output.skipped) {
            m_report.skipped.append({output.source, output.target});
            jobOfEntry.append(-1);
            continue;
        }
        jobOfEntry.append(int(m_jobs.size()));
        // Replaced only where the user said so, and only in the folder that was chosen.
        m_jobs.append({output.source, output.target, format, output.replacesExisting, folder});
        m_plannedRenames.append(output.renamed);
    }
    m_written.resize(m_jobs.size());
    m_report.total = int(m_jobs.size());
    // A batch of small pictures is over before a progress window would be worth reading.
    m_showLater.setSingleShot(true);
    m_showLater.setInterval(400);
    connect(&m_showLater, &QTimer::timeout, this, &BatchRun::showProgress);
    m_tick.setInterval(1000);
    connect(&m_tick, &QTimer::timeout, this, &BatchRun::updateProgress);
}

BatchRun::~BatchRun()
{
    // The engine must not report to a batch that is gone.
    if (m_state == State::Running || m_state == State::Cancelling)
        m_engine.cancelBatch();
    delete m_progress;
    delete m_escape;
}

void BatchRun::start()
{
    Q_ASSERT(m_state == State::Ready);
    m_state = State::Running;
    m_clock.start();
    m_showLater.start();
    if (m_window) {
        m_escape = new QShortcut(QKeySequence(Qt::Key_Escape), m_window);
        connect(m_escape, &QShortcut::activated, this, &BatchRun::cancel);
    }
    QPointer<BatchRun> self(this);
    BatchCallbacks callbacks;
    callbacks.started = [self](int index) {
        if (self)
            self->jobStarted(index);
    };
    callbacks.finished = [self](int index, const JobOutcome& outcome) {
        if (self)
            self->jobFinished(index, outcome);
    };
    callbacks.progress = [self](int index, double fraction) {
        if (self)
            self->jobProgress(index, fraction);
    };
    callbacks.done = [self] {
        if (self)
            self->engineDone();
    };
    m_engine.convertBatch(m_jobs, std::move(callbacks));
}

void BatchRun::cancel()
{
    if (m_state != State::Running)
        return;
    m_state = State::Cancelling;
    m_report.cancelled = true;
    if (m_progress)
        m_progress->setCancelling();
    m_engine.cancelBatch();
}

void BatchRun::jobStarted(int index)
{
    m_running.append(index);
    updateProgress();
}

void BatchRun::jobProgress(int index, double fraction)
{
    if (!m_running.contains(index))
        return;
    m_fractions[index] = std::clamp(fraction, 0.0, 1.0);
    updateProgress();
}

void BatchRun::jobFinished(int index, const JobOutcome& outcome)
{
    ++m_ended;
    m_running.removeOne(index);
    m_fractions.remove(index);
    switch (outcome.kind) {
    case JobOutcome::Kind::Written: {
        ++m_report.written;
        m_written[index] = outcome.target;
        // Told only of pictures that were written, under the name they have.
        const ConvertJob& job = m_jobs[index];
        if (outcome.target != job.target)
            m_renames.insert(index, {job.source, outcome.target, PlannedOutput::Renamed::NameTakenWhileConverting});
        else if (m_plannedRenames[index] != PlannedOutput::Renamed::No)
            m_renames.insert(index, {job.source, job.target, m_plannedRenames[index]});
        break;
    }
    case JobOutcome::Kind::Failed:
        m_report.failures.append({m_jobs[index].source, outcome.reason, outcome.detail});
        break;
    case JobOutcome::Kind::Cancelled:
        break;
    }
    updateProgress();
}

void BatchRun::engineDone()
{
    m_state = State::Ended;
    m_report.renames = m_renames.values();
    for (const auto& [source, job] : std::as_const(m_repeats))
        m_report.repeats.append({source, m_written.value(job)});
    m_showLater.stop();
    m_tick.stop();
    // Later: done may come within the shortcut's own signal, when the engine cancels at once.
    if (m_escape) {
        m_escape->setEnabled(false);
        m_escape->deleteLater();
    }
    if (m_progress)
        m_progress->hide();
    emit ended();
}

void BatchRun::showProgress()
{
    if (m_state != State::Running && m_state != State::Cancelling)
        return;
    if (!m_progress) {
        m_progress = new ProgressWindow(OutputFormat::extension(m_jobs.value(0).format).mid(1).toUpper(), m_window);
        connect(m_progress, &ProgressWindow::cancelRequested, this, &BatchRun::cancel);
    }
    updateProgress();
    if (m_state == State::Cancelling)
        m_progress->setCancelling();
    if (m_escape)
        m_escape->setEnabled(false);
    m_progress->show();
    m_tick.start();
}

void BatchRun::updateProgress()
{
    if (!m_progress)
        return;
    double running = 0;
    for (const double fraction : std::as_const(m_fractions))
        running += fraction;
    m_progress->setProgress(m_ended, m_report.total, runningName(), running, m_clock.elapsed());
}

QString BatchRun::runningName() const
{
    return m_running.isEmpty() ? QString() : QFileInfo(m_jobs[m_running.last()].source).fileName();
}
