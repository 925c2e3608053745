#include "WorkerEngine.h"

#include "Naming.h"
#include "WorkerProcess.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QIODevice>
#include <QThread>

#include <unistd.h>

namespace {
using Protocol::Status;

constexpr qint64 memoryPerWorker = qint64(1) << 30;

PreviewResult previewFromAnswer(Status status, const QByteArray& answer)
{
    if (status != Status::Ok)
        return {{}, Protocol::reason(status)};
    QDataStream stream(answer);
    quint8 code = 0;
    qint32 width = 0;
    qint32 height = 0;
    QByteArray rgba;
    stream >> code >> width >> height >> rgba;
    if (stream.status() != QDataStream::Ok)
        return {{}, Protocol::reason(Status::Crashed)};
    if (Status(code) != Status::Ok)
        return {{}, Protocol::reason(Status(code))};
    if (width <= 0 || height <= 0 || rgba.size() != qsizetype(width) * height * 4)
        return {{}, Protocol::reason(Status::Crashed)};
    const QImage view(reinterpret_cast<const uchar*>(rgba.constData()), width, height, width * 4,
                      QImage::Format_RGBA8888);
    return {view.copy(), {}};
}

QString convertError(Status status, const QByteArray& answer)
{
    if (status != Status::Ok)
        return Protocol::reason(status);
    QDataStream stream(answer);
    quint8 code = 0;
    stream >> code;
    if (stream.status() != QDataStream::Ok)
        return Protocol::reason(Status::Crashed);
    return Protocol::reason(Status(code));
}

// A worker killed while writing may leave the save file's temporary copy ("name.XXXXXX") behind on a
// disk without unnamed temporary files. Only such a copy made since the job started goes, so a user's
// own "photo.png.backup" is never touched.
void removeLeftoverTemporary(const QString& target, const QDateTime& jobStart)
{
    const QFileInfo info(target);
    const QDir folder = info.dir();
    const QFileInfoList leftovers =
        folder.entryInfoList({info.fileName() + QStringLiteral(".??????")}, QDir::Files | QDir::Hidden);
    for (const QFileInfo& leftover : leftovers) {
        if (leftover.lastModified() >= jobStart)
            QFile::remove(leftover.filePath());
    }
}
} // namespace

WorkerEngine::WorkerEngine(Options options, QObject* parent)
    : QObject(parent)
    , m_options(std::move(options))
{
}

WorkerEngine::~WorkerEngine() = default;

QString WorkerEngine::installedWorkerPath()
{
    return QCoreApplication::applicationDirPath() + QStringLiteral("/kalvorin-worker");
}

int WorkerEngine::defaultPoolSize(int formatIndex)
{
    // A worker writing and syncing a large file leaves its core idle for a while, and one worker more
    // than there are cores fills that gap (measured on 2 cores: TIFF 9.0 to 11.6 pictures a second,
    // BMP 8.0 to 9.5). Reducing colours for GIF keeps every worker busy and takes the most memory, so
    // it stays at one per core.
    const int cores = std::max(1, QThread::idealThreadCount());
    const int wanted = formatIndex == OutputFormat::Gif ? cores : cores + 1;
    const long pages = ::sysconf(_SC_PHYS_PAGES);
    const long pageSize = ::sysconf(_SC_PAGESIZE);
    if (pages <= 0 || pageSize <= 0)
        return cores;
    // Half the memory for the workers, the rest for the desktop and everything else.
    const qint64 fitting = qint64(pages) * pageSize / 2 / memoryPerWorker;
    return int(std::clamp<qint64>(fitting, 1, wanted));
}

void WorkerEngine::preview(const QString& path, QSize box, PreviewDone done)
{
    if (path.isEmpty()) {
        done({});
        return;
    }
    PendingPreview request{path, box, std::move(done)};
    if (m_previewWorker && m_previewWorker->isBusy()) {
        m_waitingPreview = std::move(request);
        return;
    }
    sendPreview(std::move(request));
}

void WorkerEngine::sendPreview(PendingPreview request)
{
    if (!m_previewWorker)
        m_previewWorker = std::make_unique<WorkerProcess>(m_options.workerPath, m_options.environment);
    QByteArray payload;
    QDataStream stream(&payload, QIODevice::WriteOnly);
    stream << quint8(Protocol::Kind::Preview) << request.path << qint32(request.box.width())
           << qint32(request.box.height());
    m_previewWorker->send(payload, m_options.previewTimeoutMs,
                          [this, done = std::move(request.done)](Status status, const QByteArray& answer) {
                              done(previewFromAnswer(status, answer));
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
    if (m_pool.empty()) {
        const int size = m_options.poolSize > 0 ? m_options.poolSize : defaultPoolSize(jobs.value(0).formatIndex);
        for (int i = 0; i < size; ++i)
            m_pool.push_back(std::make_unique<WorkerProcess>(m_options.workerPath, m_options.environment));
    }
    feedWorkers();
    finishBatchIfOver();
}

void WorkerEngine::cancelBatch()
{
    if (m_batchActive)
        m_nextJob = int(m_jobs.size());
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

void WorkerEngine::feedWorkers()
{
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
    QByteArray payload;
    QDataStream stream(&payload, QIODevice::WriteOnly);
    stream << quint8(Protocol::Kind::Convert) << job.source << job.target << qint32(job.formatIndex);
    ++m_running;
    if (m_callbacks.started)
        m_callbacks.started(index);
    // Whole seconds: some disks keep no finer modification times.
    const QDateTime start = QDateTime::currentDateTime().addSecs(-1);
    worker.send(payload, m_options.convertTimeoutMs, [this, index, start](Status status, const QByteArray& answer) {
        --m_running;
        if (status != Status::Ok)
            removeLeftoverTemporary(m_jobs[index].target, start);
        if (m_callbacks.finished)
            m_callbacks.finished(index, convertError(status, answer));
        feedWorkers();
        finishBatchIfOver();
    });
}

void WorkerEngine::finishBatchIfOver()
{
    if (!m_batchActive || m_running > 0 || m_nextJob < m_jobs.size())
        return;
    m_batchActive = false;
    // Workers keep the memory of the largest picture they converted; a finished batch gives it back.
    // This runs inside a worker's own answer, so they go once it has returned.
    for (std::unique_ptr<WorkerProcess>& worker : m_pool) {
        worker->setParent(this);
        worker.release()->deleteLater();
    }
    m_pool.clear();
    BatchCallbacks callbacks = std::move(m_callbacks);
    m_callbacks = {};
    m_jobs.clear();
    if (callbacks.done)
        callbacks.done();
}
