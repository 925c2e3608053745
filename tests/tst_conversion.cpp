#include "TestEngine.h"
#include "TestPictures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

using namespace Qt::StringLiterals;

namespace {
enum Format { Jpg = 0, Bmp = 1, Gif = 2, Pcx = 3, Png = 4, Ico = 5, Tiff = 6 };

struct BatchRun {
    QStringList errors;
    QList<int> started;
    bool done = false;
};

BatchRun run(PictureEngine& engine, const QList<ConvertJob>& jobs, const std::function<void(int)>& onStart = {})
{
    BatchRun result;
    result.errors = QStringList(jobs.size(), u"not run"_s);
    BatchCallbacks callbacks;
    callbacks.started = [&](int index) {
        result.started.append(index);
        if (onStart)
            onStart(index);
    };
    callbacks.finished = [&](int index, const QString& error) { result.errors[index] = error; };
    callbacks.done = [&] { result.done = true; };
    engine.convertBatch(jobs, callbacks);
    QElapsedTimer clock;
    clock.start();
    while (!result.done && clock.elapsed() < 120'000)
        QTest::qWait(5);
    return result;
}

QImage only(const QString& path)
{
    return TestPictures::toQImage(TestPictures::load(path).front());
}

bool white(const QColor& c)
{
    return c.red() > 250 && c.green() > 250 && c.blue() > 250 && c.alpha() == 255;
}
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
    const BatchRun result = run(engine, {{path(u"photo.png"_s), target, format}});
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
    QCOMPARE(run(engine, {{path(u"framed.png"_s), target, format}}).errors, QStringList{QString()});
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
    const BatchRun result = run(engine, {{path(u"turned.jpg"_s), path(u"out/turned.png"_s), Png},
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
    const BatchRun result = run(engine, {{path(u"anim.gif"_s), path(u"out/anim.gif"_s), Gif},
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
    const BatchRun result = run(engine, {{path(u"big.jpg"_s), path(u"out/big.ico"_s), Ico},
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
    const BatchRun result = run(engine, {{path(u"deep.png"_s), path(u"out/deep.png"_s), Png},
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
    const BatchRun result = run(engine, {{path(u"photo.png"_s), path(u"out/f1.png"_s), Png},
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
    const BatchRun result = run(engine, jobs);
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
    const BatchRun result = run(engine, jobs, [&](int index) {
        if (index == 1)
            engine.cancelBatch();
    });
    QVERIFY(result.done);
    QCOMPARE(result.started, (QList<int>{0, 1}));
    QCOMPARE(result.errors.mid(0, 2), (QStringList{QString(), QString()}));
    QVERIFY(QFile::exists(path(u"out/c1.bmp"_s)));
    QVERIFY(!QFile::exists(path(u"out/c2.bmp"_s)));
}

QTEST_MAIN(TestConversion)
#include "tst_conversion.moc"
