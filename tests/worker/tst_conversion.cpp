// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/TestEngine.h"
#include "tests/support/TestPictures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
using namespace OutputFormat;

QImage only(const QString& path)
{
    return TestPictures::toQImage(TestPictures::load(path).front());
}

bool white(const QColor& c)
{
    return c.red() > 250 && c.green() > 250 && c.blue() > 250 && c.alpha() == 255;
}

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}

// A chain of folders under base whose path is longer than the kernel takes at once, made and removed
// one folder at a time.
class DeepFolder {
public:
    DeepFolder(const QString& base, int length)
        : m_path(base)
    {
        int folder = ::open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY);
        const QByteArray name(200, 'd');
        while (folder >= 0 && m_path.size() < length) {
            ::mkdirat(folder, name.constData(), 0700);
            const int next = ::openat(folder, name.constData(), O_RDONLY | O_DIRECTORY);
            m_folders.push_back(folder);
            folder = next;
            m_path += u'/' + QString::fromLatin1(name);
        }
        m_folders.push_back(folder);
    }
    ~DeepFolder()
    {
        for (const QString& name : m_files)
            ::unlinkat(m_folders.back(), QFile::encodeName(name).constData(), 0);
        for (size_t i = m_folders.size() - 1; i > 0; --i) {
            ::close(m_folders[i]);
            ::unlinkat(m_folders[i - 1], QByteArray(200, 'd').constData(), AT_REMOVEDIR);
        }
        ::close(m_folders.front());
    }
    DeepFolder(const DeepFolder&) = delete;
    DeepFolder& operator=(const DeepFolder&) = delete;

    const QString& path() const { return m_path; }
    bool isValid() const { return m_folders.back() >= 0; }
    /// Files the test put here or expects here, removed with the folders.
    void own(const QString& name) { m_files.append(name); }
    void write(const QString& name, const QByteArray& bytes)
    {
        own(name);
        const int file = ::openat(m_folders.back(), QFile::encodeName(name).constData(), O_WRONLY | O_CREAT, 0600);
        QCOMPARE(::write(file, bytes.constData(), size_t(bytes.size())), ssize_t(bytes.size()));
        ::close(file);
    }
    QByteArray read(const QString& name) const
    {
        const int file = ::openat(m_folders.back(), QFile::encodeName(name).constData(), O_RDONLY);
        QByteArray bytes;
        char buffer[65536];
        for (ssize_t n; file >= 0 && (n = ::read(file, buffer, sizeof buffer)) > 0;)
            bytes.append(buffer, n);
        if (file >= 0)
            ::close(file);
        return bytes;
    }

private:
    QString m_path;
    std::vector<int> m_folders;
    QStringList m_files;
};
} // namespace

class TestConversion : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void everyFormat_data();
    void everyFormat();
    void transparency_data();
    void transparency();
    void rotatedSourceComesOutUpright();
    void framesOfAnAnimation();
    void bigPictureToIcon();
    void deepAndCmykSources();
    void failuresDoNotStopTheBatch();
    void killedWorkerMidBatch();
    void cancelStopsStartingJobs();
    void cleanupAfterAFailedJob_data();
    void cleanupAfterAFailedJob();
    void signsOfLifeKeepASlowJob();
    void cancelStopsRunningJobs();
    void workersLeaveNoCaches();
    void longPaths();

private:
    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QImage m_photo;
};

void TestConversion::initTestCase()
{
    QVERIFY(m_dir.isValid());
    QVERIFY(QDir(m_dir.path()).mkdir(u"out"_s));
    TestPictures::initialise();
    const Magick::Image photo = TestPictures::photo(120, 80);
    TestPictures::save(photo, path(u"photo.png"_s), "PNG");
    m_photo = TestPictures::toQImage(photo);
    TestPictures::save(TestPictures::framedByTransparency(64, 16, "blue"), path(u"framed.png"_s), "PNG");
}

