// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/WorkerProcess.h"

#include "ipc/LongPath.h"
#include "ipc/SourceChannel.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

namespace {
// Said once in the window's log, the first time a worker reports it: every worker of this kernel will
// run without that layer of its sandbox.
void sayMissingLayers(quint32 layers)
{
    static quint32 said = 0;
    const auto sayOnce = [&](quint32 layer, const char* words) {
        if (!(layers & layer) && !(said & layer)) {
            said |= layer;
            qWarning("kalvorin: %s", words);
        }
    };
    sayOnce(Protocol::FileRestriction, "this kernel has no Landlock: the workers' files are not restricted");
    sayOnce(Protocol::SystemCallFilter, "this kernel refused the workers' system-call filter");
    sayOnce(Protocol::NoNewPrivileges, "this kernel refused to keep the workers from gaining privileges");
}

// A killed process is normally gone within milliseconds; one stuck in the kernel (a dead network
// disk) is left to end on its own rather than hold the batch.
constexpr int reapLimitMs = 5'000;
} // namespace

int TimeLimits::overallMs(qint64 pixels) const
{
    // Capped before the multiplication: 2^53 pixels times 4000 ms would wrap to a negative limit, and
    // the job would be stopped at once.
    const qint64 capped = std::clamp<qint64>(pixels, 0, Protocol::maxPixels);
    const qint64 rate = std::max(msPerMegapixel, 0);
    const qint64 ms = qint64(std::max(baseMs, 0)) + capped / 1'000'000 * rate + capped % 1'000'000 * rate / 1'000'000;
    return int(std::min<qint64>(ms, std::numeric_limits<int>::max()));
}

WorkerProcess::WorkerProcess(QString program, QProcessEnvironment environment, QByteArray policy,
                             QList<int> outputFolders, QObject* parent)
    : QObject(parent)
    , m_program(std::move(program))
    , m_environment(std::move(environment))
    , m_policy(std::move(policy))
    , m_outputFolders(std::move(outputFolders))
{
    for (QTimer* timer : {&m_idle, &m_overall, &m_reapLimit})
        timer->setSingleShot(true);
    connect(&m_idle, &QTimer::timeout, this, [this] { fail(Protocol::Status::Timeout); });
    connect(&m_overall, &QTimer::timeout, this, [this] { fail(Protocol::Status::Timeout); });
    connect(&m_reapLimit, &QTimer::timeout, this, [this] {
        const Protocol::Status status = m_failing.value_or(Protocol::Status::Crashed);
        releaseProcess();
        finishRequest(status, {});
    });
}

WorkerProcess::~WorkerProcess()
{
    m_done = nullptr;
    // Every process still here, the current one and any released one that has not ended yet, is
    // stopped and waited for, so that none outlives the engine; their folders go with them.
    for (QProcess* process : findChildren<QProcess*>()) {
        process->disconnect(this);
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(reapLimitMs);
        }
        delete process;
    }
    m_process = nullptr;
    m_folder.reset();
}

qint64 WorkerProcess::processId() const
{
    return m_process ? m_process->processId() : 0;
}

QString WorkerProcess::temporaryFolder() const
{
    return m_process && m_folder ? m_folder->path() : QString();
}

