// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/TestEngine.h"
#include "tests/support/TestPictures.h"

#include "client/OutputFolder.h"
#include "ipc/SourceChannel.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
// The number of a process that has ended and been reaped; 0 when none could be made.
pid_t aDeadPid()
{
    const pid_t pid = ::fork();
    if (pid == 0)
        ::_exit(0);
    return pid > 0 && ::waitpid(pid, nullptr, 0) == pid ? pid : 0;
}

const QSize box(417, 413);

PreviewResult previewOf(PictureEngine& engine, const QString& path, QSize size = box)
{
    std::optional<PreviewResult> answer;
    engine.preview(path, size, [&](const PreviewResult& result) { answer = result; });
    QElapsedTimer clock;
    clock.start();
    while (!answer && clock.elapsed() < 60'000)
        QTest::qWait(5);
    return answer.value_or(PreviewResult{{}, u"no answer"_s});
}

bool near(QColor a, QColor b, int tolerance)
{
    return std::abs(a.red() - b.red()) <= tolerance && std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance;
}

// The tests' worker on its own, fed frames the engine would never send.
class RawWorker {
public:
    // The worker is handed output, a folder's descriptor, as the engine hands it a batch's folder.
    explicit RawWorker(const QString& folder, int output = -1)
    {
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.setWorkingDirectory(folder);
        int sources[2] = {-1, -1};
        QVERIFY(SourceChannel::makePair(sources));
        m_sources = sources[0];
        const int workerEnd = sources[1];
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(u"KALVORIN_SOURCES"_s, QString::number(workerEnd));
        if (output >= 0)
            environment.insert(u"KALVORIN_OUTPUT_FOLDERS"_s, QString::number(output));
        m_process.setProcessEnvironment(environment);
        m_process.setChildProcessModifier([output, workerEnd] {
            if (output >= 0)
                ::fcntl(output, F_SETFD, 0);
            ::fcntl(workerEnd, F_SETFD, 0);
        });
        m_process.start(testEngineOptions().workerPath, {});
        ::close(workerEnd);
    }
    ~RawWorker()
    {
        // A worker whose pipe closes ends on its own.
        m_process.closeWriteChannel();
        m_process.waitForFinished(10'000);
        ::close(m_sources);
    }
    // The answer to payload, which comes with the picture at source (none when empty), without its
    // kind; signs of life are passed over, and a conversion that measured its picture may go on. Empty
    // when the worker broke off.
    QByteArray answer(const QByteArray& payload, const QString& source = {})
    {
        const int file = source.isEmpty() ? -1 : ::open(QFile::encodeName(source).constData(), O_RDONLY | O_CLOEXEC);
        SourceChannel::send(m_sources, file, ENOENT);
        if (file >= 0)
            ::close(file);
        m_process.write(Protocol::frame(payload));
        for (;;) {
            const std::optional<QByteArray> frame = Protocol::takeFrame(m_buffer, Protocol::maxReplyFrame);
            if (!frame) {
                if (!m_process.waitForReadyRead(60'000))
                    return {};
                m_buffer += m_process.readAllStandardOutput();
                continue;
            }
            const std::optional<Protocol::ReplyFrame> reply = Protocol::decodeReply(*frame);
            if (!reply)
                return {};
            if (reply->kind == Protocol::Reply::Measured)
                m_process.write(Protocol::frame(Protocol::encodeProceed(0)));
            if (reply->kind == Protocol::Reply::Answer)
                return reply->answer;
        }
    }

private:
    QProcess m_process;
    QByteArray m_buffer;
    int m_sources = -1;
};

// Every file and folder under path, relative to it.
QStringList everythingIn(const QString& path)
{
    QStringList found;
    QDirIterator it(path, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext())
        found.append(QDir(path).relativeFilePath(it.next()));
    found.sort();
    return found;
}

// Which of red, green and blue a colour has most of.
int strongest(QColor colour)
{
    const int channels[] = {colour.red(), colour.green(), colour.blue()};
    return int(std::max_element(std::begin(channels), std::end(channels)) - std::begin(channels));
}
} // namespace

class TestEngine : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void loadsEveryFormat_data();
    void loadsEveryFormat();
    void specialPictures();
    void largePictureFitsTheBox();
    void refusals_data();
    void refusals();
    void emptyPathGivesEmptyPicture();
    void awkwardNames_data();
    void awkwardNames();
    void namesThatAreNotUtf8();
    void killedWorkerFailsOnlyItsRequest();
    void brokenPreviewWorkerIsReplaced();
    void overrunIsStopped();
    void staleWorkerFoldersGo();
    void refusedRequestsWriteNothing_data();
    void refusedRequestsWriteNothing();
    void workersGetALittleEnvironment();
    void unsafeJobsAreNotSent_data();
    void unsafeJobsAreNotSent();
    void workerGoneWrong_data();
    void workerGoneWrong();
    void progressWithinAPicture_data();
    void progressWithinAPicture();
    void limitsSaturate_data();
    void limitsSaturate();
    void workerOfAnotherBuildIsRefused();
    void memoryOfAPictureAlone_data();
    void memoryOfAPictureAlone();
    void failureToStartIsHeardLater_data();
    void failureToStartIsHeardLater();
    void missingTemporaryFolderIsNotTheCurrentOne();

private:
    QTemporaryDir m_dir;
    QString path(const QString& name) const { return m_dir.filePath(name); }
};

void TestEngine::initTestCase()
{
    QVERIFY(m_dir.isValid());
    TestPictures::initialise();
    const Magick::Image picture = TestPictures::halves(64, 48, "red", "blue");
    const std::list<std::pair<QString, std::string>> formats{
        {u"p.jpg"_s, "JPEG"}, {u"p.bmp"_s, "BMP"},   {u"p.gif"_s, "GIF"},   {u"p.pcx"_s, "PCX"}, {u"p.png"_s, "PNG"},
        {u"p.ico"_s, "ICO"},  {u"p.tiff"_s, "TIFF"}, {u"p.webp"_s, "WEBP"}, {u"p.tga"_s, "TGA"}, {u"p.ppm"_s, "PPM"},
    };
    for (const auto& [name, coder] : formats)
        TestPictures::save(picture, path(name), coder);
}

void TestEngine::loadsEveryFormat_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("tolerance");
    for (const auto& [name, tolerance] : std::list<std::pair<QString, int>>{{u"p.jpg"_s, 40},
                                                                            {u"p.bmp"_s, 0},
                                                                            {u"p.gif"_s, 0},
                                                                            {u"p.pcx"_s, 0},
                                                                            {u"p.png"_s, 0},
                                                                            {u"p.ico"_s, 0},
                                                                            {u"p.tiff"_s, 0},
                                                                            {u"p.webp"_s, 40},
                                                                            {u"p.tga"_s, 0},
                                                                            {u"p.ppm"_s, 0}})
        QTest::newRow(qPrintable(name)) << name << tolerance;
}

void TestEngine::loadsEveryFormat()
{
    QFETCH(QString, name);
    QFETCH(int, tolerance);
    WorkerEngine engine(testEngineOptions());
    const PreviewResult result = previewOf(engine, path(name));
    QCOMPARE(result.error, QString());
    // Small pictures are shown at their own size, never enlarged.
    QCOMPARE(result.image.size(), QSize(64, 48));
    QVERIFY(near(result.image.pixelColor(8, 24), Qt::red, tolerance));
    QVERIFY(near(result.image.pixelColor(56, 24), Qt::blue, tolerance));
}

void TestEngine::specialPictures()
{
    WorkerEngine engine(testEngineOptions());

    Magick::Image deep = TestPictures::halves(64, 48, "red", "blue");
    deep.depth(16);
    TestPictures::save(deep, path(u"deep.png"_s), "PNG");
    PreviewResult result = previewOf(engine, path(u"deep.png"_s));
    QCOMPARE(result.error, QString());
    QVERIFY(near(result.image.pixelColor(8, 24), Qt::red, 0));

    Magick::Image cmyk = TestPictures::halves(64, 48, "red", "blue");
    cmyk.colorSpace(MagickCore::CMYKColorspace);
    TestPictures::save(cmyk, path(u"cmyk.jpg"_s), "JPEG");
    QCOMPARE(TestPictures::load(path(u"cmyk.jpg"_s)).front().colorSpace(), MagickCore::CMYKColorspace);
    result = previewOf(engine, path(u"cmyk.jpg"_s));
    QCOMPARE(result.error, QString());
    // Shown through a press profile, as printed ink looks: red and blue, not their screen colours.
    QCOMPARE(strongest(result.image.pixelColor(8, 24)), 0);
    QCOMPARE(strongest(result.image.pixelColor(56, 24)), 2);

    // Stored sideways with a note to turn it: red on the left becomes red on top.
    TestPictures::save(TestPictures::halves(60, 40, "red", "blue"), path(u"plain.jpg"_s), "JPEG");
    TestPictures::saveBytes(path(u"turned.jpg"_s),
                            TestPictures::withExifRotation(TestPictures::bytesOf(path(u"plain.jpg"_s))));
    result = previewOf(engine, path(u"turned.jpg"_s));
    QCOMPARE(result.error, QString());
    QCOMPARE(result.image.size(), QSize(40, 60));
    QVERIFY(near(result.image.pixelColor(20, 8), Qt::red, 40));
    QVERIFY(near(result.image.pixelColor(20, 52), Qt::blue, 40));

    Magick::Image palette = TestPictures::framedByTransparency(32, 8, "green");
    TestPictures::save(palette, path(u"palette.png"_s), "PNG8");
    result = previewOf(engine, path(u"palette.png"_s));
    QCOMPARE(result.error, QString());
    QCOMPARE(result.image.pixelColor(2, 2).alpha(), 0);
    QCOMPARE(result.image.pixelColor(16, 16).alpha(), 255);
    QVERIFY(near(result.image.pixelColor(16, 16), QColor(0, 128, 0), 2));
}

void TestEngine::largePictureFitsTheBox()
{
    WorkerEngine engine(testEngineOptions());
    TestPictures::save(TestPictures::photo(2000, 1000), path(u"wide.jpg"_s), "JPEG");
    const PreviewResult result = previewOf(engine, path(u"wide.jpg"_s));
    QCOMPARE(result.error, QString());
    QCOMPARE(result.image.size(), QSize(417, 209));
}

void TestEngine::refusals_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("reason");
    QByteArray random(5000, '\0');
    for (qsizetype i = 0; i < random.size(); ++i)
        random[i] = char((i * 7919 + 13) % 251);
    TestPictures::save(TestPictures::photo(300, 200), QDir::temp().filePath(u"kalvorin-whole.jpg"_s), "JPEG");
    const QByteArray whole = TestPictures::bytesOf(QDir::temp().filePath(u"kalvorin-whole.jpg"_s));
    QFile::remove(QDir::temp().filePath(u"kalvorin-whole.jpg"_s));

    QTest::newRow("empty file") << u"empty.png"_s << QByteArray() << u"不是图片或格式不支持"_s;
    QTest::newRow("random bytes") << u"noise.png"_s << random << u"不是图片或格式不支持"_s;
    QTest::newRow("truncated jpeg") << u"cut.jpg"_s << whole.left(whole.size() / 2) << u"图片已损坏"_s;
    QTest::newRow("svg") << u"drawing.svg"_s
                         << QByteArray("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"10\" height=\"10\"/>")
                         << u"不是图片或格式不支持"_s;
    QTest::newRow("svg named png") << u"drawing.png"_s << QByteArray("<?xml version=\"1.0\"?><svg/>")
                                   << u"不是图片或格式不支持"_s;
    QTest::newRow("text named gif") << u"notes.gif"_s << QByteArray("just some words\n") << u"不是图片或格式不支持"_s;
    QTest::newRow("postscript") << u"page.jpg"_s << QByteArray("%!PS-Adobe-3.0\n") << u"不是图片或格式不支持"_s;
    // A TGA has no signature: its header has to describe a picture.
    QTest::newRow("text named tga") << u"notes.tga"_s << QByteArray("just some words, more than a header's worth\n")
                                    << u"不是图片或格式不支持"_s;
    QTest::newRow("random bytes named tga") << u"noise.tga"_s << random << u"不是图片或格式不支持"_s;
    QByteArray tga = TestPictures::bytesOf(path(u"p.tga"_s));
    QTest::newRow("tga cut short") << u"cut.tga"_s << tga.left(tga.size() / 2) << u"图片已损坏"_s;
    tga[2] = 4;
    QTest::newRow("tga of no known kind") << u"kind.tga"_s << tga << u"不是图片或格式不支持"_s;
    QTest::newRow("wider than 65535") << u"wide.png"_s << TestPictures::pngOfSize(70000, 2) << u"图片太大"_s;
    QTest::newRow("decompression bomb") << u"bomb.png"_s << TestPictures::pngOfSize(60000, 60000) << u"图片太大"_s;
}