void TestConversion::everyFormat_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<QString>("coder");
    QTest::addColumn<double>("meanTolerance");
    QTest::addColumn<int>("maxTolerance");
    QTest::newRow("jpg") << int(Jpg) << u"JPEG"_s << 4.0 << 80;
    QTest::newRow("bmp") << int(Bmp) << u"BMP"_s << 0.0 << 0;
    QTest::newRow("gif") << int(Gif) << u"GIF"_s << 10.0 << 255;
    QTest::newRow("pcx") << int(Pcx) << u"PCX"_s << 0.0 << 0;
    QTest::newRow("png") << int(Png) << u"PNG"_s << 0.0 << 0;
    QTest::newRow("tiff") << int(Tiff) << u"TIFF"_s << 0.0 << 0;
}

void TestConversion::everyFormat()
{
    QFETCH(int, format);
    QFETCH(QString, coder);
    QFETCH(double, meanTolerance);
    QFETCH(int, maxTolerance);
    WorkerEngine engine(testEngineOptions());
    // The name says nothing: the content is what is checked.
    const QString target = path(u"out/result-%1.out"_s.arg(format));
    const BatchResult result = runBatch(engine, {{path(u"photo.png"_s), target, Index(format)}});
    QCOMPARE(result.errors, QStringList{QString()});
    QCOMPARE(QString::fromStdString(TestPictures::formatOf(target)), coder);
    const QImage written = only(target);
    QCOMPARE(written.size(), QSize(120, 80));
    QVERIFY2(TestPictures::meanDifference(written, m_photo) <= meanTolerance,
             qPrintable(QString::number(TestPictures::meanDifference(written, m_photo))));
    QVERIFY(TestPictures::maxDifference(written, m_photo) <= maxTolerance);
}

void TestConversion::transparency_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("keepsAlpha");
    QTest::newRow("jpg on white") << int(Jpg) << false;
    QTest::newRow("pcx on white") << int(Pcx) << false;
    QTest::newRow("png keeps it") << int(Png) << true;
    QTest::newRow("tiff keeps it") << int(Tiff) << true;
    QTest::newRow("gif keeps it") << int(Gif) << true;
    QTest::newRow("bmp keeps it") << int(Bmp) << true;
}

void TestConversion::transparency()
{
    QFETCH(int, format);
    QFETCH(bool, keepsAlpha);
    WorkerEngine engine(testEngineOptions());
    const QString target = path(u"out/framed-%1"_s.arg(format));
    QCOMPARE(runBatch(engine, {{path(u"framed.png"_s), target, Index(format)}}).errors, QStringList{QString()});
    const QImage written = only(target);
    QCOMPARE(written.size(), QSize(64, 64));
    if (keepsAlpha)
        QCOMPARE(written.pixelColor(4, 4).alpha(), 0);
    else
        QVERIFY(white(written.pixelColor(4, 4)));
    const QColor inside = written.pixelColor(32, 32);
    QVERIFY(inside.blue() > 220 && inside.red() < 30 && inside.alpha() == 255);
}

void TestConversion::rotatedSourceComesOutUpright()
{
    TestPictures::save(TestPictures::halves(60, 40, "red", "blue"), path(u"plain.jpg"_s), "JPEG");
    TestPictures::saveBytes(path(u"turned.jpg"_s),
                            TestPictures::withExifRotation(TestPictures::bytesOf(path(u"plain.jpg"_s))));
    WorkerEngine engine(testEngineOptions());
    const BatchResult result = runBatch(engine, {{path(u"turned.jpg"_s), path(u"out/turned.png"_s), Png},
                                                 {path(u"turned.jpg"_s), path(u"out/turned.jpg"_s), Jpg}});
    QCOMPARE(result.errors, (QStringList{QString(), QString()}));
    for (const QString& name : {u"out/turned.png"_s, u"out/turned.jpg"_s}) {
        const std::list<Magick::Image> frames = TestPictures::load(path(name));
        // Turned in its pixels, and not noted as still to be turned.
        QVERIFY(frames.front().orientation() <= MagickCore::TopLeftOrientation);
        const QImage written = TestPictures::toQImage(frames.front());
        QCOMPARE(written.size(), QSize(40, 60));
        QVERIFY(written.pixelColor(20, 8).red() > 200 && written.pixelColor(20, 8).blue() < 60);
        QVERIFY(written.pixelColor(20, 52).blue() > 200 && written.pixelColor(20, 52).red() < 60);
    }
}