void WorkerProcess::send(const QByteArray& request, const QString& source, TimeLimits limits, Done done,
                         Measured measured, Written written, Progress progress)
{
    Q_ASSERT(!m_done);
    m_done = std::move(done);
    m_measured = std::move(measured);
    m_written = std::move(written);
    m_progress = std::move(progress);
    m_limits = limits;
    m_failing.reset();
    ++m_request;
    if (!m_process)
        start();
    // A worker that cannot even start fails the request, once this has returned.
    if (!m_process)
        return;
    // Opened as the worker would have: not blocking on a pipe, never becoming a terminal's. Its own
    // checks (a regular file, its size) are made on what it is given.
    LongPath::Fd file = source.isEmpty() ? LongPath::Fd() : LongPath::open(source, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    // Read before the last request's file is closed, which may set errno again.
    m_unsentError = source.isEmpty() ? ENOENT : file.isValid() ? 0 : errno;
    m_unsentFile = std::move(file);
    m_unsent = request;
    // A fresh process gets the request once it has said it speaks this version: one of another build
    // never sees it, so it cannot act on it in its own way.
    if (m_greeted)
        sendUnsent();
    m_clock.start();
    m_idle.start(m_limits.idleMs);
    m_overall.start(m_limits.baseMs);
}

void WorkerProcess::dropUnsent()
{
    m_unsent.clear();
    m_unsentFile = LongPath::Fd();
}

void WorkerProcess::sendUnsent()
{
    const bool handed = SourceChannel::send(m_sources.get(), m_unsentFile.get(), m_unsentError);
    m_unsentFile = LongPath::Fd();
    const QByteArray request = std::exchange(m_unsent, {});
    // A worker that takes no picture cannot be given its request.
    if (!handed) {
        fail(Protocol::Status::Crashed);
        return;
    }
    m_process->write(Protocol::frame(request));
}

void WorkerProcess::proceed(qint64 memory)
{
    if (!isBusy() || m_failing || !m_process)
        return;
    m_process->write(Protocol::frame(Protocol::encodeProceed(memory)));
    // Waiting for the others was not work: the time limit counts from here.
    m_clock.start();
    m_overall.start(m_limits.baseMs);
}

void WorkerProcess::cancel()
{
    if (isBusy() && !m_failing)
        fail(Protocol::Status::Cancelled);
}

void WorkerProcess::retire()
{
    if (isBusy())
        m_retire = true;
    else
        releaseProcess();
}

QString WorkerProcess::temporaryRoot()
{
    const QString system = QDir::tempPath();
    if (QDir::isAbsolutePath(system) && QFileInfo(system).isDir())
        return system;
    return QStringLiteral("/tmp");
}

void WorkerProcess::start()
{
    m_retire = false;
    m_greeted = false;
    m_reader.clear();
    m_folder = std::make_shared<QTemporaryDir>(
        QDir(temporaryRoot()).filePath(QStringLiteral("kalvorin-%1-XXXXXX").arg(QCoreApplication::applicationPid())));
    if (!m_folder->isValid()) {
        m_folder.reset();
        failLater(Protocol::Status::NoWorker);
        return;
    }
    // The socket the pictures go on: the worker's end is handed down like the output folders.
    int sources[2] = {-1, -1};
    if (!SourceChannel::makePair(sources)) {
        m_folder.reset();
        failLater(Protocol::Status::NoWorker);
        return;
    }
    m_sources = LongPath::Fd(sources[0]);
    const int workerEnd = sources[1];
    QProcessEnvironment environment = m_environment;
    // The library's caches, and anything else the worker writes aside, land in the private folder,
    // which the worker removes itself when it has to end on its own (the window gone, a logout).
    environment.insert(QStringLiteral("MAGICK_TEMPORARY_PATH"), m_folder->path());
    environment.insert(QStringLiteral("TMPDIR"), m_folder->path());
    environment.insert(QStringLiteral("KALVORIN_PRIVATE_FOLDER"), m_folder->path());
    environment.insert(QStringLiteral("KALVORIN_PARENT"), QString::number(QCoreApplication::applicationPid()));
    // Each worker keeps to one core, as ImageMagick is told to: the pool is the parallelism, and
    // libimagequant's OpenMP threads on top of it only contend (GIF of Debian's wallpapers: 12.3 s
    // against 12.9 s).
    environment.insert(QStringLiteral("OMP_NUM_THREADS"), QStringLiteral("1"));
    if (!m_policy.isEmpty()) {
        QFile policy(m_folder->filePath(QStringLiteral("policy.xml")));
        if (policy.open(QIODevice::WriteOnly) && policy.write(m_policy) == m_policy.size() && policy.flush())
            environment.insert(QStringLiteral("MAGICK_CONFIGURE_PATH"), m_folder->path());
    }
    // The program's own policy, installed beside the worker, comes next, still ahead of the system's.
    const QString beside = QFileInfo(m_program).absolutePath();
    if (QFileInfo::exists(beside + QStringLiteral("/policy.xml"))) {
        const QString path = environment.value(QStringLiteral("MAGICK_CONFIGURE_PATH"));
        environment.insert(QStringLiteral("MAGICK_CONFIGURE_PATH"),
                           path.isEmpty() ? beside : path + QLatin1Char(':') + beside);
    }

    QStringList folders;
    for (const int folder : m_outputFolders)
        folders.append(QString::number(folder));
    environment.insert(QStringLiteral("KALVORIN_OUTPUT_FOLDERS"), folders.join(u','));
    environment.insert(QStringLiteral("KALVORIN_SOURCES"), QString::number(workerEnd));

    m_process = new QProcess(this);
    m_process->setProcessEnvironment(environment);
    // Only async-signal-safe calls here, in the child before exec. A process group of its own: Ctrl+C or
    // a closed terminal reaches the window, which stops its workers and cleans up after them, rather
    // than every worker at once. The output folders' descriptors stay open across exec, in the child
    // alone: the window keeps them close-on-exec for everything else it starts.
    m_process->setChildProcessModifier([folders = m_outputFolders, workerEnd] {
        ::setpgid(0, 0);
        for (const int folder : folders)
            ::fcntl(folder, F_SETFD, 0);
        ::fcntl(workerEnd, F_SETFD, 0);
    });
    m_process->setProcessChannelMode(QProcess::ForwardedErrorChannel);
    connect(m_process, &QProcess::readyReadStandardOutput, this, &WorkerProcess::readAnswer);
    connect(m_process, &QProcess::finished, this, &WorkerProcess::processEnded);
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        // Every other error is followed by finished().
        if (error == QProcess::FailedToStart) {
            releaseProcess();
            failLater(Protocol::Status::NoWorker);
        }
    });
    m_process->start(m_program, {});
    // The child has its copy, or has failed to start; this process keeps only its own end.
    ::close(workerEnd);
}

