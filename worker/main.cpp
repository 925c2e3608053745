// SPDX-License-Identifier: GPL-3.0-or-later
// kalvorin-worker: decodes and encodes pictures for the window, one request at a time, over
// length-prefixed frames on stdin and stdout. Pictures are untrusted input; a crash or a runaway
// decoder here costs one request, never the window.

#include "ipc/Protocol.h"
#include "ipc/SourceChannel.h"
#include "worker/Failure.h"
#include "worker/PictureJobs.h"
#include "worker/Sandbox.h"

#include <Magick++.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QThread>

#include <arpa/inet.h>
#include <fcntl.h>
#include <ftw.h>
#include <malloc.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>
#include <limits>
#include <mutex>
#include <set>
#include <thread>

namespace {
int g_protocolOut = -1;

// The folder the window made for this worker's caches; it goes with the worker however the worker
// ends, since the window may not be there to remove it.
QByteArray g_privateFolder;

int removeEntry(const char* path, const struct stat*, int type, FTW*)
{
    // Whatever cannot go stays; the rest still goes. Folders by rmdir, not remove(): the sandbox lets
    // the worker remove its own folder from the one it is in, but no file there, and remove() tries
    // unlink first.
    if (type == FTW_DP)
        ::rmdir(path);
    else
        ::unlink(path);
    return 0;
}

// Ends the worker from any thread: the output being written and the private folder go first. The
// first caller ends the process; any other waits here for that.
[[noreturn]] void endWorker(int code)
{
    static std::mutex ending;
    ending.lock();
    PictureJobs::abandonOutput();
    if (!g_privateFolder.isEmpty())
        ::nftw(g_privateFolder.constData(), removeEntry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
    ::_exit(code);
}

// The signals that end a worker: the window's own end (its death signal, below), a logout or a
// terminal closing. They are blocked in every thread and taken here, where cleaning up is safe.
sigset_t endingSignals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : {SIGTERM, SIGINT, SIGHUP})
        sigaddset(&set, signal);
    return set;
}

void watchEndingSignals()
{
    std::thread([] {
        const sigset_t set = endingSignals();
        int signal = 0;
        while (sigwait(&set, &signal) != 0) {
        }
        endWorker(128 + signal);
    }).detach();
}

// The output folders the window handed down as descriptors; a request may name no other.
std::set<qint32> g_outputFolders;

// A descriptor the window handed down, by its number in the environment: never one of the standard
// three, and kept from anything the worker might start.
std::optional<int> inheritedDescriptor(const QByteArray& number)
{
    bool ok = false;
    const int fd = number.toInt(&ok);
    if (ok && fd > STDERR_FILENO && ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0)
        return fd;
    return std::nullopt;
}

void takeOutputFolders()
{
    for (const QByteArray& number : qgetenv("KALVORIN_OUTPUT_FOLDERS").split(',')) {
        if (const std::optional<int> fd = inheritedDescriptor(number))
            g_outputFolders.insert(*fd);
    }
}

// The socket each request's picture arrives on, opened by the window: the worker opens no file of the
// user's by its name.
int g_sources = -1;

OpenedSource takeSource()
{
    const std::optional<SourceChannel::Received> received = SourceChannel::receive(g_sources);
    // The window has gone, or broke the channel's rules: nothing after can be matched to its request.
    if (!received)
        endWorker(1);
    return {LongPath::Fd(received->file), received->error};
}