void TestConversion::framesOfAnAnimation()
{
    std::list<Magick::Image> frames;
    for (const char* colour : {"red", "lime", "blue"}) {
        Magick::Image frame(Magick::Geometry(30, 20), Magick::Color(colour));
        frame.animationDelay(20);
        frames.push_back(frame);
    }
    TestPictures::saveFrames(frames, path(u"anim.gif"_s), "GIF");
    WorkerEngine engine(testEngineOptions());
    const BatchResult result = runBatch(engine, {{path(u"anim.gif"_s), path(u"out/anim.gif"_s), Gif},
                                                 {path(u"anim.gif"_s), path(u"out/anim.png"_s), Png},
                                                 {path(u"anim.gif"_s), path(u"out/anim.tiff"_s), Tiff}});
    QCOMPARE(result.errors, (QStringList{QString(), QString(), QString()}));
    const std::list<Magick::Image> gif = TestPictures::load(path(u"out/anim.gif"_s));
    QCOMPARE(gif.size(), size_t(3));
    QCOMPARE(gif.front().animationDelay(), size_t(20));
    QCOMPARE(TestPictures::toQImage(gif.back()).pixelColor(5, 5), QColor(Qt::blue));
    const std::list<Magick::Image> png = TestPictures::load(path(u"out/anim.png"_s));
    QCOMPARE(png.size(), size_t(1));
    QCOMPARE(TestPictures::toQImage(png.front()).pixelColor(5, 5), QColor(Qt::red));
    QCOMPARE(TestPictures::load(path(u"out/anim.tiff"_s)).size(), size_t(3));
}

void TestConversion::bigPictureToIcon()
{
    TestPictures::save(TestPictures::photo(4000, 3000), path(u"big.jpg"_s), "JPEG");
    WorkerEngine engine(testEngineOptions());
    const BatchResult result = runBatch(engine, {{path(u"big.jpg"_s), path(u"out/big.ico"_s), Ico},
                                                 {path(u"photo.png"_s), path(u"out/small.ico"_s), Ico}});
    QCOMPARE(result.errors, (QStringList{QString(), QString()}));
    QCOMPARE(TestPictures::formatOf(path(u"out/big.ico"_s)), std::string("ICO"));
    QList<int> sizes;
    for (const Magick::Image& entry : TestPictures::load(path(u"out/big.ico"_s))) {
        QCOMPARE(entry.columns(), entry.rows());
        sizes.append(int(entry.columns()));
        // The largest entry is stored as PNG, the small ones as bitmaps.
        QCOMPARE(entry.magick() == "PNG", entry.columns() == 256);
    }
    std::sort(sizes.begin(), sizes.end());
    QCOMPARE(sizes, (QList<int>{16, 32, 48, 256}));

    // 120 x 80 gives no entry larger than itself; the picture sits centred on transparency.
    sizes.clear();
    for (const Magick::Image& entry : TestPictures::load(path(u"out/small.ico"_s))) {
        sizes.append(int(entry.columns()));
        if (entry.columns() == 48) {
            const QImage square = TestPictures::toQImage(entry);
            QCOMPARE(square.pixelColor(24, 2).alpha(), 0);
            QCOMPARE(square.pixelColor(24, 24).alpha(), 255);
        }
    }
    std::sort(sizes.begin(), sizes.end());
    QCOMPARE(sizes, (QList<int>{16, 32, 48}));
}