void WorkerProcess::readAnswer()
{
    while (m_process) {
        const std::optional<QByteArray> frame = m_reader.next();
        if (!frame) {
            // Taken from the pipe no faster than frames are cut, however much a worker sends.
            const qint64 more = std::min(m_reader.room(), m_process->bytesAvailable());
            if (more <= 0)
                return;
            m_reader.append(m_process->read(more));
            continue;
        }
        // A broken frame is empty, and no reply: the stream can no longer be trusted.
        const std::optional<Protocol::ReplyFrame> reply = Protocol::decodeReply(*frame);
        if (m_failing) {
            // Being stopped, it is heard only on a file it finished: that file is there.
            if (!reply)
                return;
            if (reply->kind == Protocol::Reply::Written && m_written)
                m_written(reply->name);
            continue;
        }
        if (!reply) {
            fail(Protocol::Status::ProtocolError);
            return;
        }
        if (!m_greeted) {
            // The first word must be the worker's version; one of another build is not used.
            if (const Protocol::Status greeting = Protocol::greeting(*reply); greeting != Protocol::Status::Ok) {
                fail(greeting);
                return;
            }
            m_greeted = true;
            sayMissingLayers(reply->layers);
            if (!m_unsent.isEmpty()) {
                sendUnsent();
                if (!m_process || m_failing)
                    return;
            }
            continue;
        }
        if (!m_done) {
            // Something nobody asked for.
            fail(Protocol::Status::ProtocolError);
            return;
        }
        switch (reply->kind) {
        case Protocol::Reply::Progress:
            m_idle.start(m_limits.idleMs);
            if (reply->value > 0)
                extendLimit(reply->value);
            if (m_progress && reply->done > 0)
                m_progress(reply->done);
            continue;
        case Protocol::Reply::Measured:
            m_idle.start(m_limits.idleMs);
            // While it waits, only signs of life count.
            m_overall.stop();
            if (m_measured)
                m_measured(reply->value);
            else
                proceed(0);
            continue;
        case Protocol::Reply::Written:
            if (!m_written)
                break;
            m_idle.start(m_limits.idleMs);
            m_written(reply->name);
            continue;
        case Protocol::Reply::Answer:
            m_idle.stop();
            m_overall.stop();
            finishRequest(Protocol::Status::Ok, reply->answer);
            if (m_retire && !isBusy())
                releaseProcess();
            return;
        case Protocol::Reply::Hello:
            break;
        }
        fail(Protocol::Status::ProtocolError);
        return;
    }
}