bool readExactly(int fd, char* data, qsizetype size)
{
    while (size > 0) {
        const ssize_t got = ::read(fd, data, size_t(size));
        if (got == 0 || (got < 0 && errno != EINTR))
            return false;
        if (got > 0) {
            data += got;
            size -= got;
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
    return Protocol::readFrame([](char* data, qsizetype size) { return readExactly(STDIN_FILENO, data, size); },
                               Protocol::maxRequestFrame);
}

// Signs of life come from a second thread while a job runs; a frame goes out whole.
std::mutex g_sending;

void sendFrame(const QByteArray& payload)
{
    const std::lock_guard lock(g_sending);
    // The window is gone.
    if (!writeAll(g_protocolOut, Protocol::frame(payload)))
        endWorker(1);
}

// A sign of life, sent while a job runs so that the window can tell slow from stuck.
void sendProgress(qint64 pixels, qint16 done = 0)
{
    sendFrame(Protocol::encodeProgress(pixels, done));
}

// The first frame: which version of the protocol this worker speaks. The tests' build can be told
// to claim another, as a worker of another build of the program would.
void sendHello(quint32 layers)
{
    quint32 version = Protocol::version;
#ifdef KALVORIN_TEST_HOOKS
    if (qEnvironmentVariableIsSet("KALVORIN_TEST_PROTOCOL_VERSION"))
        version = quint32(qEnvironmentVariableIntValue("KALVORIN_TEST_PROTOCOL_VERSION"));
#endif
    sendFrame(Protocol::encodeHello(version, layers));
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

// A worker gone wrong, for the window's checks of what it hears: "answer-bad-status" answers with a
// status that does not exist, "answer-ok-without-writing" says a
// conversion succeeded without doing it, "huge-progress" and "negative-progress" report such pixels
// and "overdone-progress" more than the whole picture done before the job goes on, and "oversize-frame" starts a frame
// longer than any reply may be.
std::optional<QByteArray> testAnswer(const QString& source, Protocol::Kind kind)
{
    if (source.contains(QStringLiteral("answer-bad-status"))) {
        const auto status = Protocol::Status(200);
        return kind == Protocol::Kind::Preview ? Protocol::encode(Protocol::PreviewAnswer{status, {}, {}})
                                               : Protocol::encode(Protocol::ConvertAnswer{status, {}});
    }
    if (source.contains(QStringLiteral("answer-ok-without-writing")))
        return Protocol::encode(Protocol::ConvertAnswer{Protocol::Status::Ok, {}});
    if (source.contains(QStringLiteral("oversize-frame"))) {
        {
            const std::lock_guard lock(g_sending);
            writeAll(g_protocolOut, Protocol::frameStart(Protocol::maxReplyFrame + 1));
        }
        stall();
    }
    if (source.contains(QStringLiteral("huge-progress"))) {
        sendProgress(std::numeric_limits<qint64>::max());
        sendProgress(qint64(1) << 53);
    }
    if (source.contains(QStringLiteral("negative-progress")))
        sendProgress(-1);
    if (source.contains(QStringLiteral("overdone-progress")))
        sendProgress(1, Protocol::perMille + 1);
    if (source.contains(QStringLiteral("-progress"))) {
        // Long enough for a time limit gone wrong to end the job first.
        QThread::msleep(500);
    }
    return std::nullopt;
}
// "sandbox-read", "sandbox-write", "sandbox-exec", "sandbox-connect-PORT" and "sandbox-ptrace" act, once
// the picture is decoded, as a decoder broken into would: the tests' pictures sit in root/src/, beside
// root/outside/ (a secret.png the worker must not read, and nothing it may write) and root/out/, the
// output folder. What the box lets through leaves its mark in the output folder, for the test to find;
// what it refuses ends the job as the box does, or kills the worker.
void leaveMark(int folder, const char* name)
{
    if (folder < 0)
        return;
    const int mark = ::openat(folder, name, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (mark >= 0)
        ::close(mark);
}

[[noreturn]] void refusedBy(const char* what)
{
    throw Failure{Protocol::Status::Sandboxed, systemWords(what, errno)};
}

constexpr bool hasTestHooks = true;

void sandboxProbe(const QString& source, int folder)
{
    const QDir root = QFileInfo(source).dir().filePath(QStringLiteral(".."));
    const QByteArray outside = QDir::cleanPath(root.filePath(QStringLiteral("outside"))).toLocal8Bit();
    if (source.contains(QStringLiteral("sandbox-read"))) {
        Magick::Image secret;
        secret.read((outside + "/secret.png").toStdString());
        leaveMark(folder, "read-outside");
    }
    if (source.contains(QStringLiteral("sandbox-write"))) {
        const Magick::Image dot(Magick::Geometry(1, 1), Magick::Color("red"));
        for (const QByteArray& target :
             {outside + "/written.png", QFileInfo(source).dir().filePath(QStringLiteral("written.png")).toLocal8Bit(),
              QDir::cleanPath(root.filePath(QStringLiteral("out/written.png"))).toLocal8Bit()}) {
            // The output folder itself is the one place a conversion may write.
            if (folder >= 0 && target.endsWith("out/written.png"))
                continue;
            Magick::Image copy = dot;
            copy.write(target.toStdString());
        }
    }
    if (source.contains(QStringLiteral("sandbox-exec"))) {
        const QByteArray command = "echo ran > '" + outside + "/executed'";
        const char* const arguments[] = {"sh", "-c", command.constData(), nullptr};
        ::execve("/bin/sh", const_cast<char* const*>(arguments), environ);
        refusedBy("sandbox: execve /bin/sh");
    }
    if (source.contains(QStringLiteral("sandbox-connect-"))) {
        const int port = source.section(QStringLiteral("sandbox-connect-"), 1).section(u'.', 0, 0).toInt();
        const int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (socket < 0)
            refusedBy("sandbox: socket");
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(quint16(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            refusedBy("sandbox: connect 127.0.0.1");
        [[maybe_unused]] const ssize_t sent = ::write(socket, "leak", 4);
        ::close(socket);
        leaveMark(folder, "connected");
    }
    if (source.contains(QStringLiteral("sandbox-ptrace"))) {
        if (::ptrace(PTRACE_ATTACH, ::getppid(), nullptr, nullptr) != 0)
            refusedBy("sandbox: ptrace");
        ::ptrace(PTRACE_DETACH, ::getppid(), nullptr, nullptr);
        leaveMark(folder, "traced");
    }
}
#else
constexpr bool hasTestHooks = false;
void sandboxProbe(const QString&, int) {}
std::optional<QByteArray> testAnswer(const QString&, Protocol::Kind)
{
    return std::nullopt;
}
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
#if defined(__SANITIZE_ADDRESS__)
    // A sanitizer build, for the tests: AddressSanitizer reserves terabytes of address space for its
    // shadow memory, which no limit of this size leaves it.
    Q_UNUSED(pixelMemory);
#else
    // Room for the pixels, the file's bytes, the encoded output and the libraries; a decoder that asks
    // for more fails here instead of pushing the machine into swap.
    const rlim_t limit = rlim_t(std::max<qint64>(pixelMemory, 0)) + (rlim_t(2) << 30);
    rlimit current{};
    if (getrlimit(RLIMIT_AS, &current) == 0) {
        current.rlim_cur = current.rlim_max == RLIM_INFINITY ? limit : std::min(limit, current.rlim_max);
        setrlimit(RLIMIT_AS, &current);
    }
#endif
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
    sendFrame(Protocol::encodeMeasured(pixels));
    const std::optional<QByteArray> payload = readFrame();
    const std::optional<qint64> memory = payload ? Protocol::decodeProceed(*payload) : std::nullopt;
    if (!memory)
        endWorker(1);
    if (*memory > 0)
        allowPixelMemory(*memory);
}

// Every field of a request is checked before anything is read or written: the window's process is
// trusted no more than a picture, and a name with a "/" would land outside the folder.
QByteArray answer(const QByteArray& payload)
{
    // Every request frame comes with its picture, or the error met opening it, whatever the frame says.
    OpenedSource source = takeSource();
    const Protocol::Request request = Protocol::decodeRequest(payload);
    if (!request.error.isEmpty()) {
        if (request.kind == Protocol::Kind::Preview)
            return Protocol::encode(Protocol::PreviewAnswer{Protocol::Status::ProtocolError, {}, {}});
        return Protocol::encode(Protocol::ConvertAnswer{Protocol::Status::ProtocolError, request.error});
    }
    PictureJobs::Hooks hooks;
    hooks.progress = [](qint64 pixels, qint16 done) { sendProgress(pixels, done); };
#ifdef KALVORIN_TEST_HOOKS
    // "every-step" tells each step of the work as it is made, so that the tests need not wait for beats.
    hooks.everyStep = request.convert.source.contains(QStringLiteral("every-step"));
#endif
    if (request.kind == Protocol::Kind::Preview) {
        if (std::optional<QByteArray> made = testAnswer(request.preview.path, Protocol::Kind::Preview))
            return *made;
        testHooksBefore(request.preview.path);
        const PictureJobs::Preview preview =
            PictureJobs::preview(source, request.preview.path, request.preview.box, hooks);
        Protocol::Status status = preview.status;
        try {
            sandboxProbe(request.preview.path, -1);
        } catch (const Failure& failure) {
            status = failure.status;
        } catch (const Magick::Exception& error) {
            status = failureOf(error).status;
        }
        QByteArray out = Protocol::encode(status == Protocol::Status::Ok
                                              ? Protocol::PreviewAnswer{status, preview.size, preview.rgba}
                                              : Protocol::PreviewAnswer{status, {}, {}});
        // The preview's worker stays for the next selection; it need not hold a large photo's memory.
        malloc_trim(0);
        return out;
    }
    const PictureJobs::ConvertRequest& job = request.convert;
    if (!g_outputFolders.contains(job.folder))
        return Protocol::encode(
            Protocol::ConvertAnswer{Protocol::Status::ProtocolError, QStringLiteral("unknown output folder")});
    if (std::optional<QByteArray> made = testAnswer(job.source, Protocol::Kind::Convert))
        return *made;
    testHooksBefore(job.source);
    hooks.partWritten = stallOn(job.source, QStringLiteral("stall-writing"));
    if (job.source.contains(QStringLiteral("sandbox-")) && hasTestHooks)
        hooks.partWritten = [&job] { sandboxProbe(job.source, job.folder); };
    const std::function<void()> afterRename = stallOn(job.source, QStringLiteral("stall-answering"));
    hooks.renamed = [&afterRename](const QString& name) {
        sendFrame(Protocol::encodeWritten(name));
        if (afterRename)
            afterRename();
    };
    hooks.admit = waitForAdmission;
    QString detail;
    const Protocol::Status status = PictureJobs::convert(source, job, hooks, &detail);
    allowPixelMemory(g_pixelMemory);
    return Protocol::encode(Protocol::ConvertAnswer{status, detail});
}

} // namespace

int main(int argc, char* argv[])
{
    // Blocked before any thread starts, so that every thread inherits it and only the watcher takes
    // them (ImageMagick installs handlers of its own for some).
    const sigset_t ending = endingSignals();
    pthread_sigmask(SIG_BLOCK, &ending, nullptr);
    // A network namespace can only be entered while the process has one thread, so first of all.
    // Where it cannot, the system-call filter alone keeps the network shut.
    const bool ownNetwork = Sandbox::leaveNetwork();
    // A worker never outlives the window that started it, but it cleans up first: its death signal is
    // one the watcher handles.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    g_privateFolder = qgetenv("KALVORIN_PRIVATE_FOLDER");
    takeOutputFolders();
    const std::optional<int> sources = inheritedDescriptor(qgetenv("KALVORIN_SOURCES"));
    if (!sources) {
        std::fputs("kalvorin-worker: started without the socket its pictures come on\n", stderr);
        endWorker(1);
    }
    g_sources = *sources;

    // The file system is closed before any other thread exists: Landlock binds the thread that asks and
    // the threads it starts afterwards.
    Sandbox::Places places;
    places.readable = Sandbox::systemPlaces({qgetenv("MAGICK_CONFIGURE_PATH"), qgetenv("LD_LIBRARY_PATH")});
    places.privateFolder = g_privateFolder;
    places.outputFolders.assign(g_outputFolders.begin(), g_outputFolders.end());
    const bool noNewPrivileges = Sandbox::forbidNewPrivileges();
    const int landlock = Sandbox::restrictFiles(places);

    watchEndingSignals();
    // The window may have died before the death signal was set.
    const qint64 parent = qgetenv("KALVORIN_PARENT").toLongLong();
    if (parent > 0 && ::getppid() != pid_t(parent))
        endWorker(1);

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

    // Last, on every thread, before the first picture: what is set up above needed calls the filter
    // refuses.
    const bool filtered = Sandbox::filterSystemCalls();
    // The window says once, for all its workers, which layers this kernel did not allow.
    const auto layer = [](bool inForce, Protocol::Layer which) { return inForce ? quint32(which) : 0u; };
    sendHello(layer(noNewPrivileges, Protocol::NoNewPrivileges) | layer(filtered, Protocol::SystemCallFilter) |
              layer(landlock > 0, Protocol::FileRestriction) | layer(ownNetwork, Protocol::OwnNetwork));
    while (const std::optional<QByteArray> payload = readFrame())
        sendFrame(answer(*payload));
    // The window closed the pipe: it has ended, however it did.
    endWorker(0);
}