void TestConversion::deepAndCmykSources()
{
    // Gamma in 16 bits gives values that 8 bits cannot hold.
    Magick::Image deep = TestPictures::photo(50, 40);
    deep.depth(16);
    deep.gamma(1.3);
    TestPictures::save(deep, path(u"deep.png"_s), "PNG");
    QCOMPARE(TestPictures::load(path(u"deep.png"_s)).front().depth(), size_t(16));
    Magick::Image cmyk = TestPictures::halves(50, 40, "red", "blue");
    cmyk.colorSpace(MagickCore::CMYKColorspace);
    TestPictures::save(cmyk, path(u"cmyk.jpg"_s), "JPEG");
    WorkerEngine engine(testEngineOptions());
    const BatchResult result = runBatch(engine, {{path(u"deep.png"_s), path(u"out/deep.png"_s), Png},
                                                 {path(u"cmyk.jpg"_s), path(u"out/cmyk.jpg"_s), Jpg}});
    QCOMPARE(result.errors, (QStringList{QString(), QString()}));
    QCOMPARE(TestPictures::load(path(u"out/deep.png"_s)).front().depth(), size_t(16));
    const Magick::Image rgb = TestPictures::load(path(u"out/cmyk.jpg"_s)).front();
    QVERIFY(rgb.colorSpace() != MagickCore::CMYKColorspace);
    QVERIFY(TestPictures::toQImage(rgb).pixelColor(5, 20).red() > 200);
}

void TestConversion::failuresDoNotStopTheBatch()
{
    QTemporaryDir readOnly;
    const QString blocked = readOnly.filePath(u"not-a-folder"_s);
    TestPictures::saveBytes(blocked, "a file where a folder should be");
    TestPictures::saveBytes(path(u"words.png"_s), "words, not a picture");
    WorkerEngine engine(testEngineOptions());
    const BatchResult result = runBatch(engine, {{path(u"photo.png"_s), path(u"out/f1.png"_s), Png},
                                                 {path(u"gone.png"_s), path(u"out/f2.png"_s), Png},
                                                 {path(u"words.png"_s), path(u"out/f3.png"_s), Png},
                                                 {path(u"photo.png"_s), blocked + u"/f4.png"_s, Png},
                                                 {path(u"photo.png"_s), path(u"out/f5.png"_s), Png}});
    QCOMPARE(result.errors,
             (QStringList{QString(), u"文件不存在"_s, u"不是图片或格式不支持"_s, u"无法写入"_s, QString()}));
    QVERIFY(QFile::exists(path(u"out/f1.png"_s)));
    QVERIFY(!QFile::exists(path(u"out/f2.png"_s)));
    QVERIFY(QFile::exists(path(u"out/f5.png"_s)));
}

void TestConversion::killedWorkerMidBatch()
{
    WorkerEngine::Options stalling = testEngineOptions();
    stalling.poolSize = 2;
    WorkerEngine engine(stalling);
    QFile::copy(path(u"photo.png"_s), path(u"stall-here.png"_s));
    QDir out(path(u"killed"_s));
    QVERIFY(out.mkpath(u"."_s));
    QList<ConvertJob> jobs;
    for (int i = 0; i < 6; ++i) {
        const QString source = i == 1 ? path(u"stall-here.png"_s) : path(u"photo.png"_s);
        jobs.append({source, out.filePath(u"k%1.tiff"_s.arg(i)), Tiff});
    }
    // Once every other job is over, the stuck worker is killed.
    QTimer killer;
    connect(&killer, &QTimer::timeout, this, [&] {
        if (out.entryList({u"*.tiff"_s}, QDir::Files).size() == 5) {
            for (const qint64 pid : engine.workerProcessIds())
                ::kill(pid_t(pid), SIGKILL);
            killer.stop();
        }
    });
    killer.start(50);
    const BatchResult result = runBatch(engine, jobs);
    QCOMPARE(result.errors.count(QString()), 5);
    QCOMPARE(result.errors[1], u"处理图片时出错"_s);
    QCOMPARE(out.entryList(QDir::Files | QDir::Hidden).size(), 5);
    QVERIFY(!out.exists(u"k1.tiff"_s));
}

void TestConversion::cancelStopsStartingJobs()
{
    WorkerEngine::Options one = testEngineOptions();
    one.poolSize = 1;
    WorkerEngine engine(one);
    QList<ConvertJob> jobs;
    for (int i = 0; i < 5; ++i)
        jobs.append({path(u"photo.png"_s), path(u"out/c%1.bmp"_s.arg(i)), Bmp});
    const BatchResult result = runBatch(engine, jobs, [&](int index) {
        if (index == 1)
            engine.cancelBatch();
    });
    QVERIFY(result.done);
    QCOMPARE(result.started, (QList<int>{0, 1}));
    // The running job is stopped too; the rest never start.
    QCOMPARE(result.errors, (QStringList{QString(), u"已取消"_s, u"not run"_s, u"not run"_s, u"not run"_s}));
    QVERIFY(QFile::exists(path(u"out/c0.bmp"_s)));
    QVERIFY(!QFile::exists(path(u"out/c1.bmp"_s)));
}