void WorkerProcess::extendLimit(qint64 pixels)
{
    const qint64 left = qint64(m_limits.overallMs(pixels)) - m_clock.elapsed();
    m_overall.start(int(std::clamp<qint64>(left, 0, std::numeric_limits<int>::max())));
}

void WorkerProcess::fail(Protocol::Status status)
{
    m_idle.stop();
    m_overall.stop();
    if (!isBusy()) {
        releaseProcess();
        return;
    }
    if (m_failing)
        return;
    if (!m_process || m_process->state() == QProcess::NotRunning) {
        releaseProcess();
        finishRequest(status, {});
        return;
    }
    // Reported once the process has gone: until then it could still be writing.
    m_failing = status;
    m_process->kill();
    m_reapLimit.start(reapLimitMs);
}

void WorkerProcess::processEnded()
{
    // What it said before it ended still counts.
    readAnswer();
    // A process that ends on its own in the middle of a request has crashed, or was killed by its
    // sandbox.
    const Protocol::Status status = m_failing.value_or(endedStatus());
    m_reapLimit.stop();
    m_idle.stop();
    m_overall.stop();
    if (m_process) {
        m_process->disconnect(this);
        m_process->deleteLater();
        m_process = nullptr;
    }
    // Gone for good: nothing can use the folder any more.
    m_folder.reset();
    if (isBusy())
        finishRequest(status, {});
}

Protocol::Status WorkerProcess::endedStatus() const
{
    // The system-call filter kills with SIGSYS; Qt gives a crashed process's signal as its exit code.
    if (m_process && m_process->exitStatus() == QProcess::CrashExit && m_process->exitCode() == SIGSYS)
        return Protocol::Status::Sandboxed;
    return Protocol::Status::Crashed;
}

void WorkerProcess::failLater(Protocol::Status status)
{
    // From the event loop, never inside send(): the owner's answer to a failure is often to send the
    // next request, which would otherwise nest one call deeper for every request that fails.
    QMetaObject::invokeMethod(
        this,
        [this, status, request = m_request] {
            if (request == m_request)
                finishRequest(status, {});
        },
        Qt::QueuedConnection);
}

void WorkerProcess::finishRequest(Protocol::Status status, const QByteArray& answer)
{
    m_failing.reset();
    // A request that never went no longer holds its picture open.
    dropUnsent();
    if (!m_done)
        return;
    Done done = std::move(m_done);
    m_done = nullptr;
    m_measured = nullptr;
    m_written = nullptr;
    m_progress = nullptr;
    done(status, answer);
}

void WorkerProcess::releaseProcess()
{
    m_reapLimit.stop();
    std::shared_ptr<QTemporaryDir> folder = std::move(m_folder);
    QProcess* process = std::exchange(m_process, nullptr);
    if (!process)
        return;
    process->disconnect(this);
    if (process->state() == QProcess::NotRunning) {
        process->deleteLater();
        return;
    }
    // The process and its folder go once it has ended, without waiting for it here.
    connect(process, &QProcess::finished, process, [process, folder] {
        process->deleteLater();
        if (folder)
            folder->remove();
    });
    process->kill();
}