void TestEngine::refusals()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, reason);
    TestPictures::saveBytes(path(name), bytes);
    WorkerEngine engine(testEngineOptions());
    const PreviewResult result = previewOf(engine, path(name));
    QCOMPARE(result.error, reason);
    QVERIFY(result.image.isNull());
    // The worker is still there for the next picture.
    QCOMPARE(previewOf(engine, path(u"p.png"_s)).error, QString());
}

void TestEngine::workerOfAnotherBuildIsRefused()
{
    WorkerEngine::Options options = testEngineOptions();
    options.environment.insert(u"KALVORIN_TEST_PROTOCOL_VERSION"_s, u"999"_s);
    options.poolSize = 1;
    WorkerEngine engine(options);
    const QString reason = u"图片处理程序版本不符"_s;
    QCOMPARE(previewOf(engine, path(u"p.png"_s)).error, reason);
    QTemporaryDir out;
    const BatchResult result = runBatch(engine, {{path(u"p.png"_s), out.filePath(u"a.bmp"_s), OutputFormat::Bmp},
                                                 {path(u"p.png"_s), out.filePath(u"b.bmp"_s), OutputFormat::Bmp}});
    QCOMPARE(result.errors, (QStringList{reason, reason}));
    // Once refused, no worker is started again for each picture; and none of them wrote anything.
    QVERIFY(engine.workerProcessIds().isEmpty());
    QCOMPARE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden), QStringList{});
}

