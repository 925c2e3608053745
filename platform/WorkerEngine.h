#pragma once

#include "PictureEngine.h"

#include <QObject>
#include <QProcessEnvironment>

#include <memory>
#include <optional>
#include <vector>

class WorkerProcess;

/// The picture engine on kalvorin-worker processes: one for the preview, and a pool that converts a
/// batch, one picture per worker at a time.
class WorkerEngine final : public QObject, public PictureEngine {
    Q_OBJECT

public:
    struct Options {
        QString workerPath;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        int previewTimeoutMs = 30'000;
        int convertTimeoutMs = 180'000;
        /// Workers of the conversion pool; 0 lets defaultPoolSize() choose for each batch.
        int poolSize = 0;
    };

    explicit WorkerEngine(Options options, QObject* parent = nullptr);
    ~WorkerEngine() override;

    /// Where the worker is when it was built or installed beside the program.
    static QString installedWorkerPath();
    /// Workers for a batch in the format of formatIndex: one per core, one more where writing the files
    /// leaves cores idle, and no more than the memory holds at about a gigabyte per worker.
    static int defaultPoolSize(int formatIndex);

    void preview(const QString& path, QSize box, PreviewDone done) override;
    void convertBatch(const QList<ConvertJob>& jobs, BatchCallbacks callbacks) override;
    void cancelBatch() override;

    /// The process ids of the running workers, for the tests that kill one.
    QList<qint64> workerProcessIds() const;

private:
    struct PendingPreview {
        QString path;
        QSize box;
        PreviewDone done;
    };

    void sendPreview(PendingPreview request);
    void feedWorkers();
    void runJob(WorkerProcess& worker, int index);
    void finishBatchIfOver();

    Options m_options;
    std::unique_ptr<WorkerProcess> m_previewWorker;
    std::optional<PendingPreview> m_waitingPreview;

    std::vector<std::unique_ptr<WorkerProcess>> m_pool;
    QList<ConvertJob> m_jobs;
    BatchCallbacks m_callbacks;
    int m_nextJob = 0;
    int m_running = 0;
    bool m_batchActive = false;
};
