// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ipc/LongPath.h"
#include "ipc/Protocol.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QProcessEnvironment>
#include <QTimer>

#include <functional>
#include <memory>
#include <optional>

class QProcess;
class QTemporaryDir;

/// How long one request may take. The worker shows signs of life while it works; a request fails when
/// none comes for idleMs (a stuck decoder), or when it runs longer than baseMs plus msPerMegapixel for
/// each megapixel of its picture (a decoder that works forever).
struct TimeLimits {
    int idleMs = 60'000;
    // From the slowest road measured, with a safety factor of three for a busy or slower machine: a
    // 100-megapixel RGBA PNG of noise (nothing compresses) into PNG took 78 s of CPU, 0.8 s a
    // megapixel; into GIF 34 s, into TIFF 25 s; a 200-megapixel photograph into GIF 23 s. A gigapixel
    // may then take 43 minutes (it was allowed 69).
    int baseMs = 60'000;
    int msPerMegapixel = 2'500;

    /// baseMs plus msPerMegapixel for each megapixel of pixels, which come from the worker: never
    /// negative, and at most the longest a timer takes, whatever pixels says.
    int overallMs(qint64 pixels) const;
};

/// One kalvorin-worker process and the one request it is working on. The process is started on the
/// first request and kept for the next; one that dies or overruns its time is dropped, and the next
/// request starts a fresh one.
///
/// Each process has a private temporary folder for the library's caches (and the policy it is given),
/// removed when the process has ended, however it ended.
class WorkerProcess final : public QObject {
    Q_OBJECT

public:
    /// status is Ok with the worker's answer, or Timeout, Crashed, Sandboxed (its sandbox killed it),
    /// NoWorker or Cancelled with an empty answer. A request that failed is reported only once its
    /// process has gone, so nothing it was doing can still change a file.
    using Done = std::function<void(Protocol::Status status, const QByteArray& answer)>;
    /// Called when a conversion has read its picture's header: the pixels it will decode. The worker
    /// then waits for proceed(); its time limit starts again from there.
    using Measured = std::function<void(qint64 pixels)>;
    /// Called when a conversion's output has its final name, with that name. Heard even from a request
    /// that is being stopped, up to the moment its process has gone.
    using Written = std::function<void(const QString& name)>;

    /// Called with a running request's thousandths done (0 to Protocol::perMille) at each sign of life
    /// that carries them.
    using Progress = std::function<void(qint16 done)>;

    /// The folder the workers' private folders go in: TMPDIR when it names a folder, else /tmp. Qt's
    /// answer for a TMPDIR that does not exist is an empty path, which is the current folder.
    static QString temporaryRoot();
    /// policy, when not empty, is the library's policy.xml for the process. outputFolders are
    /// descriptors of folders the process is handed, and the only ones its requests may write into.
    WorkerProcess(QString program, QProcessEnvironment environment, QByteArray policy = {},
                  QList<int> outputFolders = {}, QObject* parent = nullptr);
    ~WorkerProcess() override;

    bool isBusy() const { return bool(m_done); }
    /// The running process's id, 0 when none runs.
    qint64 processId() const;
    /// The running process's private temporary folder, empty when none runs.
    QString temporaryFolder() const;

    /// Sends one request about the picture at source, which is opened here and handed to the worker as
    /// an open file (the worker opens no file of the user's itself); an error opening it goes instead,
    /// for the worker to report. done is called once, on this thread, when it is answered or has failed,
    /// and never before send() has returned.
    void send(const QByteArray& request, const QString& source, TimeLimits limits, Done done, Measured measured = {},
              Written written = {}, Progress progress = {});
    /// Lets the request that reported its size go on, with memory bytes for its pixels.
    void proceed(qint64 memory);
    /// Stops the request in progress: its process is killed, and done reports Cancelled once it has
    /// gone. Nothing happens when no request runs.
    void cancel();
    /// Ends the process once it is idle, so that the next request starts a fresh one.
    void retire();

private:
    void start();
    void readAnswer();
    void fail(Protocol::Status status);
    void processEnded();
    void finishRequest(Protocol::Status status, const QByteArray& answer);
    void failLater(Protocol::Status status);
    void releaseProcess();
    void extendLimit(qint64 pixels);
    void sendUnsent();
    void dropUnsent();
    Protocol::Status endedStatus() const;

    QString m_program;
    QProcessEnvironment m_environment;
    QByteArray m_policy;
    QList<int> m_outputFolders;
    QProcess* m_process = nullptr;
    std::shared_ptr<QTemporaryDir> m_folder;
    Protocol::FrameReader m_reader{Protocol::maxReplyFrame};
    TimeLimits m_limits;
    QTimer m_idle;
    QTimer m_overall;
    QTimer m_reapLimit;
    QElapsedTimer m_clock;
    Done m_done;
    // Counts the requests sent, so that a failure reported later reaches only the request it belongs to.
    quint64 m_request = 0;
    Measured m_measured;
    Written m_written;
    Progress m_progress;
    // Set while a failed request waits for its process to go.
    std::optional<Protocol::Status> m_failing;
    bool m_retire = false;
    // Set once the running process has said which version it speaks; until then the request waits.
    bool m_greeted = false;
    QByteArray m_unsent;
    // The picture of the unsent request, open (or the error met opening it) until it goes.
    LongPath::Fd m_unsentFile;
    int m_unsentError = 0;
    // The window's end of the socket the pictures go on; the worker's end is closed here once started.
    LongPath::Fd m_sources;
};
