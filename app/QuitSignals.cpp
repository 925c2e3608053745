// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/QuitSignals.h"

#include <QByteArray>
#include <QPointer>
#include <QSocketNotifier>
#include <QtGlobal>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {
// The handler may run on any thread, at any moment: it only reads this and writes one byte.
std::atomic<int> pipeWriteEnd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "read in a signal handler");

std::atomic<QuitSignals*> instance{nullptr};

extern "C" void writeSignalByte(int signal)
{
    const int savedErrno = errno;
    const int fd = pipeWriteEnd.load(std::memory_order_relaxed);
    if (fd >= 0) {
        // Every handled signal's number fits in a byte. A full pipe drops the byte: the ones already in
        // it ask for the same thing.
        const auto byte = static_cast<unsigned char>(signal);
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}
} // namespace

QuitSignals::QuitSignals(QObject* parent)
    : QObject(parent)
{
    [[maybe_unused]] QuitSignals* const previous = instance.exchange(this);
    Q_ASSERT_X(!previous, "QuitSignals", "one at a time: the handlers share one pipe");

    int ends[2];
    // Non-blocking on both ends: the handler must never wait, and reading stops when the pipe is empty.
    if (::pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        qErrnoWarning("QuitSignals: no pipe; the signals keep ending the program at once");
        return;
    }
    m_readEnd = ends[0];
    m_writeEnd = ends[1];
    pipeWriteEnd.store(m_writeEnd);
    m_notifier = new QSocketNotifier(m_readEnd, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &QuitSignals::readPending);

    struct sigaction action {};
    action.sa_handler = writeSignalByte;
    sigemptyset(&action.sa_mask);
    // A system call the signal interrupts elsewhere in the program carries on rather than fail with EINTR.
    action.sa_flags = SA_RESTART;
    for (std::size_t i = 0; i < handled.size(); ++i) {
        ::sigaction(handled[i], nullptr, &m_previous[i]);
        // An ignored signal stays ignored: under nohup a closed terminal must not end the program.
        if (m_previous[i].sa_handler != SIG_IGN)
            ::sigaction(handled[i], &action, nullptr);
    }
}

QuitSignals::~QuitSignals()
{
    if (m_writeEnd >= 0) {
        for (std::size_t i = 0; i < handled.size(); ++i)
            ::sigaction(handled[i], &m_previous[i], nullptr);
        pipeWriteEnd.store(-1);
        delete m_notifier;
        ::close(m_readEnd);
        ::close(m_writeEnd);
    }
    instance.store(nullptr);
}

void QuitSignals::readPending()
{
    // Drained before anything is emitted: a receiver may end this object.
    QByteArray pending;
    char bytes[16];
    for (;;) {
        const ssize_t count = ::read(m_readEnd, bytes, sizeof bytes);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        pending.append(bytes, count);
    }
    QPointer<QuitSignals> self(this);
    for (const char byte : std::as_const(pending)) {
        if (!self)
            return;
        emit quitRequested(static_cast<unsigned char>(byte));
    }
}
