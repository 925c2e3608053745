// SPDX-License-Identifier: GPL-3.0-or-later
// A disk that fills up, made real: the test runs in a mount namespace of its own (as root, or as a
// user through a user namespace) and mounts small tmpfs disks there, which its workers see too.

#include "client/OutputFolder.h"
#include "tests/support/TestEngine.h"
#include "tests/support/TestPictures.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
using OutputFormat::Bmp;
using OutputFormat::Gif;

bool writeProcFile(const char* path, const QByteArray& text)
{
    QFile file(QString::fromLatin1(path));
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size() && file.flush();
}

// Must run before any thread starts: a user namespace takes only a single-threaded process.
bool enterPrivateMounts()
{
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    if (uid == 0) {
        if (::unshare(CLONE_NEWNS) != 0)
            return false;
    } else {
        if (::unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0 || !writeProcFile("/proc/self/setgroups", "deny") ||
            !writeProcFile("/proc/self/uid_map", "0 " + QByteArray::number(uid) + " 1") ||
            !writeProcFile("/proc/self/gid_map", "0 " + QByteArray::number(gid) + " 1"))
            return false;
    }
    // Nothing mounted here reaches the rest of the machine.
    return ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

bool g_privateMounts = false;

// A tmpfs of the given size over a temporary folder, for as long as it lives.
class SmallDisk {
public:
    explicit SmallDisk(const char* size, unsigned long flags = 0)
    {
        const QByteArray options = "size=" + QByteArray(size) + ",mode=0700";
        m_mounted = m_dir.isValid() && ::mount("tmpfs", QFile::encodeName(m_dir.path()).constData(), "tmpfs",
                                               MS_NOSUID | MS_NODEV | flags, options.constData()) == 0;
    }
    ~SmallDisk()
    {
        if (m_mounted)
            ::umount2(QFile::encodeName(m_dir.path()).constData(), MNT_DETACH);
    }
    SmallDisk(const SmallDisk&) = delete;
    SmallDisk& operator=(const SmallDisk&) = delete;

    bool isMounted() const { return m_mounted; }
    QString path() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    bool m_mounted = false;
};

} // namespace

class TestDiskFull : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void outputDiskFills();
    void cacheDiskFills();
    void readOnlyDisk();

private:
    QTemporaryDir m_dir;
};

void TestDiskFull::initTestCase()
{
    if (!g_privateMounts)
        QSKIP("this machine lets the test mount no disk of its own");
    QVERIFY(m_dir.isValid());
    TestPictures::save(TestPictures::photo(1000, 800), m_dir.filePath(u"photo.png"_s), "PNG");
    TestPictures::save(TestPictures::photo(100, 80), m_dir.filePath(u"small.png"_s), "PNG");
}

void TestDiskFull::outputDiskFills()
{
    SmallDisk disk("1m");
    QVERIFY(disk.isMounted());
    WorkerEngine engine(testEngineOptions());
    // 2.4 MB of BMP does not fit; a small one still does, after it.
    const QStringList errors = runBatch(engine, {{m_dir.filePath(u"photo.png"_s), disk.path() + u"/photo.bmp"_s, Bmp},
                                                 {m_dir.filePath(u"small.png"_s), disk.path() + u"/small.bmp"_s, Bmp}})
                                   .errors;
    QCOMPARE(errors, (QStringList{u"磁盘空间不足"_s, QString()}));
    QCOMPARE(QDir(disk.path()).entryList(QDir::Files | QDir::Hidden), QStringList{u"small.bmp"_s});
}

void TestDiskFull::cacheDiskFills()
{
    // The workers' caches go to the system's temporary folder, here a disk of 1 MiB; pixels beyond
    // 4 MiB of memory go to a cache there.
    SmallDisk disk("1m");
    QVERIFY(disk.isMounted());
    const QByteArray oldTemp = qgetenv("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(disk.path()));
    WorkerEngine::Options options = testEngineOptions();
    options.pixelMemory = qint64(4) << 20;
    options.aloneMemory = options.pixelMemory;
    options.poolSize = 1;
    QStringList errors;
    {
        WorkerEngine engine(options);
        errors = runBatch(engine, {{m_dir.filePath(u"photo.png"_s), m_dir.filePath(u"photo.gif"_s), Gif},
                                   {m_dir.filePath(u"small.png"_s), m_dir.filePath(u"small.gif"_s), Gif}})
                     .errors;
    }
    qputenv("TMPDIR", oldTemp);
    QCOMPARE(errors, (QStringList{u"磁盘空间不足"_s, QString()}));
    // The failed worker's caches went with it.
    QCOMPARE(QDir(disk.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{});
}

void TestDiskFull::readOnlyDisk()
{
    SmallDisk disk("1m", MS_RDONLY);
    QVERIFY(disk.isMounted());
    // The window refuses the folder before a batch starts; a job sent there anyway says why.
    const std::shared_ptr<const OutputFolder> folder = OutputFolder::open(disk.path());
    QVERIFY(folder);
    QVERIFY(!folder->canCreateFiles());
    WorkerEngine engine(testEngineOptions());
    QCOMPARE(runBatch(engine, {{m_dir.filePath(u"small.png"_s), disk.path() + u"/small.bmp"_s, Bmp}}).errors,
             QStringList{u"无法写入"_s});
}

int main(int argc, char* argv[])
{
    g_privateMounts = enterPrivateMounts();
    QApplication app(argc, argv);
    TestDiskFull test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_diskfull.moc"