void TestEngine::emptyPathGivesEmptyPicture()
{
    WorkerEngine engine(testEngineOptions());
    const PreviewResult result = previewOf(engine, QString());
    QVERIFY(result.image.isNull());
    QVERIFY(result.error.isEmpty());
    QCOMPARE(previewOf(engine, path(u"nothing-here.png"_s)).error, u"文件不存在"_s);
    QCOMPARE(previewOf(engine, m_dir.path()).error, u"无法读取"_s);

    WorkerEngine::Options nowhere = testEngineOptions();
    nowhere.workerPath = m_dir.filePath(u"no-such-worker"_s);
    WorkerEngine lost(nowhere);
    QCOMPARE(previewOf(lost, path(u"p.png"_s)).error, u"无法启动图片处理程序"_s);
}

void TestEngine::awkwardNames_data()
{
    QTest::addColumn<QString>("name");
    for (const QString& name : {u"with space.png"_s, u"海边 照片.jpg"_s, u"a[1].jpg"_s, u"x:y.png"_s, u"@list.png"_s,
                                u"png:odd.gif"_s, u"%d.bmp"_s})
        QTest::newRow(qPrintable(name)) << name;
}

void TestEngine::awkwardNames()
{
    QFETCH(QString, name);
    QFile::copy(path(u"p.png"_s), path(name));
    WorkerEngine engine(testEngineOptions());
    const PreviewResult result = previewOf(engine, path(name));
    QCOMPARE(result.error, QString());
    QCOMPARE(result.image.size(), QSize(64, 48));
}

