#include "WorkerProcess.h"

#include <QProcess>

WorkerProcess::WorkerProcess(QString program, QProcessEnvironment environment, QObject* parent)
    : QObject(parent)
    , m_program(std::move(program))
    , m_environment(std::move(environment))
{
    m_timer.setSingleShot(true);
    connect(&m_timer, &QTimer::timeout, this, [this] { fail(Protocol::Status::Timeout); });
}

WorkerProcess::~WorkerProcess()
{
    const bool busy = isBusy();
    m_done = nullptr;
    m_timer.stop();
    // An idle worker ends by itself when its input closes; a busy one, or one already being dropped,
    // is stopped. Either is waited for, so no process outlives the engine.
    for (QProcess* process : findChildren<QProcess*>()) {
        process->disconnect(this);
        if (process->state() == QProcess::NotRunning)
            continue;
        process->closeWriteChannel();
        if (process != m_process || busy || !process->waitForFinished(2000)) {
            process->kill();
            process->waitForFinished(2000);
        }
    }
}

qint64 WorkerProcess::processId() const
{
    return m_process ? m_process->processId() : 0;
}

void WorkerProcess::send(const QByteArray& request, int timeoutMs, Done done)
{
    Q_ASSERT(!m_done);
    m_done = std::move(done);
    if (!m_process)
        start();
    // A worker that cannot even start has failed the request already.
    if (!m_process)
        return;
    m_buffer.clear();
    m_process->write(Protocol::frame(request));
    m_timer.start(timeoutMs);
}

void WorkerProcess::start()
{
    m_process = new QProcess(this);
    m_process->setProcessEnvironment(m_environment);
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(m_process, &QProcess::readyReadStandardOutput, this, &WorkerProcess::readAnswer);
    connect(m_process, &QProcess::finished, this, [this] { fail(Protocol::Status::Crashed); });
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        // A write error follows a death that finished() reports too.
        if (error == QProcess::FailedToStart)
            fail(Protocol::Status::NoWorker);
        else if (error == QProcess::Crashed)
            fail(Protocol::Status::Crashed);
    });
    m_process->start(m_program, {});
}

void WorkerProcess::readAnswer()
{
    m_buffer += m_process->readAllStandardOutput();
    const std::optional<QByteArray> answer = Protocol::takeFrame(m_buffer);
    if (!answer)
        return;
    if (!m_done || answer->isEmpty()) {
        // An answer nobody asked for, or a broken frame: the stream can no longer be trusted.
        fail(Protocol::Status::Crashed);
        return;
    }
    m_timer.stop();
    Done done = std::move(m_done);
    m_done = nullptr;
    done(Protocol::Status::Ok, *answer);
}

void WorkerProcess::fail(Protocol::Status status)
{
    m_timer.stop();
    dropProcess();
    if (!m_done)
        return;
    Done done = std::move(m_done);
    m_done = nullptr;
    done(status, {});
}

void WorkerProcess::dropProcess()
{
    if (!m_process)
        return;
    QProcess* process = m_process;
    m_process = nullptr;
    process->disconnect(this);
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
        return;
    }
    // The process is reaped when it has gone, without waiting for it here.
    connect(process, &QProcess::finished, process, &QObject::deleteLater);
    process->kill();
}
