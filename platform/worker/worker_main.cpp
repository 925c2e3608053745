// SPDX-License-Identifier: GPL-3.0-or-later
// kalvorin-worker: decodes and encodes pictures for the window, one request at a time, over
// length-prefixed frames on stdin and stdout. Pictures are untrusted input; a crash or a runaway
// decoder here costs one request, never the window.

#include "PictureJobs.h"
#include "Protocol.h"

#include <Magick++.h>

#include <QCoreApplication>
#include <QDataStream>
#include <QIODevice>
#include <QThread>
#include <QtEndian>

#include <malloc.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <functional>
#include <mutex>

namespace {
int g_protocolOut = -1;

bool readExactly(int fd, char* data, size_t size)
{
    while (size > 0) {
        const ssize_t got = ::read(fd, data, size);
        if (got == 0 || (got < 0 && errno != EINTR))
            return false;
        if (got > 0) {
            data += got;
            size -= size_t(got);
        }
    }
    return true;
}

bool writeAll(int fd, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    size_t left = size_t(bytes.size());
    while (left > 0) {
        const ssize_t put = ::write(fd, data, left);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        data += put;
        left -= size_t(put);
    }
    return true;
}

std::optional<QByteArray> readFrame()
{
    QByteArray buffer(4, '\0');
    if (!readExactly(STDIN_FILENO, buffer.data(), 4))
        return std::nullopt;
    const quint32 length = qFromBigEndian<quint32>(buffer.constData());
    if (length > Protocol::maxFrame)
        return std::nullopt;
    buffer.resize(4 + qsizetype(length));
    if (!readExactly(STDIN_FILENO, buffer.data() + 4, length))
        return std::nullopt;
    return Protocol::takeFrame(buffer);
}

// Signs of life come from a second thread while a job runs; a frame goes out whole.
std::mutex g_sending;

void sendFrame(const QByteArray& payload)
{
    const std::lock_guard lock(g_sending);
    if (!writeAll(g_protocolOut, Protocol::frame(payload)))
        ::_exit(1);
}

// A frame of one kind of reply and the one value it carries.
template <typename Value> void sendReply(Protocol::Reply reply, Value value)
{
    QByteArray out;
    QDataStream stream(&out, QIODevice::WriteOnly);
    Protocol::pin(stream);
    stream << quint8(reply) << value;
    sendFrame(out);
}

// A sign of life, sent while a job runs so that the window can tell slow from stuck.
void sendProgress(qint64 pixels)
{
    sendReply(Protocol::Reply::Progress, pixels);
}

// The first frame: which version of the protocol this worker speaks. The tests' build can be told
// to claim another, as a worker of another build of the program would.
void sendHello()
{
    quint32 version = Protocol::version;
#ifdef KALVORIN_TEST_HOOKS
    if (qEnvironmentVariableIsSet("KALVORIN_TEST_PROTOCOL_VERSION"))
        version = quint32(qEnvironmentVariableIntValue("KALVORIN_TEST_PROTOCOL_VERSION"));
#endif
    sendReply(Protocol::Reply::Hello, version);
}

#ifdef KALVORIN_TEST_HOOKS
// Only the tests' build of the worker has these: a request whose path contains "stall-here" never
// finishes and shows no sign of life, one with "stall-writing" stops once its output is partly
// written, one with "stall-answering" once its output is complete, and one with "slow-here" works
// for a few seconds, showing signs of life, before it starts.
void stall()
{
    for (;;)
        QThread::sleep(60);
}

void testHooksBefore(const QString& path)
{
    if (path.contains(QStringLiteral("stall-here")))
        stall();
    if (path.contains(QStringLiteral("slow-here"))) {
        for (int i = 0; i < 25; ++i) {
            sendProgress(0);
            QThread::msleep(100);
        }
    }
}

std::function<void()> stallOn(const QString& path, const QString& marker)
{
    if (!path.contains(marker))
        return {};
    return [] { stall(); };
}
#else
void testHooksBefore(const QString&) {}
std::function<void()> stallOn(const QString&, const QString&)
{
    return {};
}
#endif

// The memory for pixels this worker keeps between jobs; a job the window lets run alone may have more.
qint64 g_pixelMemory = 0;

void limitAddressSpace(qint64 pixelMemory)
{
    // Room for the pixels, the file's bytes, the encoded output and the libraries; a decoder that asks
    // for more fails here instead of pushing the machine into swap.
    const rlim_t limit = rlim_t(std::max<qint64>(pixelMemory, 0)) + (rlim_t(2) << 30);
    rlimit current{};
    if (getrlimit(RLIMIT_AS, &current) == 0) {
        current.rlim_cur = current.rlim_max == RLIM_INFINITY ? limit : std::min(limit, current.rlim_max);
        setrlimit(RLIMIT_AS, &current);
    }
}

void allowPixelMemory(qint64 pixelMemory)
{
    PictureJobs::limitResources(pixelMemory);
    limitAddressSpace(pixelMemory);
}

// Tells the window how large the picture is and waits for its word: a picture larger than this
// worker's share of memory may have to wait until the others have finished.
void waitForAdmission(qint64 pixels)
{
    sendReply(Protocol::Reply::Measured, pixels);
    const std::optional<QByteArray> payload = readFrame();
    if (!payload)
        ::_exit(1);
    QDataStream word(*payload);
    Protocol::pin(word);
    quint8 kind = 0;
    qint64 memory = 0;
    word >> kind >> memory;
    if (word.status() != QDataStream::Ok || kind != quint8(Protocol::Kind::Proceed))
        ::_exit(1);
    if (memory > 0)
        allowPixelMemory(memory);
}

QByteArray answer(QDataStream& request)
{
    quint8 kind = 0;
    request >> kind;
    QByteArray out;
    QDataStream stream(&out, QIODevice::WriteOnly);
    Protocol::pin(stream);
    stream << quint8(Protocol::Reply::Answer);
    PictureJobs::Hooks hooks;
    hooks.progress = sendProgress;
    if (kind == quint8(Protocol::Kind::Preview)) {
        QString path;
        qint32 width = 0;
        qint32 height = 0;
        request >> path >> width >> height;
        if (request.status() != QDataStream::Ok) {
            stream << quint8(Protocol::Status::ProtocolError) << qint32(0) << qint32(0) << QByteArray();
            return out;
        }
        testHooksBefore(path);
        const PictureJobs::Preview preview = PictureJobs::preview(path, QSize(width, height), hooks);
        stream << quint8(preview.status) << qint32(preview.size.width()) << qint32(preview.size.height())
               << preview.rgba;
        // The preview's worker stays for the next selection; it need not hold a large photo's memory.
        malloc_trim(0);
    } else if (kind == quint8(Protocol::Kind::Convert)) {
        PictureJobs::ConvertRequest job;
        qint32 format = -1;
        request >> job.source >> job.folder >> job.finalName >> job.temporaryName >> format;
        if (request.status() != QDataStream::Ok || format < 0 || format >= OutputFormat::Count) {
            stream << quint8(Protocol::Status::ProtocolError) << QStringLiteral("malformed request");
            return out;
        }
        job.format = OutputFormat::Index(format);
        testHooksBefore(job.source);
        hooks.partWritten = stallOn(job.source, QStringLiteral("stall-writing"));
        hooks.renamed = stallOn(job.source, QStringLiteral("stall-answering"));
        hooks.admit = waitForAdmission;
        QString detail;
        const Protocol::Status status = PictureJobs::convert(job, hooks, &detail);
        stream << quint8(status) << detail;
        allowPixelMemory(g_pixelMemory);
    } else {
        stream << quint8(Protocol::Status::ProtocolError) << QStringLiteral("unknown request");
    }
    return out;
}

} // namespace

int main(int argc, char* argv[])
{
    // A worker never outlives the window that started it.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);

    // The frames own stdout; anything a library prints goes to stderr instead.
    g_protocolOut = ::dup(STDOUT_FILENO);
    ::dup2(STDERR_FILENO, STDOUT_FILENO);

    // Each picture needs the same few large blocks as the last. From mmap they would come back zeroed
    // page by page every time (measured: a third of a BMP conversion's time in the kernel); from the
    // heap, kept between requests, they are reused as they are.
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 1 << 30);

    QCoreApplication app(argc, argv);
    Magick::InitializeMagick(argv[0]);
    // The window says how much; without its word, ImageMagick's policy decides alone.
    g_pixelMemory = qgetenv("KALVORIN_PIXEL_MEMORY").toLongLong();
    if (g_pixelMemory <= 0)
        g_pixelMemory = qint64(Magick::ResourceLimits::memory());
    allowPixelMemory(g_pixelMemory);

    sendHello();
    while (const std::optional<QByteArray> payload = readFrame()) {
        QDataStream request(*payload);
        Protocol::pin(request);
        sendFrame(answer(request));
    }
    return 0;
}
