// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QObject>

#include <array>
#include <csignal>

class QSocketNotifier;

/// While it exists, SIGTERM (logout), SIGINT (Ctrl+C) and SIGHUP (terminal closed) no longer end the
/// process: each is reported as quitRequested on the thread that made the object, once its event loop
/// runs. Signals that arrive before that are reported then. A signal ignored when the object is made
/// (nohup) stays ignored. One object at a time; the previous dispositions come back when it goes.
class QuitSignals final : public QObject {
    Q_OBJECT

public:
    static constexpr std::array<int, 3> handled{SIGTERM, SIGINT, SIGHUP};

    explicit QuitSignals(QObject* parent = nullptr);
    ~QuitSignals() override;

signals:
    void quitRequested(int signal);

private:
    void readPending();

    int m_readEnd = -1;
    int m_writeEnd = -1;
    QSocketNotifier* m_notifier = nullptr;
    std::array<struct sigaction, handled.size()> m_previous{};
};