void TestConversion::cleanupAfterAFailedJob_data()
{
    QTest::addColumn<bool>("kill");
    QTest::newRow("timed out") << false;
    QTest::newRow("killed") << true;
}

void TestConversion::cleanupAfterAFailedJob()
{
    QFETCH(bool, kill);
    QTemporaryDir dir;
    const QString out = dir.filePath(u"out"_s);
    QVERIFY(QDir().mkpath(out));
    // A name full of pattern characters, and the user's files a pattern made from it could match.
    const QString odd = u"stall-writing [1] *?.png"_s;
    QFile::copy(path(u"photo.png"_s), dir.filePath(odd));
    const QStringList users{u"holiday.gif.backup"_s, u"stall-writing [1] *?.gif.ab1234"_s, u"a[1].bmp"_s,
                            u".stall-writing [1] *?.gif.kalvorin-mine.part"_s, u"*.gif"_s};
    for (const QString& name : users)
        TestPictures::saveBytes(out + u'/' + name, "a user's file");

    WorkerEngine::Options options = testEngineOptions();
    options.poolSize = 1;
    // A worker stuck in its write still shows signs of life; the overall limit stops it.
    if (!kill)
        options.convertLimits = {1'000, 1'500, 0};
    WorkerEngine engine(options);
    QTimer killer;
    connect(&killer, &QTimer::timeout, this, [&] {
        // Killed once its output is partly written.
        if (kill && filesIn(out).size() == users.size() + 2) {
            for (const qint64 pid : engine.workerProcessIds())
                ::kill(pid_t(pid), SIGKILL);
            killer.stop();
        }
    });
    killer.start(20);
    const BatchResult result = runBatch(engine, {{path(u"photo.png"_s), out + u"/sibling.gif"_s, Gif},
                                                 {dir.filePath(odd), out + u"/stall-writing [1] *?.gif"_s, Gif}});
    QCOMPARE(result.errors, (QStringList{QString(), kill ? u"处理图片时出错"_s : u"处理超时"_s}));
    QStringList expected = users;
    expected.append(u"sibling.gif"_s);
    expected.sort();
    QCOMPARE(filesIn(out), expected);
    for (const QString& name : users)
        QCOMPARE(TestPictures::bytesOf(out + u'/' + name), QByteArray("a user's file"));
}

