#pragma once

#include "Protocol.h"

#include <QByteArray>
#include <QObject>
#include <QProcessEnvironment>
#include <QTimer>

#include <functional>

class QProcess;

/// One kalvorin-worker process and the one request it is working on. The process is started on the
/// first request and kept for the next; one that dies or overruns its time is dropped, and the next
/// request starts a fresh one.
class WorkerProcess final : public QObject {
    Q_OBJECT

public:
    /// status is Ok with the worker's answer, or Timeout, Crashed or NoWorker with an empty answer.
    using Done = std::function<void(Protocol::Status status, const QByteArray& answer)>;

    WorkerProcess(QString program, QProcessEnvironment environment, QObject* parent = nullptr);
    ~WorkerProcess() override;

    bool isBusy() const { return bool(m_done); }
    /// The running process's id, 0 when none runs.
    qint64 processId() const;

    /// Sends one request; done is called once, on this thread, when it is answered or has failed.
    void send(const QByteArray& request, int timeoutMs, Done done);

private:
    void start();
    void readAnswer();
    void fail(Protocol::Status status);
    void dropProcess();

    QString m_program;
    QProcessEnvironment m_environment;
    QProcess* m_process = nullptr;
    QByteArray m_buffer;
    QTimer m_timer;
    Done m_done;
};
