// SPDX-License-Identifier: GPL-3.0-or-later
// The socket the window hands pictures to the worker on: exactly one open file or one error a
// message, and nothing else taken, nor left open in the worker, whatever arrives.
#include "ipc/SourceChannel.h"

#include <QTest>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace {
// A message as anybody may send it: any payload, any descriptors.
bool sendRaw(int socket, const QByteArray& payload, const std::vector<int>& files)
{
    iovec part{const_cast<char*>(payload.constData()), size_t(payload.size())};
    std::vector<char> control(CMSG_SPACE(files.size() * sizeof(int)));
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    if (!files.empty()) {
        message.msg_control = control.data();
        message.msg_controllen = control.size();
        cmsghdr* header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(files.size() * sizeof(int));
        std::memcpy(CMSG_DATA(header), files.data(), files.size() * sizeof(int));
    }
    return ::sendmsg(socket, &message, 0) == ssize_t(payload.size());
}

QByteArray word(std::int32_t value)
{
    return QByteArray(reinterpret_cast<const char*>(&value), sizeof value);
}

// The descriptors this process has open, by number.
int openDescriptors()
{
    int count = 0;
    for (int fd = 0; fd < 1024; ++fd)
        count += ::fcntl(fd, F_GETFD) >= 0 ? 1 : 0;
    return count;
}
} // namespace

class TestSourceChannel : public QObject {
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void theWindowsMessagesArrive();
    void brokenMessagesAreRefusedAndClosed_data();
    void brokenMessagesAreRefusedAndClosed();
    void aClosedWindowEndsTheChannel();

private:
    int m_window = -1;
    int m_worker = -1;
};

void TestSourceChannel::init()
{
    int ends[2];
    QVERIFY(SourceChannel::makePair(ends));
    m_window = ends[0];
    m_worker = ends[1];
    QVERIFY(::fcntl(m_window, F_GETFD) & FD_CLOEXEC);
    QVERIFY(::fcntl(m_worker, F_GETFD) & FD_CLOEXEC);
}

void TestSourceChannel::cleanup()
{
    ::close(m_window);
    ::close(m_worker);
}

void TestSourceChannel::theWindowsMessagesArrive()
{
    const int file = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    QVERIFY(SourceChannel::send(m_window, file, 0));
    QVERIFY(SourceChannel::send(m_window, -1, EACCES));
    // No file and no error still says what went wrong.
    QVERIFY(SourceChannel::send(m_window, -1, 0));

    const std::optional<SourceChannel::Received> opened = SourceChannel::receive(m_worker);
    QVERIFY(opened && opened->file >= 0 && opened->error == 0);
    struct stat given {
    }, original{};
    QVERIFY(::fstat(opened->file, &given) == 0 && ::fstat(file, &original) == 0);
    QCOMPARE(given.st_ino, original.st_ino);
    QVERIFY(::fcntl(opened->file, F_GETFD) & FD_CLOEXEC);
    ::close(opened->file);
    ::close(file);

    const std::optional<SourceChannel::Received> refused = SourceChannel::receive(m_worker);
    QVERIFY(refused && refused->file < 0);
    QCOMPARE(refused->error, EACCES);
    const std::optional<SourceChannel::Received> unnamed = SourceChannel::receive(m_worker);
    QVERIFY(unnamed && unnamed->file < 0 && unnamed->error != 0);
}

void TestSourceChannel::brokenMessagesAreRefusedAndClosed_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<int>("files");
    QTest::newRow("a file and an error") << word(EACCES) << 1;
    QTest::newRow("two files") << word(0) << 2;
    QTest::newRow("more files than room") << word(0) << 6;
    QTest::newRow("no file and no error") << word(0) << 0;
    QTest::newRow("a negative error") << word(-5) << 0;
    QTest::newRow("a short word with a file") << QByteArray("\0\0", 2) << 1;
    QTest::newRow("a long payload with a file") << word(0) + word(0) << 1;
    QTest::newRow("an empty payload with a file") << QByteArray() << 1;
}

void TestSourceChannel::brokenMessagesAreRefusedAndClosed()
{
    QFETCH(QByteArray, payload);
    QFETCH(int, files);
    std::vector<int> sent;
    for (int i = 0; i < files; ++i)
        sent.push_back(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    // An empty payload still goes as a message of its own on this kind of socket.
    QVERIFY(sendRaw(m_window, payload, sent));
    for (const int fd : sent)
        ::close(fd);
    const int before = openDescriptors();
    QVERIFY(!SourceChannel::receive(m_worker));
    QCOMPARE(openDescriptors(), before);
}

void TestSourceChannel::aClosedWindowEndsTheChannel()
{
    ::close(m_window);
    m_window = -1;
    QVERIFY(!SourceChannel::receive(m_worker));
    // And a window whose worker has gone hears that, rather than waiting.
    int ends[2];
    QVERIFY(SourceChannel::makePair(ends));
    ::close(ends[1]);
    QVERIFY(!SourceChannel::send(ends[0], -1, ENOENT));
    ::close(ends[0]);
}

QTEST_GUILESS_MAIN(TestSourceChannel)
#include "tst_sourcechannel.moc"
