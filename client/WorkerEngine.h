// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "client/PictureEngine.h"
#include "client/WorkerProcess.h"

#include <QObject>
#include <QProcessEnvironment>

#include <memory>
#include <optional>
#include <vector>

/// The picture engine on kalvorin-worker processes: one for the preview, and a pool that converts a
/// batch, one picture per worker at a time.
class WorkerEngine final : public QObject, public PictureEngine {
    Q_OBJECT

public:
    struct Options {
        QString workerPath;
        QProcessEnvironment environment = workerEnvironment(QProcessEnvironment::systemEnvironment());
        TimeLimits previewLimits{20'000, 30'000, 1'000};
        TimeLimits convertLimits{};
        /// Workers of the conversion pool; 0 lets defaultPoolSize() choose for each batch.
        int poolSize = 0;
        /// The library's memory for one worker's pixels, in bytes; 0 lets memoryPerWorker() choose.
        qint64 pixelMemory = 0;
        /// The memory for the pixels of a picture too large for a worker's share, which then converts
        /// while no other does; 0 lets memoryAlone() choose.
        qint64 aloneMemory = 0;
        /// Room on disk for one worker's pixel caches, in bytes.
        qint64 pixelDisk = qint64(16) << 30;
    };

    explicit WorkerEngine(Options options, QObject* parent = nullptr);
    ~WorkerEngine() override;

    /// The little of system a worker is started with: the program path and what the libraries need to
    /// be found and checked (PATH, LD_LIBRARY_PATH, the sanitizers' options). Nothing of the user's
    /// locale, home or desktop: a picture's output never depends on them, and ImageMagick reads no
    /// configuration of the user's.
    static QProcessEnvironment workerEnvironment(const QProcessEnvironment& system);
    /// Where the running program's worker is: workerPathFor() its own folder.
    static QString installedWorkerPath();
    /// The worker of a program in programFolder: beside it in the build tree, in
    /// ../libexec/kalvorin once installed.
    static QString workerPathFor(const QString& programFolder);
    /// Workers for a batch in format: one per core, one more where writing the files
    /// leaves cores idle, and no more than the memory holds at about a gigabyte per worker.
    static int defaultPoolSize(OutputFormat::Index format);
    /// The memory a worker keeps pixels in before it spills them to disk: an eighth of the machine's,
    /// between 512 MiB and 2 GiB.
    static qint64 memoryPerWorker();
    /// The memory for the pixels of one picture converted alone: half the machine's, and never less
    /// than a worker's share.
    static qint64 memoryAlone();
    /// The memory a conversion of pixels needs: the decoded picture and one working copy.
    static qint64 memoryFor(qint64 pixels);
    /// The memory the machine has available now (MemAvailable); 0 when it cannot tell.
    static qint64 availableMemory();
    /// The memory a picture converted alone may hold when available bytes are free: never more than
    /// half of them, nor more than the most the engine gives one picture (ceiling); the rest of its
    /// pixels go to the worker's disk cache.
    static qint64 aloneMemoryWhenFree(qint64 available, qint64 ceiling);
    /// The library's policy for the workers that depends on the machine: at most memory for pixels
    /// (and as much mapped) and disk for the rest. The sizes of pictures are in the policy.xml beside
    /// the worker.
    static QByteArray policy(qint64 memory, qint64 disk);
    /// Removes the private folders that workers of programs no longer running left in folder (the
    /// system's temporary folder when empty): a program that was killed could not remove them itself.
    static void removeStaleWorkerFolders(const QString& folder = {});

    void preview(const QString& path, QSize box, PreviewDone done) override;
    void convertBatch(const QList<ConvertJob>& jobs, BatchCallbacks callbacks) override;
    void cancelBatch() override;

    /// The process ids of the running workers, for the tests that kill one.
    QList<qint64> workerProcessIds() const;
    /// The private folders of the running workers, for the tests.
    QStringList workerFolders() const;

private:
    struct PendingPreview {
        QString path;
        QSize box;
        PreviewDone done;
    };

    void sendPreview(PendingPreview request);
    void feedWorkers();
    void runJob(WorkerProcess& worker, int index);
    void admit(WorkerProcess& worker, qint64 pixels);
    void letNextGoAlone();
    void finishBatchIfOver();
    std::unique_ptr<WorkerProcess> makeWorker(const QList<int>& outputFolders = {}) const;

    Options m_options;
    qint64 m_shareMemory = 0;
    qint64 m_aloneMemory = 0;
    QByteArray m_policy;
    std::unique_ptr<WorkerProcess> m_previewWorker;
    std::optional<PendingPreview> m_waitingPreview;

    std::vector<std::unique_ptr<WorkerProcess>> m_pool;
    QList<ConvertJob> m_jobs;
    // Why a job's folder could not be opened, when it could not.
    QList<int> m_folderErrors;
    BatchCallbacks m_callbacks;
    int m_nextJob = 0;
    int m_running = 0;
    // Conversions of pictures too large to share the memory, waiting for the others to finish, and the
    // one converting alone; no other job starts while there are any.
    std::vector<WorkerProcess*> m_waitingAlone;
    WorkerProcess* m_alone = nullptr;
    bool m_batchActive = false;
    bool m_cancelled = false;
    // Set once a worker turned out to be of another build: nothing is sent to one again.
    bool m_wrongWorker = false;
};