// Qt shows each byte of a name that is not UTF-8 as U+FFFD, and that name encodes to other bytes: a
// file listed by the open dialog was reported missing.
void TestEngine::namesThatAreNotUtf8()
{
    const QByteArray folder = QFile::encodeName(m_dir.path()) + "/\xfe\xfdold";
    QCOMPARE(::mkdir(folder.constData(), 0700), 0);
    const QByteArray source = folder + "/\xff\xfe.png";
    const QByteArray png = TestPictures::bytesOf(path(u"p.png"_s));
    const int file = ::open(source.constData(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    QVERIFY(file >= 0);
    QCOMPARE(::write(file, png.constData(), size_t(png.size())), ssize_t(png.size()));
    ::close(file);
    const QString shown = QFile::decodeName(source);
    QVERIFY(shown.contains(QChar::ReplacementCharacter));

    WorkerEngine engine(testEngineOptions());
    const PreviewResult result = previewOf(engine, shown);
    QCOMPARE(result.error, QString());
    QCOMPARE(result.image.size(), QSize(64, 48));
    QTemporaryDir out;
    const QString target = out.filePath(QFileInfo(shown).completeBaseName() + u".bmp"_s);
    const BatchResult batch = runBatch(engine, {{shown, target, OutputFormat::Bmp}});
    QCOMPARE(batch.errors, QStringList{QString()});
    QVERIFY(TestPictures::bytesOf(target).startsWith("BM"));
    // Two names that Qt shows alike are not guessed between.
    QCOMPARE(::link(source.constData(), (folder + "/\xff\xfd.png").constData()), 0);
    QCOMPARE(previewOf(engine, shown).error, u"文件不存在"_s);
}

void TestEngine::killedWorkerFailsOnlyItsRequest()
{
    WorkerEngine::Options stalling = testEngineOptions();
    WorkerEngine engine(stalling);
    QFile::copy(path(u"p.png"_s), path(u"stall-here.png"_s));

    std::optional<PreviewResult> answer;
    engine.preview(path(u"stall-here.png"_s), box, [&](const PreviewResult& result) { answer = result; });
    QTRY_COMPARE(engine.workerProcessIds().size(), 1);
    QTest::qWait(300);
    QVERIFY(!answer);
    ::kill(pid_t(engine.workerProcessIds().first()), SIGKILL);
    QTRY_VERIFY(answer.has_value());
    QCOMPARE(answer->error, u"处理图片时出错"_s);
    QCOMPARE(previewOf(engine, path(u"p.gif"_s)).error, QString());
}

void TestEngine::brokenPreviewWorkerIsReplaced()
{
    WorkerEngine engine(testEngineOptions());
    QFile::copy(path(u"p.png"_s), path(u"answer-bad-status.png"_s));
    QCOMPARE(previewOf(engine, path(u"answer-bad-status.png"_s)).error, u"图片处理程序通信出错"_s);
    // Its stream can no longer be trusted: it goes, and the next preview starts a fresh one.
    QVERIFY(engine.workerProcessIds().isEmpty());
    QCOMPARE(previewOf(engine, path(u"p.png"_s)).error, QString());
}

void TestEngine::overrunIsStopped()
{
    WorkerEngine::Options stalling = testEngineOptions();
    stalling.previewLimits.idleMs = 1000;
    WorkerEngine engine(stalling);
    QFile::copy(path(u"p.png"_s), path(u"stall-here.png"_s));
    QCOMPARE(previewOf(engine, path(u"stall-here.png"_s)).error, u"处理超时"_s);
    QCOMPARE(previewOf(engine, path(u"p.bmp"_s)).error, QString());
}

void TestEngine::staleWorkerFoldersGo()
{
    QTemporaryDir temporary;
    const pid_t deadPid = aDeadPid();
    QVERIFY(deadPid > 0);
    QDir dir(temporary.path());
    // A dead program's folder goes with what is in it; a living one's, a file and a stranger stay.
    const QString dead = u"kalvorin-%1-Ab3dE9"_s.arg(deadPid);
    const QString living = u"kalvorin-%1-Zz9yY8"_s.arg(::getppid());
    QVERIFY(dir.mkpath(dead + u"/inner"_s) && dir.mkpath(living) && dir.mkpath(u"kalvorin-photos-2024"_s));
    TestPictures::saveBytes(dir.filePath(dead + u"/magick-1234"_s), "cache");
    TestPictures::saveBytes(dir.filePath(u"kalvorin-%1-Qq1wW2"_s.arg(deadPid)), "a file");
    WorkerEngine::removeStaleWorkerFolders(temporary.path());
    QStringList kept{u"kalvorin-%1-Qq1wW2"_s.arg(deadPid), living, u"kalvorin-photos-2024"_s};
    kept.sort();
    QCOMPARE(dir.entryList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name), kept);
}

// A picture too large to share the machine gets what the machine has free when it starts, never more
// than half of it, whatever it was promised at start-up.
void TestEngine::memoryOfAPictureAlone_data()
{
    QTest::addColumn<qint64>("available");
    QTest::addColumn<qint64>("ceiling");
    QTest::addColumn<qint64>("given");
    constexpr qint64 gib = qint64(1) << 30;
    QTest::newRow("plenty free") << 40 * gib << 12 * gib << 12 * gib;
    QTest::newRow("others hold most") << 6 * gib << 12 * gib << 3 * gib;
    QTest::newRow("almost nothing free") << 10 * (qint64(1) << 20) << 12 * gib << 64 * (qint64(1) << 20);
    QTest::newRow("unknown") << qint64(0) << 12 * gib << 12 * gib;
}

void TestEngine::memoryOfAPictureAlone()
{
    QFETCH(qint64, available);
    QFETCH(qint64, ceiling);
    QFETCH(qint64, given);
    QCOMPARE(WorkerEngine::aloneMemoryWhenFree(available, ceiling), given);
    // And the machine's own answer is one it can have.
    QVERIFY(WorkerEngine::availableMemory() > 0);
}

// Requests the engine never sends, straight to the worker: each is refused before anything is read or
// written, and nothing appears inside the folder or outside it. "%1" is the test's folder, which holds
// p.png and out/ with a folder a/ in it; the worker runs there.
void TestEngine::refusedRequestsWriteNothing_data()
{
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("value");
    const QString nul(QChar(0));
    for (const QString& name : {u"../x.bmp"_s, u"a/x.bmp"_s, QString(), u"."_s, u".."_s, u"x.bmp"_s + nul + u"/../y"_s})
        QTest::addRow("final name %s", qPrintable(name)) << u"final"_s << name;
    QTest::newRow("temporary name ../t.part") << u"temporary"_s << u"../t.part"_s;
    QTest::newRow("temporary name a/t.part") << u"temporary"_s << u"a/t.part"_s;
    QTest::newRow("no folder") << u"folder"_s << u"-1"_s;
    QTest::newRow("the worker's stdin") << u"folder"_s << u"0"_s;
    QTest::newRow("a folder not handed") << u"folder"_s << u"1000"_s;
    QTest::newRow("source with NUL") << u"source"_s << u"%1/p.png"_s + nul + u".txt"_s;
    QTest::newRow("relative source") << u"source"_s << u"p.png"_s;
    QTest::newRow("empty box") << u"box"_s << u"0"_s;
    QTest::newRow("huge box") << u"box"_s << u"65535"_s;
    QTest::newRow("relative preview") << u"preview"_s << u"p.png"_s;
}

void TestEngine::refusedRequestsWriteNothing()
{
    QFETCH(QString, field);
    QFETCH(QString, value);
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath(u"out/a"_s));
    QVERIFY(QFile::copy(path(u"p.png"_s), root.filePath(u"p.png"_s)));
    const QStringList before = everythingIn(root.path());
    const QString given = value.contains(u"%1"_s) ? value.arg(root.path()) : value;
    RawWorker worker(root.path());
    if (field == u"box"_s || field == u"preview"_s) {
        const int side = field == u"box"_s ? given.toInt() : 100;
        const QString picture = field == u"preview"_s ? given : root.filePath(u"p.png"_s);
        const std::optional<Protocol::PreviewAnswer> answer =
            Protocol::decodePreviewAnswer(worker.answer(Protocol::encode({picture, QSize(side, side)}), picture));
        QVERIFY(answer);
        QCOMPARE(answer->status, Protocol::Status::ProtocolError);
        return;
    }
    const std::shared_ptr<const OutputFolder> out = OutputFolder::open(root.filePath(u"out"_s));
    QVERIFY(out);
    RawWorker handed(root.path(), out->descriptor());
    const Protocol::ConvertRequest plain{root.filePath(u"p.png"_s), out->descriptor(), u"x.bmp"_s,
                                         u".x.bmp.part"_s,          OutputFormat::Bmp, false};
    Protocol::ConvertRequest request = plain;
    if (field == u"folder"_s) {
        // A descriptor the worker was not handed: one of its own, or none.
        request.folder = given.toInt();
    } else {
        QString* const fields[] = {&request.finalName, &request.temporaryName, &request.source};
        const QStringList names{u"final"_s, u"temporary"_s, u"source"_s};
        *fields[names.indexOf(field)] = given;
    }
    const std::optional<Protocol::ConvertAnswer> answer =
        Protocol::decodeConvertAnswer(handed.answer(Protocol::encode(request), plain.source));
    QVERIFY(answer);
    QCOMPARE(answer->status, Protocol::Status::ProtocolError);
    QCOMPARE(everythingIn(root.path()), before);
    // And the same worker still does what it is asked properly.
    QCOMPARE(Protocol::decodeConvertAnswer(handed.answer(Protocol::encode(plain), plain.source))->status,
             Protocol::Status::Ok);
    QVERIFY(QFile::exists(root.filePath(u"out/x.bmp"_s)));
}

