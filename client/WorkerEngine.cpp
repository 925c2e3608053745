// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/WorkerEngine.h"

#include "client/OutputFolder.h"
#include "core/Naming.h"
#include "ipc/LongPath.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QRandomGenerator>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <limits>
#include <map>
#include <sys/stat.h>
#include <unistd.h>

namespace {
using Protocol::Status;

constexpr qint64 mebibyte = qint64(1) << 20;
// A job's temporary file exists while the job writes it, and no job outlives its time limit (a
// gigapixel's is under an hour): one untouched for a day belongs to no job.
constexpr qint64 abandonedAfter = 24 * 60 * 60;
constexpr qint64 gibibyte = qint64(1) << 30;

qint64 physicalMemory()
{
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    return pages > 0 && pageSize > 0 ? qint64(pages) * pageSize : 0;
}

// broken is set when the worker's answer is not one the protocol allows.
PreviewResult previewFromAnswer(Status status, const QByteArray& answer, bool* broken)
{
    if (status != Status::Ok)
        return {{}, Protocol::reason(status)};
    const std::optional<Protocol::PreviewAnswer> preview = Protocol::decodePreviewAnswer(answer);
    if (!preview) {
        *broken = true;
        return {{}, Protocol::reason(Status::ProtocolError)};
    }
    if (preview->status != Status::Ok)
        return {{}, Protocol::reason(preview->status)};
    const QImage view(reinterpret_cast<const uchar*>(preview->rgba.constData()), preview->size.width(),
                      preview->size.height(), preview->size.width() * 4, QImage::Format_RGBA8888);
    return {view.copy(), {}};
}

JobOutcome outcomeOf(Status status, const QString& detail = {})
{
    if (status == Status::Ok)
        return {};
    if (status == Status::Cancelled)
        return {JobOutcome::Kind::Cancelled, Protocol::reason(status), {}, {}};
    // The worker's own words say what its sandbox refused; killed by it, it said nothing.
    if (status == Status::Sandboxed && detail.isEmpty())
        return {JobOutcome::Kind::Failed,
                Protocol::reason(status),
                QStringLiteral("sandbox: the worker was stopped for a system call it may not make (SIGSYS)"),
                {}};
    return {JobOutcome::Kind::Failed, Protocol::reason(status), detail, {}};
}

// A process that has ended but was not yet reaped by its parent is not running.
bool isRunning(qint64 pid)
{
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
        return false;
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    const qsizetype end = line.lastIndexOf(')');
    return end < 0 || line.mid(end + 2, 1) != "Z";
}

// Paths as the worker takes them: a relative one is the window's, not whatever the worker would make
// of it.
QString absolute(const QString& path)
{
    return QDir::current().absoluteFilePath(path);
}

// The folder part of a path, as written, and its file name.
QString folderOf(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash < 0)
        return QStringLiteral(".");
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

QString nameOf(const QString& path)
{
    return path.mid(path.lastIndexOf(u'/') + 1);
}

QString systemWords(const char* what, int error)
{
    return QString::fromLatin1(what) + QStringLiteral(": ") + QString::fromLocal8Bit(std::strerror(error));
}

// A name for the job's temporary file that nothing in the folder has: the worker creates it without
// replacing anything, and the engine may remove it after the job without harming anyone's file.
QString freeTemporaryName(const OutputFolder& folder, const QString& name)
{
    for (;;) {
        const QString temporary = LongPath::temporaryName(name, QRandomGenerator::global()->generate64());
        if (!folder.has(temporary))
            return temporary;
    }
}
} // namespace