void TestConversion::signsOfLifeKeepASlowJob()
{
    WorkerEngine::Options options = testEngineOptions();
    options.convertLimits.idleMs = 1'000;
    WorkerEngine engine(options);
    QFile::copy(path(u"photo.png"_s), path(u"slow-here.png"_s));
    QFile::copy(path(u"photo.png"_s), path(u"stall-here-too.png"_s));
    QElapsedTimer clock;
    clock.start();
    const BatchResult result = runBatch(engine, {{path(u"slow-here.png"_s), path(u"out/slow.png"_s), Png},
                                                 {path(u"stall-here-too.png"_s), path(u"out/stuck.png"_s), Png}});
    // Working for longer than the limit is fine while the worker shows signs of life; silence is not.
    QCOMPARE(result.errors, (QStringList{QString(), u"处理超时"_s}));
    QVERIFY(clock.elapsed() > 2'000);
    QVERIFY(QFile::exists(path(u"out/slow.png"_s)));
}

void TestConversion::cancelStopsRunningJobs()
{
    WorkerEngine::Options options = testEngineOptions();
    options.poolSize = 3;
    WorkerEngine engine(options);
    QTemporaryDir out;
    QFile::copy(path(u"photo.png"_s), path(u"stall-writing.png"_s));
    QFile::copy(path(u"photo.png"_s), path(u"stall-here.png"_s));
    QFile::copy(path(u"photo.png"_s), path(u"stall-answering.png"_s));
    QElapsedTimer clock;
    QTimer canceller;
    connect(&canceller, &QTimer::timeout, this, [&] {
        // All stuck: one with half a file written, one before it, one with its file complete (renamed:
        // its temporary file alone could still be half written).
        const QStringList files = filesIn(out.path());
        if (files.size() == 2 && files.contains(u"c.tiff"_s)) {
            clock.start();
            engine.cancelBatch();
            canceller.stop();
        }
    });
    canceller.start(20);
    const BatchResult result = runBatch(engine, {{path(u"stall-writing.png"_s), out.filePath(u"a.tiff"_s), Tiff},
                                                 {path(u"stall-here.png"_s), out.filePath(u"b.tiff"_s), Tiff},
                                                 {path(u"stall-answering.png"_s), out.filePath(u"c.tiff"_s), Tiff},
                                                 {path(u"photo.png"_s), out.filePath(u"d.tiff"_s), Tiff}});
    QVERIFY(result.done);
    QVERIFY2(clock.elapsed() < 2'000, qPrintable(QString::number(clock.elapsed())));
    // A picture whose file was complete counts as written.
    QCOMPARE(result.errors, (QStringList{u"已取消"_s, u"已取消"_s, QString(), u"not run"_s}));
    QCOMPARE(filesIn(out.path()), QStringList{u"c.tiff"_s});
}

void TestConversion::workersLeaveNoCaches()
{
    // Little memory and disk for pixels: a 2000 x 1500 picture goes through a disk cache, a 3000 x 3000
    // one is too large for it.
    WorkerEngine::Options options = testEngineOptions();
    options.poolSize = 1;
    options.pixelMemory = qint64(16) << 20;
    options.aloneMemory = options.pixelMemory;
    options.pixelDisk = qint64(64) << 20;
    WorkerEngine engine(options);
    TestPictures::save(TestPictures::photo(3000, 3000), path(u"large.png"_s), "PNG");
    TestPictures::save(TestPictures::photo(2000, 1500), path(u"medium.png"_s), "PNG");
    QStringList folders;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        for (const QString& folder : engine.workerFolders()) {
            if (!folders.contains(folder))
                folders.append(folder);
        }
    });
    watch.start(5);
    const BatchResult result = runBatch(engine, {{path(u"large.png"_s), path(u"out/large.gif"_s), Gif},
                                                 {path(u"medium.png"_s), path(u"out/medium.gif"_s), Gif},
                                                 {path(u"large.png"_s), path(u"out/large2.gif"_s), Gif},
                                                 {path(u"medium.png"_s), path(u"out/medium2.gif"_s), Gif}});
    QCOMPARE(result.errors, (QStringList{u"图片太大"_s, QString(), u"图片太大"_s, QString()}));
    QVERIFY(result.details[0].contains(u"cache resources exhausted"_s));
    // A worker that failed for room is replaced: each picture after a failure had a fresh one.
    QVERIFY2(folders.size() >= 3, qPrintable(folders.join(u' ')));
    for (const QString& folder : folders)
        QTRY_VERIFY2(!QFileInfo::exists(folder), qPrintable(folder));
}

void TestConversion::longPaths()
{
    QTemporaryDir base;
    DeepFolder deep(base.path(), 5000);
    QVERIFY(deep.isValid());
    QVERIFY(QFile::encodeName(deep.path()).size() > 5000);
    deep.write(u"p.png"_s, TestPictures::bytesOf(path(u"photo.png"_s)));
    deep.own(u"p.bmp"_s);
    WorkerEngine engine(testEngineOptions());
    const BatchResult result = runBatch(engine, {{deep.path() + u"/p.png"_s, deep.path() + u"/p.bmp"_s, Bmp},
                                                 {deep.path() + u"/gone.png"_s, path(u"out/gone.bmp"_s), Bmp}});
    QCOMPARE(result.errors, (QStringList{QString(), u"文件不存在"_s}));
    QVERIFY(deep.read(u"p.bmp"_s).startsWith("BM"));
}

QTEST_MAIN(TestConversion)
#include "tst_conversion.moc"