// A worker sees nothing of the user's locale, home or desktop, nor ImageMagick settings of theirs.
void TestEngine::workersGetALittleEnvironment()
{
    QProcessEnvironment user;
    const QStringList userOnly{u"LC_ALL"_s,
                               u"LANG"_s,
                               u"HOME"_s,
                               u"DISPLAY"_s,
                               u"XDG_CONFIG_HOME"_s,
                               u"MAGICK_THREAD_LIMIT"_s,
                               u"MAGICK_CONFIGURE_PATH"_s};
    for (const QString& name : userOnly)
        user.insert(name, u"de_DE.UTF-8"_s);
    user.insert(u"PATH"_s, u"/usr/bin:/bin"_s);
    WorkerEngine::Options options = testEngineOptions();
    options.environment = WorkerEngine::workerEnvironment(user);
    WorkerEngine engine(options);
    QVERIFY(previewOf(engine, path(u"p.png"_s)).error.isEmpty());
    QCOMPARE(engine.workerProcessIds().size(), 1);
    QFile environ(u"/proc/%1/environ"_s.arg(engine.workerProcessIds().front()));
    QVERIFY(environ.open(QIODevice::ReadOnly));
    QMap<QString, QString> seen;
    for (const QByteArray& entry : environ.readAll().split('\0')) {
        if (!entry.isEmpty())
            seen.insert(QString::fromLocal8Bit(entry.left(entry.indexOf('='))),
                        QString::fromLocal8Bit(entry.mid(entry.indexOf('=') + 1)));
    }
    QCOMPARE(seen.value(u"PATH"_s), u"/usr/bin:/bin"_s);
    for (const QString& name : userOnly)
        QVERIFY2(!seen.value(name).contains(u"de_DE"_s), qPrintable(name));
}

