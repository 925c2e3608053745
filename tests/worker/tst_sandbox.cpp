// SPDX-License-Identifier: GPL-3.0-or-later
// A worker broken into by a picture can do nothing beyond failing its job. The tests' worker acts, once
// the picture is decoded, as such a decoder would (see "sandbox-" in the worker's test hooks); what it
// reached is judged from outside: the files untouched, nobody listening connected to, this process
// not traced, and the batch going on.
#include "tests/support/TestEngine.h"
#include "tests/support/TestPictures.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
// What the kernel offers, asked the way the worker asks.
bool hasSeccomp()
{
    // 0 where the kernel has seccomp and this process is not filtered; EINVAL where it has none.
    return ::prctl(PR_GET_SECCOMP, 0, 0, 0, 0) >= 0;
}

bool hasLandlock()
{
    return ::syscall(SYS_landlock_create_ruleset, nullptr, 0, 1U) > 0;
}

// Whether a process like the worker may have a network of its own here: tried in a child, which has
// one thread as the worker has when it tries.
bool mayLeaveNetwork()
{
    const pid_t child = ::fork();
    if (child == 0)
        ::_exit(::unshare(CLONE_NEWNET) == 0 || ::unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0 ? 0 : 1);
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The line of /proc/PID/status that starts with field, without the field.
QByteArray statusField(qint64 pid, const QByteArray& field)
{
    QFile status(u"/proc/%1/status"_s.arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return {};
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(field + ':'))
            return line.mid(field.size() + 1).trimmed();
    }
    return {};
}

// A TCP port on 127.0.0.1 that listens without ever accepting on its own: a connection the worker made
// waits in its queue, for accepted() to find.
class Listener {
public:
    Listener()
        : m_socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0))
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t size = sizeof address;
        if (::bind(m_socket, reinterpret_cast<sockaddr*>(&address), size) == 0 && ::listen(m_socket, 4) == 0 &&
            ::getsockname(m_socket, reinterpret_cast<sockaddr*>(&address), &size) == 0)
            m_port = ntohs(address.sin_port);
    }
    ~Listener() { ::close(m_socket); }
    int port() const { return m_port; }
    bool accepted() const
    {
        const int connection = ::accept4(m_socket, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0)
            ::close(connection);
        return connection >= 0;
    }

private:
    int m_socket;
    int m_port = 0;
};

QStringList everythingIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDir::Name);
}
} // namespace

class TestSandbox : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void workersAreBoxed();
    void brokenDecoderIsStopped_data();
    void brokenDecoderIsStopped();
    void previewWorkerWritesNothing();

private:
    // root/src holds the pictures, root/outside a secret and nothing the worker may write, root/out is
    // the output folder.
    QString path(const QString& name) const { return m_root->filePath(name); }

    std::unique_ptr<QTemporaryDir> m_root;
    QByteArray m_secret;
};

void TestSandbox::initTestCase()
{
    if (!hasSeccomp() && !hasLandlock())
        QSKIP("this kernel offers neither seccomp nor Landlock: the worker runs unboxed here");
    TestPictures::initialise();
}

void TestSandbox::init()
{
    m_root = std::make_unique<QTemporaryDir>();
    QVERIFY(m_root->isValid());
    for (const QString& folder : {u"src"_s, u"outside"_s, u"out"_s})
        QVERIFY(QDir(m_root->path()).mkdir(folder));
    TestPictures::save(TestPictures::halves(32, 24, "red", "blue"), path(u"src/plain.png"_s), "PNG");
    TestPictures::save(TestPictures::halves(8, 8, "green", "white"), path(u"outside/secret.png"_s), "PNG");
    m_secret = TestPictures::bytesOf(path(u"outside/secret.png"_s));
}

void TestSandbox::workersAreBoxed()
{
    WorkerEngine engine(testEngineOptions());
    QFile::copy(path(u"src/plain.png"_s), path(u"src/stall-here.png"_s));
    BatchCallbacks callbacks;
    engine.convertBatch({{path(u"src/stall-here.png"_s), path(u"out/stall-here.bmp"_s), OutputFormat::Bmp}}, callbacks);
    // Stalled inside its job: the box is up by then.
    QTRY_VERIFY(!engine.workerProcessIds().isEmpty());
    const qint64 worker = engine.workerProcessIds().front();
    QTRY_COMPARE(statusField(worker, "NoNewPrivs"), QByteArray("1"));
    if (hasSeccomp())
        QCOMPARE(statusField(worker, "Seccomp"), QByteArray("2"));
    if (mayLeaveNetwork()) {
        const QString own = QFile::symLinkTarget(u"/proc/self/ns/net"_s);
        QTRY_VERIFY(!QFile::symLinkTarget(u"/proc/%1/ns/net"_s.arg(worker)).isEmpty());
        QVERIFY(QFile::symLinkTarget(u"/proc/%1/ns/net"_s.arg(worker)) != own);
    }
    engine.cancelBatch();
}