WorkerEngine::WorkerEngine(Options options, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
    , m_shareMemory(m_options.pixelMemory > 0 ? m_options.pixelMemory : memoryPerWorker())
    , m_aloneMemory(std::max(m_shareMemory, m_options.aloneMemory > 0 ? m_options.aloneMemory : memoryAlone()))
    , m_policy(policy(m_aloneMemory, m_options.pixelDisk))
{
    // The policy allows what a picture converted alone may have; every worker keeps to its share
    // otherwise.
    m_options.environment.insert(QStringLiteral("KALVORIN_PIXEL_MEMORY"), QString::number(m_shareMemory));
    removeStaleWorkerFolders();
}

WorkerEngine::~WorkerEngine() = default;

QProcessEnvironment WorkerEngine::workerEnvironment(const QProcessEnvironment& system)
{
    QProcessEnvironment kept;
    for (const QString& name :
         {QStringLiteral("PATH"), QStringLiteral("LD_LIBRARY_PATH"), QStringLiteral("ASAN_OPTIONS"),
          QStringLiteral("UBSAN_OPTIONS"), QStringLiteral("LSAN_OPTIONS")}) {
        if (system.contains(name))
            kept.insert(name, system.value(name));
    }
    return kept;
}

QString WorkerEngine::installedWorkerPath()
{
    return workerPathFor(QCoreApplication::applicationDirPath());
}

QString WorkerEngine::workerPathFor(const QString& programFolder)
{
    // Beside the program in the build tree; in libexec once installed (/usr/bin/kalvorin and
    // /usr/libexec/kalvorin/kalvorin-worker).
    const QString beside = programFolder + QStringLiteral("/kalvorin-worker");
    if (QFileInfo(beside).isExecutable())
        return beside;
    return QDir::cleanPath(programFolder + QStringLiteral("/../libexec/kalvorin/kalvorin-worker"));
}

int WorkerEngine::defaultPoolSize(OutputFormat::Index format)
{
    // A worker writing and syncing a large file leaves its core idle for a while, and one worker more
    // than there are cores fills that gap (measured on 2 cores: TIFF 9.0 to 11.6 pictures a second,
    // BMP 8.0 to 9.5). Reducing colours for GIF keeps every worker busy and takes the most memory, so
    // it stays at one per core.
    const int cores = std::max(1, QThread::idealThreadCount());
    const int wanted = format == OutputFormat::Gif ? cores : cores + 1;
    const qint64 memory = physicalMemory();
    if (memory <= 0)
        return cores;
    // Half the memory for the workers, the rest for the desktop and everything else.
    const qint64 fitting = memory / 2 / gibibyte;
    return int(std::clamp<qint64>(fitting, 1, wanted));
}

qint64 WorkerEngine::memoryPerWorker()
{
    // Debian's policy keeps 256 MiB of pixels in memory; beyond about 33 megapixels a picture then goes
    // to a disk cache, and reducing a 50-megapixel photo's colours for GIF took over three minutes
    // instead of eight seconds.
    return std::clamp(physicalMemory() / 8, 512 * mebibyte, 2 * gibibyte);
}

qint64 WorkerEngine::memoryAlone()
{
    return std::max(physicalMemory() / 2, memoryPerWorker());
}

qint64 WorkerEngine::memoryFor(qint64 pixels)
{
    // 16 bits a channel, four channels and an index: 10 bytes a pixel, twice.
    constexpr qint64 bytesPerPixel = 10;
    // The worker's count, capped: a header's claim must not wrap to a small size that shares memory.
    return std::clamp<qint64>(pixels, 0, Protocol::maxPixels) * bytesPerPixel * 2;
}

qint64 WorkerEngine::availableMemory()
{
    QFile info(QStringLiteral("/proc/meminfo"));
    if (!info.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : info.readAll().split('\n')) {
        if (line.startsWith("MemAvailable:"))
            return line.mid(13).trimmed().split(' ').value(0).toLongLong() * 1024;
    }
    return 0;
}

qint64 WorkerEngine::aloneMemoryWhenFree(qint64 available, qint64 ceiling)
{
    if (available <= 0)
        return ceiling;
    // Below this ImageMagick does little but move pixels to and from its disk cache.
    constexpr qint64 least = 64 * mebibyte;
    return std::min(ceiling, std::max(available / 2, least));
}

QByteArray WorkerEngine::policy(qint64 memory, qint64 disk)
{
    // Found through MAGICK_CONFIGURE_PATH ahead of the system's policy, whose values it replaces; the
    // sizes come from the policy.xml installed beside the worker, the system's other rules (coders,
    // paths) stay.
    return QStringLiteral(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE policymap [
<!ELEMENT policymap (policy)*>
<!ATTLIST policymap xmlns CDATA #FIXED ''>
<!ELEMENT policy EMPTY>
<!ATTLIST policy xmlns CDATA #FIXED '' domain NMTOKEN #REQUIRED name NMTOKEN #IMPLIED pattern CDATA #IMPLIED rights NMTOKEN #IMPLIED stealth NMTOKEN #IMPLIED value CDATA #IMPLIED>
]>
<policymap>
  <policy domain="resource" name="memory" value="%1MiB"/>
  <policy domain="resource" name="map" value="%1MiB"/>
  <policy domain="resource" name="disk" value="%2MiB"/>
</policymap>
)")
        .arg(memory / mebibyte)
        .arg(disk / mebibyte)
        .toUtf8();
}

void WorkerEngine::removeStaleWorkerFolders(const QString& folder)
{
    const QDir temporary(folder.isEmpty() ? WorkerProcess::temporaryRoot() : folder);
    const QStringList names = temporary.entryList({QStringLiteral("kalvorin-*-??????")}, QDir::Dirs | QDir::Hidden);
    for (const QString& name : names) {
        bool isNumber = false;
        const qint64 pid = name.section(u'-', 1, 1).toLongLong(&isNumber);
        struct stat info {};
        const QString path = temporary.filePath(name);
        // Only our own real folders, of programs that are gone.
        if (!isNumber || pid <= 0 || pid == QCoreApplication::applicationPid() ||
            !LongPath::status(path, &info, false) || !S_ISDIR(info.st_mode) || info.st_uid != ::getuid())
            continue;
        if (!isRunning(pid))
            QDir(path).removeRecursively();
    }
}

std::unique_ptr<WorkerProcess> WorkerEngine::makeWorker(const QList<int>& outputFolders) const
{
    return std::make_unique<WorkerProcess>(m_options.workerPath, m_options.environment, m_policy, outputFolders);
}

void WorkerEngine::preview(const QString& path, QSize box, PreviewDone done)
{
    if (path.isEmpty()) {
        done({});
        return;
    }
    if (m_wrongWorker) {
        done({{}, Protocol::reason(Status::WrongWorker)});
        return;
    }
    // The box within what a reply may carry; a picture in a smaller box is only shown smaller.
    const QSize bounded(std::clamp(box.width(), 1, Protocol::maxPreviewSide),
                        std::clamp(box.height(), 1, Protocol::maxPreviewSide));
    PendingPreview request{absolute(path), bounded, std::move(done)};
    // Refused here as the worker would refuse it: a NUL would end the path early.
    if (!Protocol::problemWith(Protocol::PreviewRequest{request.path, request.box}).isEmpty()) {
        request.done({{}, Protocol::reason(Status::Unreadable)});
        return;
    }
    if (m_previewWorker && m_previewWorker->isBusy()) {
        m_waitingPreview = std::move(request);
        return;
    }
    sendPreview(std::move(request));
}

void WorkerEngine::sendPreview(PendingPreview request)
{
    if (!m_previewWorker)
        m_previewWorker = makeWorker();
    const QByteArray payload = Protocol::encode(Protocol::PreviewRequest{request.path, request.box});
    m_previewWorker->send(payload, request.path, m_options.previewLimits,
                          [this, done = std::move(request.done)](Status status, const QByteArray& answer) {
                              m_wrongWorker = m_wrongWorker || status == Status::WrongWorker;
                              bool broken = false;
                              const PreviewResult result = previewFromAnswer(status, answer, &broken);
                              // Its stream can no longer be trusted: the next preview gets a fresh one.
                              if (broken)
                                  m_previewWorker->retire();
                              done(result);
                              if (m_waitingPreview) {
                                  PendingPreview next = std::move(*m_waitingPreview);
                                  m_waitingPreview.reset();
                                  sendPreview(std::move(next));
                              }
                          });
}

void WorkerEngine::convertBatch(const QList<ConvertJob>& jobs, BatchCallbacks callbacks)
{
    Q_ASSERT(!m_batchActive);
    m_jobs = jobs;
    m_callbacks = std::move(callbacks);
    m_nextJob = 0;
    m_running = 0;
    m_batchActive = true;
    m_cancelled = false;
    // Every folder opened once for the whole batch: a folder named by a path is opened now, and what
    // its path leads to later does not matter.
    struct Opened {
        std::shared_ptr<const OutputFolder> folder;
        int error = 0;
    };
    std::map<QString, Opened> opened;
    QList<int> descriptors;
    m_folderErrors.clear();
    for (ConvertJob& job : m_jobs) {
        int error = 0;
        if (!job.folder) {
            const QString path = folderOf(absolute(job.target));
            auto found = opened.find(path);
            if (found == opened.end()) {
                Opened made;
                // A path with a NUL would open another folder than it names.
                if (!Protocol::isSafePath(path))
                    made.error = EINVAL;
                else if (!(made.folder = OutputFolder::open(path)))
                    made.error = errno;
                found = opened.emplace(path, std::move(made)).first;
            }
            job.folder = found->second.folder;
            error = found->second.error;
        }
        m_folderErrors.append(error);
        if (job.folder && !descriptors.contains(job.folder->descriptor())) {
            descriptors.append(job.folder->descriptor());
            job.folder->removeAbandonedOutputs(abandonedAfter);
        }
    }
    if (m_pool.empty()) {
        const int size = m_options.poolSize > 0 ? m_options.poolSize : defaultPoolSize(jobs.value(0).format);
        for (int i = 0; i < size; ++i)
            m_pool.push_back(makeWorker(descriptors));
    }
    feedWorkers();
    finishBatchIfOver();
}

void WorkerEngine::cancelBatch()
{
    if (!m_batchActive)
        return;
    m_cancelled = true;
    m_nextJob = int(m_jobs.size());
    for (const auto& worker : m_pool)
        worker->cancel();
}

QList<qint64> WorkerEngine::workerProcessIds() const
{
    QList<qint64> ids;
    if (m_previewWorker && m_previewWorker->processId() != 0)
        ids.append(m_previewWorker->processId());
    for (const auto& worker : m_pool) {
        if (worker->processId() != 0)
            ids.append(worker->processId());
    }
    return ids;
}

QStringList WorkerEngine::workerFolders() const
{
    QStringList folders;
    if (m_previewWorker && !m_previewWorker->temporaryFolder().isEmpty())
        folders.append(m_previewWorker->temporaryFolder());
    for (const auto& worker : m_pool) {
        if (!worker->temporaryFolder().isEmpty())
            folders.append(worker->temporaryFolder());
    }
    return folders;
}

void WorkerEngine::feedWorkers()
{
    if (m_wrongWorker) {
        // The worker found belongs to another build of the program: it was refused once, and is not
        // started again for every picture.
        while (m_nextJob < m_jobs.size()) {
            const int index = m_nextJob++;
            if (m_callbacks.started)
                m_callbacks.started(index);
            if (m_callbacks.finished)
                m_callbacks.finished(index, outcomeOf(Status::WrongWorker));
        }
        return;
    }
    if (m_alone || !m_waitingAlone.empty())
        return;
    for (const auto& worker : m_pool) {
        if (m_nextJob >= m_jobs.size())
            return;
        if (!worker->isBusy())
            runJob(*worker, m_nextJob++);
    }
}

void WorkerEngine::runJob(WorkerProcess& worker, int index)
{
    const ConvertJob& job = m_jobs[index];
    ++m_running;
    if (m_callbacks.started)
        m_callbacks.started(index);
    const auto fail = [&](Status status, const QString& detail) {
        --m_running;
        if (m_callbacks.finished)
            m_callbacks.finished(index, outcomeOf(status, detail));
    };
    // Cancelled by whoever heard that it started.
    if (m_cancelled)
        return fail(Status::Cancelled, {});
    if (!job.folder)
        return fail(Status::NotWritable, systemWords("open folder", m_folderErrors.value(index)));
    const std::shared_ptr<const OutputFolder> folder = job.folder;
    const QString name = nameOf(job.target);
    const QString temporary = freeTemporaryName(*folder, name);
    const Protocol::ConvertRequest request{absolute(job.source), folder->descriptor(), name, temporary,
                                           job.format,           job.replace};
    // A request the worker would refuse is not sent: a name with a "/" or a NUL would write somewhere
    // else than planned.
    if (const QString problem = Protocol::problemWith(request); !problem.isEmpty())
        return fail(Protocol::isSafePath(request.source) ? Status::NotWritable : Status::Unreadable, problem);
    WorkerProcess* const running = &worker;
    // The name the worker says it gave the output: the worker reports it the moment the file is there.
    auto written = std::make_shared<QString>();
    const QString targetFolder = job.target.left(job.target.lastIndexOf(u'/') + 1);
    worker.send(
        Protocol::encode(request), request.source, m_options.convertLimits,
        [this, index, running, folder, temporary, written, targetFolder](Status status, const QByteArray& answer) {
            --m_running;
            m_wrongWorker = m_wrongWorker || status == Status::WrongWorker;
            std::erase(m_waitingAlone, running);
            if (m_alone == running) {
                m_alone = nullptr;
                // It holds the memory of the largest picture; the next job gets a fresh one.
                running->retire();
            }
            // Whatever is left of the job's temporary file goes, and only that: the worker has
            // answered or its process has ended, so nothing can write it again.
            folder->remove(temporary);
            const std::optional<Protocol::ConvertAnswer> converted =
                status == Status::Ok ? Protocol::decodeConvertAnswer(answer) : std::nullopt;
            JobOutcome outcome;
            if (!written->isEmpty()) {
                // The file is complete under that name, however the job ended after.
                outcome.target = targetFolder + *written;
                if (status == Status::Ok && (!converted || converted->status != Status::Ok))
                    running->retire();
            } else if (status != Status::Ok) {
                outcome = outcomeOf(status);
            } else if (!converted) {
                outcome = outcomeOf(Status::ProtocolError, QStringLiteral("malformed answer"));
                running->retire();
            } else if (converted->status == Status::Ok) {
                outcome = outcomeOf(Status::ProtocolError, QStringLiteral("answered written, but named no file"));
                running->retire();
            } else {
                outcome = outcomeOf(converted->status, converted->detail);
                if (Protocol::isResourceFailure(converted->status))
                    running->retire();
            }
            if (m_callbacks.finished)
                m_callbacks.finished(index, outcome);
            letNextGoAlone();
            feedWorkers();
            finishBatchIfOver();
        },
        [this, running](qint64 pixels) { admit(*running, pixels); },
        [written](const QString& name) {
            if (written->isEmpty())
                *written = name;
        },
        // A photo that leaves the fast path starts again from nothing there; what was shown stays.
        [this, index, shown = std::make_shared<qint16>(0)](qint16 done) {
            if (done <= *shown)
                return;
            *shown = done;
            if (m_callbacks.progress)
                m_callbacks.progress(index, double(done) / Protocol::perMille);
        });
}

void WorkerEngine::admit(WorkerProcess& worker, qint64 pixels)
{
    // A picture shares the machine when it fits a worker's share and half of what the machine has
    // free now (other programs may hold much of it).
    const qint64 needed = memoryFor(pixels);
    const qint64 available = availableMemory();
    if (needed <= m_shareMemory && (available <= 0 || needed <= available / 2)) {
        worker.proceed(m_shareMemory);
        return;
    }
    // Too large to share: it waits until it is the only one converting, and no new job starts.
    m_waitingAlone.push_back(&worker);
    letNextGoAlone();
}

void WorkerEngine::letNextGoAlone()
{
    if (m_alone || m_waitingAlone.empty() || m_running > int(m_waitingAlone.size()))
        return;
    m_alone = m_waitingAlone.front();
    m_waitingAlone.erase(m_waitingAlone.begin());
    // Measured when it may start, with the other workers' pictures gone.
    m_alone->proceed(aloneMemoryWhenFree(availableMemory(), m_aloneMemory));
}

void WorkerEngine::finishBatchIfOver()
{
    if (!m_batchActive || m_running > 0 || m_nextJob < m_jobs.size())
        return;
    m_batchActive = false;
    // Workers keep the memory of the largest picture they converted; a finished batch gives it back.
    // This may run inside a worker's own answer, so they go once it has returned.
    for (std::unique_ptr<WorkerProcess>& worker : m_pool) {
        worker->setParent(this);
        worker.release()->deleteLater();
    }
    m_pool.clear();
    BatchCallbacks callbacks = std::move(m_callbacks);
    m_callbacks = {};
    // The folders close with the last job that named them.
    m_jobs.clear();
    m_folderErrors.clear();
    if (callbacks.done)
        callbacks.done();
}