// Jobs the engine never hands to a worker: a NUL would cut a path short, and the file written would be
// another than planned.
void TestEngine::unsafeJobsAreNotSent_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("reason");
    const QString nul(QChar(0));
    QTest::newRow("source with NUL") << u"p.png"_s + nul + u"x"_s << u"x.bmp"_s << u"无法读取"_s;
    QTest::newRow("target with NUL") << u"p.png"_s << u"x.bmp"_s + nul + u"/../y.bmp"_s << u"无法写入"_s;
    QTest::newRow("folder with NUL") << u"p.png"_s << u"sub"_s + nul + u"/x.bmp"_s << u"无法写入"_s;
}

void TestEngine::unsafeJobsAreNotSent()
{
    QFETCH(QString, source);
    QFETCH(QString, target);
    QFETCH(QString, reason);
    QTemporaryDir out;
    WorkerEngine engine(testEngineOptions());
    const BatchResult result = runBatch(engine, {{path(source), out.filePath(target), OutputFormat::Bmp}});
    QCOMPARE(result.errors, QStringList{reason});
    QCOMPARE(everythingIn(out.path()), QStringList());
    if (source.contains(QChar(0)))
        QCOMPARE(previewOf(engine, path(source)).error, reason);
}

// A worker that says what it must not: the job fails, nothing is reported written that was not, and
// the next job on a fresh worker converts.
void TestEngine::workerGoneWrong_data()
{
    QTest::addColumn<QString>("marker");
    QTest::addColumn<bool>("existing");
    QTest::addColumn<QString>("reason");
    const QString broken = u"图片处理程序通信出错"_s;
    QTest::newRow("status 200") << u"answer-bad-status"_s << false << broken;
    QTest::newRow("ok without writing") << u"answer-ok-without-writing"_s << false << broken;
    QTest::newRow("ok without replacing") << u"answer-ok-without-writing"_s << true << broken;
    QTest::newRow("progress 2^53 and INT64_MAX") << u"huge-progress"_s << false << QString();
    QTest::newRow("negative progress") << u"negative-progress"_s << false << broken;
    QTest::newRow("more than done") << u"overdone-progress"_s << false << broken;
    QTest::newRow("oversize frame") << u"oversize-frame"_s << false << broken;
}