void TestSandbox::brokenDecoderIsStopped_data()
{
    QTest::addColumn<QString>("act");
    // Which layer stops it: "files" (Landlock) or "calls" (seccomp, or Landlock's own refusals).
    QTest::addColumn<QString>("layer");
    QTest::newRow("read a file outside") << u"sandbox-read"_s << u"files"_s;
    QTest::newRow("write outside the output folder") << u"sandbox-write"_s << u"files"_s;
    QTest::newRow("start /bin/sh") << u"sandbox-exec"_s << u"calls"_s;
    QTest::newRow("connect to 127.0.0.1") << u"sandbox-connect-%1"_s << u"calls"_s;
    QTest::newRow("trace the window") << u"sandbox-ptrace"_s << u"calls"_s;
}

void TestSandbox::brokenDecoderIsStopped()
{
    QFETCH(QString, act);
    QFETCH(QString, layer);
    if (layer == u"files"_s && !hasLandlock())
        QSKIP("this kernel has no Landlock: the worker's files are not restricted here");
    if (layer == u"calls"_s && !hasSeccomp())
        QSKIP("this kernel has no seccomp: the worker's system calls are not filtered here");
    const Listener listener;
    QVERIFY(listener.port() > 0);
    const QString name = act.contains(u"%1"_s) ? act.arg(listener.port()) : act;
    QVERIFY(QFile::copy(path(u"src/plain.png"_s), path(u"src/%1.png"_s.arg(name))));

    WorkerEngine engine(testEngineOptions());
    // The violation, then an honest picture: the batch goes on.
    const BatchResult result =
        runBatch(engine, {{path(u"src/%1.png"_s.arg(name)), path(u"out/%1.bmp"_s.arg(name)), OutputFormat::Bmp},
                          {path(u"src/plain.png"_s), path(u"out/plain.bmp"_s), OutputFormat::Bmp}});
    QVERIFY(result.done);
    QVERIFY2(result.errors.at(0) == u"处理图片时出错"_s && result.details.at(0).contains(u"sandbox"_s),
             qPrintable(result.errors.at(0) + u": "_s + result.details.at(0)));
    QCOMPARE(result.errors.at(1), QString());

    // Nothing got through: no mark of a success in the output folder, nothing new anywhere else.
    QCOMPARE(everythingIn(path(u"out"_s)), QStringList{u"plain.bmp"_s});
    QCOMPARE(everythingIn(path(u"outside"_s)), QStringList{u"secret.png"_s});
    QCOMPARE(TestPictures::bytesOf(path(u"outside/secret.png"_s)), m_secret);
    QStringList sources{name + u".png"_s, u"plain.png"_s};
    sources.sort();
    QCOMPARE(everythingIn(path(u"src"_s)), sources);
    QVERIFY(!listener.accepted());
    QCOMPARE(statusField(::getpid(), "TracerPid"), QByteArray("0"));
}

void TestSandbox::previewWorkerWritesNothing()
{
    if (!hasLandlock())
        QSKIP("this kernel has no Landlock: the worker's files are not restricted here");
    QVERIFY(QFile::copy(path(u"src/plain.png"_s), path(u"src/sandbox-write.png"_s)));
    WorkerEngine engine(testEngineOptions());
    std::optional<PreviewResult> shown;
    engine.preview(path(u"src/sandbox-write.png"_s), QSize(64, 64),
                   [&](const PreviewResult& result) { shown = result; });
    QTRY_VERIFY_WITH_TIMEOUT(shown.has_value(), 60'000);
    QCOMPARE(shown->error, u"处理图片时出错"_s);
    // Not even the folder a conversion would write to.
    QVERIFY(everythingIn(path(u"out"_s)).isEmpty());
    QCOMPARE(everythingIn(path(u"outside"_s)), QStringList{u"secret.png"_s});
    QCOMPARE(everythingIn(path(u"src"_s)), (QStringList{u"plain.png"_s, u"sandbox-write.png"_s}));
    // The same worker still shows an honest picture.
    shown.reset();
    engine.preview(path(u"src/plain.png"_s), QSize(64, 64), [&](const PreviewResult& result) { shown = result; });
    QTRY_VERIFY_WITH_TIMEOUT(shown.has_value(), 60'000);
    QCOMPARE(shown->error, QString());
    QCOMPARE(shown->image.size(), QSize(32, 24));
}

QTEST_GUILESS_MAIN(TestSandbox)
#include "tst_sandbox.moc"