void TestEngine::workerGoneWrong()
{
    QFETCH(QString, marker);
    QFETCH(bool, existing);
    QFETCH(QString, reason);
    QTemporaryDir out;
    const QString source = path(marker + u".png"_s);
    QFile::copy(path(u"p.png"_s), source);
    if (existing)
        TestPictures::saveBytes(out.filePath(u"x.bmp"_s), "old");
    WorkerEngine::Options options = testEngineOptions();
    options.poolSize = 1;
    // Only so that a worker left waiting fails in seconds rather than a minute.
    options.convertLimits.idleMs = 10'000;
    WorkerEngine engine(options);
    const BatchResult result = runBatch(engine, {{source, out.filePath(u"x.bmp"_s), OutputFormat::Bmp},
                                                 {path(u"p.png"_s), out.filePath(u"y.bmp"_s), OutputFormat::Bmp}});
    QVERIFY(result.done);
    QCOMPARE(result.errors, (QStringList{reason, QString()}));
    QStringList files{u"y.bmp"_s};
    if (existing || reason.isEmpty())
        files.prepend(u"x.bmp"_s);
    QCOMPARE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden, QDir::Name), files);
    if (existing)
        QCOMPARE(TestPictures::bytesOf(out.filePath(u"x.bmp"_s)), "old"_ba);
    else if (reason.isEmpty())
        QVERIFY(TestPictures::bytesOf(out.filePath(u"x.bmp"_s)).startsWith("BM"));
}

// Pixel counts come from the worker: whatever it says, a time limit stays between the base and the
// longest a timer holds, and the memory a picture needs never wraps to a small size.
void TestEngine::limitsSaturate_data()
{
    QTest::addColumn<qint64>("pixels");
    QTest::addColumn<int>("ms");
    QTest::addColumn<qint64>("memory");
    constexpr int most = std::numeric_limits<int>::max();
    const qint64 mostMemory = Protocol::maxPixels * 20;
    QTest::newRow("none") << qint64(0) << 60'000 << qint64(0);
    QTest::newRow("a megapixel") << qint64(1'000'000) << 62'500 << qint64(20'000'000);
    QTest::newRow("12.3 megapixels") << qint64(12'345'678) << 90'864 << qint64(246'913'560);
    QTest::newRow("negative") << qint64(-1) << 60'000 << qint64(0);
    QTest::newRow("INT64_MIN") << std::numeric_limits<qint64>::min() << 60'000 << qint64(0);
    QTest::newRow("2^53") << (qint64(1) << 53) << most << mostMemory;
    QTest::newRow("INT64_MAX") << std::numeric_limits<qint64>::max() << most << mostMemory;
}

void TestEngine::limitsSaturate()
{
    QFETCH(qint64, pixels);
    QFETCH(int, ms);
    QFETCH(qint64, memory);
    QCOMPARE(TimeLimits{}.overallMs(pixels), ms);
    QCOMPARE(WorkerEngine::memoryFor(pixels), memory);
}

// A photo's conversion tells how far it has got: fractions that only grow, up to the whole picture
// where the encoder's own rows are counted too.
void TestEngine::progressWithinAPicture_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("toTheEnd");
    QTest::newRow("TIFF") << int(OutputFormat::Tiff) << true;
    QTest::newRow("BMP") << int(OutputFormat::Bmp) << true;
    QTest::newRow("PNG") << int(OutputFormat::Png) << false;
    QTest::newRow("GIF") << int(OutputFormat::Gif) << false;
    QTest::newRow("JPEG") << int(OutputFormat::Jpg) << true;
}

void TestEngine::progressWithinAPicture()
{
    QFETCH(int, format);
    QFETCH(bool, toTheEnd);
    const QString source = path(u"every-step photo.jpg"_s);
    if (!QFileInfo::exists(source))
        TestPictures::save(TestPictures::photo(1600, 1200), source, "JPEG");
    QTemporaryDir out;
    const QString target = out.filePath(u"x"_s + OutputFormat::extension(OutputFormat::Index(format)));
    WorkerEngine engine(testEngineOptions());
    QList<double> fractions;
    QStringList errors{u"not run"_s};
    bool done = false;
    BatchCallbacks callbacks;
    callbacks.progress = [&](int index, double fraction) {
        QCOMPARE(index, 0);
        fractions.append(fraction);
    };
    callbacks.finished = [&](int, const JobOutcome& outcome) { errors[0] = outcome.reason; };
    callbacks.done = [&] { done = true; };
    engine.convertBatch({{source, target, OutputFormat::Index(format)}}, callbacks);
    QTRY_VERIFY_WITH_TIMEOUT(done, 120'000);
    QCOMPARE(errors, QStringList{QString()});
    QVERIFY2(fractions.size() > 10, qPrintable(QString::number(fractions.size())));
    for (qsizetype i = 0; i < fractions.size(); ++i) {
        QVERIFY2(fractions[i] > 0 && fractions[i] <= 1, qPrintable(QString::number(fractions[i])));
        if (i > 0)
            QVERIFY2(fractions[i] > fractions[i - 1], qPrintable(QString::number(i)));
    }
    QCOMPARE(fractions.last() == 1.0, toTheEnd);
}

// A worker that cannot start fails its request from the event loop, never inside send(): the engine
// answers a failure by sending the next job, which nested one call deeper for every picture and left
// the outer send() carrying on with the next job's state.
void TestEngine::failureToStartIsHeardLater_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QString>("temporaryFolder");
    QTest::newRow("no such program") << m_dir.filePath(u"no-such-worker"_s) << QString();
    // A folder nobody may create anything in, root included (a TMPDIR that does not exist is no test:
    // Qt then makes the folder in the current one).
    QTest::newRow("no private folder") << testEngineOptions().workerPath << u"/proc"_s;
}

void TestEngine::failureToStartIsHeardLater()
{
    QFETCH(QString, program);
    QFETCH(QString, temporaryFolder);
    WorkerProcess process(program, testEngineOptions().environment);
    const QByteArray systemTemporary = qgetenv("TMPDIR");
    if (!temporaryFolder.isEmpty())
        qputenv("TMPDIR", QFile::encodeName(temporaryFolder));
    bool returned = false;
    bool heardInside = false;
    std::optional<Protocol::Status> heard;
    process.send(Protocol::encode(Protocol::PreviewRequest{path(u"p.png"_s), QSize(8, 8)}), path(u"p.png"_s),
                 TimeLimits{}, [&](Protocol::Status status, const QByteArray&) {
                     heardInside = !returned;
                     heard = status;
                 });
    returned = true;
    if (systemTemporary.isNull())
        qunsetenv("TMPDIR");
    else
        qputenv("TMPDIR", systemTemporary);
    QTRY_VERIFY(heard.has_value());
    QVERIFY(!heardInside);
    QCOMPARE(*heard, Protocol::Status::NoWorker);
    QVERIFY(!process.isBusy());
}

// A TMPDIR that does not exist (a session set up for another machine) once put each worker's folder
// in the current one, and the sweep of stale folders looked there too.
void TestEngine::missingTemporaryFolderIsNotTheCurrentOne()
{
    QTemporaryDir current;
    QVERIFY(current.isValid());
    const pid_t deadPid = aDeadPid();
    QVERIFY(deadPid > 0);
    const QString users = u"kalvorin-%1-Ab3dE9"_s.arg(deadPid);
    QVERIFY(QDir(current.path()).mkdir(users));
    const QString before = QDir::currentPath();
    const QByteArray systemTemporary = qgetenv("TMPDIR");
    QVERIFY(QDir::setCurrent(current.path()));
    qputenv("TMPDIR", QFile::encodeName(m_dir.filePath(u"no-such-folder"_s)));
    const auto restore = qScopeGuard([&] {
        QDir::setCurrent(before);
        if (systemTemporary.isNull())
            qunsetenv("TMPDIR");
        else
            qputenv("TMPDIR", systemTemporary);
    });
    QCOMPARE(WorkerProcess::temporaryRoot(), u"/tmp"_s);
    WorkerEngine::removeStaleWorkerFolders();
    WorkerProcess process(testEngineOptions().workerPath, testEngineOptions().environment);
    std::optional<Protocol::Status> heard;
    process.send(Protocol::encode(Protocol::PreviewRequest{path(u"p.png"_s), QSize(8, 8)}), path(u"p.png"_s),
                 TimeLimits{}, [&](Protocol::Status status, const QByteArray&) { heard = status; });
    QTRY_VERIFY(heard.has_value());
    QCOMPARE(*heard, Protocol::Status::Ok);
    QCOMPARE(QDir(current.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{users});
}

QTEST_MAIN(TestEngine)
#include "tst_engine.moc"
