// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/BatchRun.h"
#include "app/MainWindow.h"
#include "app/PictureList.h"
#include "app/PreviewBox.h"
#include "app/ProgressWindow.h"
#include "core/Naming.h"
#include "tests/support/FakeDesktop.h"
#include "tests/support/TestEngine.h"
#include "tests/support/TestPictures.h"

#include <QDir>
#include <QElapsedTimer>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
QString nul()
{
    return QString(QChar(u'\0'));
}

struct Window {
    explicit Window(WorkerEngine::Options engineOptions = testEngineOptions())
        : engine(std::move(engineOptions))
    {
    }

    FakeDesktop desktop;
    WorkerEngine engine;
    MainWindow window{desktop, engine};

    PictureList* list() const { return window.findChild<PictureList*>(u"List1"_s); }
    QPushButton* button(const QString& name) const { return window.findChild<QPushButton*>(name); }

    void open(const QString& folder, const QStringList& names)
    {
        desktop.openAnswers.append(folder + nul() + names.join(nul()));
        QTest::mouseClick(button(u"Command7"_s), Qt::LeftButton);
    }

    /// Presses a format button and answers the folder browser with folder ("" is Cancel).
    void convert(int format, const QString& folder)
    {
        desktop.folderAnswers.append(folder);
        QTest::mouseClick(button(u"zhuanhuan_%1"_s.arg(format)), Qt::LeftButton);
    }

    /// Converts and waits for the completion message.
    const Message& convertAndWait(int format, const QString& folder)
    {
        convert(format, folder);
        return waitForMessage();
    }

    const Message& waitForMessage()
    {
        QElapsedTimer clock;
        clock.start();
        while (desktop.messages.isEmpty() && clock.elapsed() < 60'000)
            QTest::qWait(5);
        static const Message none{Message::Icon::Warning, u"no message"_s, {}, {}};
        return desktop.messages.isEmpty() ? none : desktop.messages.last();
    }
};

const QString finished = u"图片转换完毕！图片已经被输出保存路径到"_s;

QStringList filesIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
}
} // namespace

class TestWindowConvert : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cancelInTheFolderBrowser();
    void emptyList();
    void twoPicturesToPng();
    void ownSourceIsNotReplaced();
    void numberedNamesOfWrittenPicturesOnly_data();
    void numberedNamesOfWrittenPicturesOnly();
    void longChineseNames();
    void aliasesOfASource_data();
    void aliasesOfASource();
    void sameFileListedTwice_data();
    void sameFileListedTwice();
    void symlinkInTheOutputFolderIsReplacedNotFollowed();
    void replaceQuestion_data();
    void replaceQuestion();
    void missingFileInTheMiddle();
    void unwritableFolder();
    void killedWorkerMidBatch();
    void cancelMidBatch();
    void escapeCancels_data();
    void escapeCancels();
    void progressWindowIsADialogOverTheWindow();
    void closeDuringBatchAsks();

private:
    QTemporaryDir m_dir;
    QString m_pictures;
    QString outFolder(const QString& name) const
    {
        QDir(m_dir.path()).mkpath(name);
        return m_dir.filePath(name);
    }
};

void TestWindowConvert::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_pictures = outFolder(u"pictures"_s);
    const Magick::Image photo = TestPictures::photo(90, 60);
    TestPictures::save(photo, m_pictures + u"/a.jpg"_s, "JPEG");
    TestPictures::save(photo, m_pictures + u"/b.bmp"_s, "BMP");
    TestPictures::save(photo, m_pictures + u"/c.png"_s, "PNG");
    TestPictures::save(photo, m_pictures + u"/stall-here.png"_s, "PNG");
    TestPictures::save(photo, m_pictures + u"/stall-writing.png"_s, "PNG");
    TestPictures::save(photo, m_pictures + u"/slow-here.png"_s, "PNG");
    for (int i = 0; i < 6; ++i)
        TestPictures::save(photo, m_pictures + u"/many-%1.png"_s.arg(i), "PNG");
}

void TestWindowConvert::cancelInTheFolderBrowser()
{
    Window w;
    w.open(m_pictures, {u"a.jpg"_s});
    w.convert(4, QString());
    QCOMPARE(w.desktop.browseTitles, QStringList{u"请选择图片输出的保存路径："_s});
    QTest::qWait(50);
    QVERIFY(w.desktop.messages.isEmpty());
    QVERIFY(!w.button(u"CmdCha"_s)->isEnabled());
    QVERIFY(w.window.outputPath().isEmpty());
    QCOMPARE(w.list()->selectedIndex(), -1);
}

void TestWindowConvert::emptyList()
{
    Window w;
    const QString out = outFolder(u"empty"_s);
    QCOMPARE(w.convertAndWait(0, out).text, finished + QDir::toNativeSeparators(out));
    QVERIFY(w.button(u"CmdCha"_s)->isEnabled());
    QVERIFY(QDir(out).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

void TestWindowConvert::twoPicturesToPng()
{
    Window w;
    const QString out = outFolder(u"two"_s);
    w.open(m_pictures, {u"a.jpg"_s, u"b.bmp"_s});
    w.convert(4, out);
    // While it runs the window takes nothing else.
    QVERIFY(w.window.runningBatch());
    QVERIFY(!w.button(u"Command7"_s)->isEnabled());
    QVERIFY(!w.button(u"zhuanhuan_4"_s)->isEnabled());
    QVERIFY(!w.list()->isEnabled());
    const Message message = w.waitForMessage();
    QCOMPARE(filesIn(out), (QStringList{u"a.png"_s, u"b.png"_s}));
    QCOMPARE(TestPictures::formatOf(out + u"/b.png"_s), std::string("PNG"));
    QCOMPARE(message.title, u"转换完毕"_s);
    QCOMPARE(message.icon, Message::Icon::Information);
    QCOMPARE(message.text, finished + QDir::toNativeSeparators(out));
    QVERIFY(message.details.isEmpty());
    QVERIFY(w.button(u"CmdCha"_s)->isEnabled());
    QVERIFY(w.button(u"Command7"_s)->isEnabled());
    QVERIFY(w.list()->isEnabled());
    QCOMPARE(w.list()->selectedIndex(), 1);
    QCOMPARE(w.window.selectedIndex(), 1);
    QCOMPARE(w.window.outputPath(), out);
    QTRY_VERIFY(!w.window.findChild<PreviewBox*>(u"Picture1"_s)->picture().isNull());

    QTest::mouseClick(w.button(u"CmdCha"_s), Qt::LeftButton);
    QCOMPARE(w.desktop.openedFolders, QStringList{out});
}

void TestWindowConvert::ownSourceIsNotReplaced()
{
    Window w;
    const QByteArray before = TestPictures::bytesOf(m_pictures + u"/c.png"_s);
    w.open(m_pictures, {u"c.png"_s});
    const Message message = w.convertAndWait(4, m_pictures);
    QCOMPARE(TestPictures::bytesOf(m_pictures + u"/c.png"_s), before);
    QVERIFY(QFile::exists(m_pictures + u"/c (2).png"_s));
    // A batch's own source is never a file "already there": no question is asked.
    QVERIFY(w.desktop.questions.isEmpty());
    QCOMPARE(message.icon, Message::Icon::Information);
    QVERIFY(message.text.startsWith(finished));
    QVERIFY(message.text.contains(u"其中 1 张图片另存为带编号的新名字"_s));
    QVERIFY(message.details.contains(u"c (2).png（原名是本批的一张原图）"_s));
    QFile::remove(m_pictures + u"/c (2).png"_s);
}

// The message lists a numbered name for each picture written under one, with the reason it has it: a
// file that appeared under the planned name while the batch ran; and none for a picture that failed.
void TestWindowConvert::numberedNamesOfWrittenPicturesOnly_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("second");
    QTest::addColumn<QString>("numbered");
    QTest::newRow("a file appears under the planned name")
        << u"slow-here.png"_s << QString() << u"slow-here (2).png（转换时出现了同名文件）"_s;
    QTest::newRow("the numbered picture fails") << u"c.png"_s << u"words/c.png"_s << QString();
    QTest::newRow("the numbered picture is text named .svg") << u"c.png"_s << u"svg/c.svg"_s << QString();
}

void TestWindowConvert::numberedNamesOfWrittenPicturesOnly()
{
    QFETCH(QString, entry);
    QFETCH(QString, second);
    QFETCH(QString, numbered);
    Window w;
    const QString out = outFolder(u"numbered-%1"_s.arg(QString::fromUtf8(QTest::currentDataTag()).size()));
    w.open(m_pictures, {entry});
    if (!second.isEmpty()) {
        // Its plan is "c (2).png", as the second of two pictures named c; it is no picture.
        const QString folder = outFolder(second.section(u'/', 0, 0));
        TestPictures::saveBytes(folder + u'/' + second.section(u'/', 1), "words, not a picture");
        w.desktop.openAnswers.append(folder + nul() + second.section(u'/', 1));
        QTest::mouseClick(w.button(u"Command2"_s), Qt::LeftButton);
    }
    // The worker shows signs of life for a few seconds before it starts on "slow-here".
    const QString planned = out + u'/' + Getfn(entry) + u".png"_s;
    const bool appears = numbered.contains(u"转换时出现了同名文件"_s);
    if (appears)
        QTimer::singleShot(500, [&] { TestPictures::saveBytes(planned, "another program's file"); });
    const Message message = w.convertAndWait(4, out);
    if (appears)
        QCOMPARE(TestPictures::bytesOf(planned), "another program's file"_ba);
    QCOMPARE(message.text.contains(u"另存为带编号的新名字"_s), !numbered.isEmpty());
    QCOMPARE(message.details.contains(u"另存为带编号的新名字"_s), !numbered.isEmpty());
    if (!numbered.isEmpty())
        QVERIFY2(message.details.contains(numbered), qPrintable(message.details));
    else
        QVERIFY(message.details.contains(u"不是图片或格式不支持"_s));
}

void TestWindowConvert::longChineseNames()
{
    // 250 bytes and no extension: as TIFF its name takes the 255 bytes a name may have, and the second
    // of that name has no room for its number without giving up characters.
    const QString name = QString(82, u'图') + u"abcd"_s;
    QCOMPARE(QFile::encodeName(name).size(), 250);
    const QString first = outFolder(u"long-1"_s);
    const QString second = outFolder(u"long-2"_s);
    const QString out = outFolder(u"long-out"_s);
    QVERIFY(QFile::copy(m_pictures + u"/c.png"_s, first + u'/' + name));
    QVERIFY(QFile::copy(m_pictures + u"/c.png"_s, second + u'/' + name));
    Window w;
    w.open(QString(), {first + u'/' + name, second + u'/' + name});
    const Message message = w.convertAndWait(6, out);
    QVERIFY2(message.text.startsWith(finished), qPrintable(message.text + message.details));
    QCOMPARE(filesIn(out), (QStringList{QString(82, u'图') + u" (2).tiff"_s, name + u".tiff"_s}));
}

void TestWindowConvert::aliasesOfASource_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("listed through a symlinked folder") << u"symlink"_s;
    QTest::newRow("hard link in the output folder") << u"hardlink"_s;
    QTest::newRow("symlink in the output folder") << u"outlink"_s;
}

void TestWindowConvert::aliasesOfASource()
{
    QFETCH(QString, how);
    QTemporaryDir dir;
    const QString real = dir.filePath(u"real"_s);
    const QString out = dir.filePath(u"out"_s);
    QVERIFY(QDir().mkpath(real) && QDir().mkpath(out));
    TestPictures::save(TestPictures::photo(80, 50), real + u"/x.jpg"_s, "JPEG");
    const QByteArray original = TestPictures::bytesOf(real + u"/x.jpg"_s);
    QString listedFolder = real;
    QString target = real;
    if (how == u"symlink"_s) {
        // link -> real; "link/x.jpg" converted to JPG into "real" is the picture itself.
        QVERIFY(QFile::link(real, dir.filePath(u"link"_s)));
        listedFolder = dir.filePath(u"link"_s);
    } else if (how == u"hardlink"_s) {
        QCOMPARE(::link(QFile::encodeName(real + u"/x.jpg"_s), QFile::encodeName(out + u"/x.jpg"_s)), 0);
        target = out;
    } else {
        QVERIFY(QFile::link(real + u"/x.jpg"_s, out + u"/x.jpg"_s));
        target = out;
    }
    Window w;
    w.open(listedFolder, {u"x.jpg"_s});
    const Message message = w.convertAndWait(0, target);
    QCOMPARE(TestPictures::bytesOf(real + u"/x.jpg"_s), original);
    QVERIFY(QFile::exists(target + u"/x (2).jpg"_s));
    QVERIFY(w.desktop.questions.isEmpty());
    QCOMPARE(message.icon, Message::Icon::Information);
    QVERIFY(message.details.contains(u"原名是本批的一张原图"_s));
}

void TestWindowConvert::sameFileListedTwice_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("picture");
    QTest::newRow("same path twice") << u"same"_s << true;
    QTest::newRow("through a symlinked folder") << u"symlink"_s << true;
    QTest::newRow("hard link of another name") << u"hardlink"_s << true;
    QTest::newRow("no picture, twice") << u"same"_s << false;
}

// One file listed twice is written once; the second entry is told as a repeat, neither a failure nor
// a numbered name.
void TestWindowConvert::sameFileListedTwice()
{
    QFETCH(QString, how);
    QFETCH(bool, picture);
    QTemporaryDir dir;
    const QString real = dir.filePath(u"real"_s);
    const QString out = dir.filePath(u"out"_s);
    QVERIFY(QDir().mkpath(real) && QDir().mkpath(out));
    const QString first = real + u"/x.jpg"_s;
    if (picture)
        TestPictures::save(TestPictures::photo(80, 50), first, "JPEG");
    else
        TestPictures::saveBytes(first, "words, not a picture");
    QString second = first;
    if (how == u"symlink"_s) {
        QVERIFY(QFile::link(real, dir.filePath(u"link"_s)));
        second = dir.filePath(u"link/x.jpg"_s);
    } else if (how == u"hardlink"_s) {
        second = real + u"/y.jpg"_s;
        QCOMPARE(::link(QFile::encodeName(first), QFile::encodeName(second)), 0);
    }
    Window w;
    w.open(QString(), {first, second});
    QCOMPARE(w.list()->entryCount(), 2);
    const Message message = w.convertAndWait(4, out);
    QCOMPARE(filesIn(out), picture ? QStringList{u"x.png"_s} : QStringList{});
    const QString repeated = QDir::toNativeSeparators(second) + (picture ? u" → x.png"_s : u"（未转换）"_s);
    QVERIFY2(message.details.contains(u"以下条目与前面的条目是同一个文件，没有重复转换：\n"_s + repeated),
             qPrintable(message.details));
    QVERIFY(message.text.contains(u"另有 1 个条目与前面的条目是同一个文件，没有重复转换（见详情）。"_s));
    QVERIFY(!message.text.contains(u"另存为带编号的新名字"_s));
    if (picture) {
        QCOMPARE(message.icon, Message::Icon::Information);
        QVERIFY(message.text.startsWith(finished + QDir::toNativeSeparators(out)));
    } else {
        QCOMPARE(message.icon, Message::Icon::Warning);
        QVERIFY(message.text.startsWith(u"有 1 张图片未能转换"_s));
        QCOMPARE(message.details.count(u"不是图片或格式不支持"_s), 1);
    }
}

void TestWindowConvert::symlinkInTheOutputFolderIsReplacedNotFollowed()
{
    QTemporaryDir dir;
    const QString out = dir.filePath(u"out"_s);
    QVERIFY(QDir().mkpath(out));
    TestPictures::saveBytes(dir.filePath(u"victim.txt"_s), "someone's notes");
    QVERIFY(QFile::link(dir.filePath(u"victim.txt"_s), out + u"/a.jpg"_s));
    Window w;
    w.desktop.questionAnswers = {0}; // 全部替换
    w.open(m_pictures, {u"a.jpg"_s});
    QCOMPARE(w.convertAndWait(0, out).icon, Message::Icon::Information);
    QCOMPARE(w.desktop.questions.size(), 1);
    QCOMPARE(TestPictures::bytesOf(dir.filePath(u"victim.txt"_s)), QByteArray("someone's notes"));
    QVERIFY(!QFileInfo(out + u"/a.jpg"_s).isSymLink());
    QCOMPARE(TestPictures::formatOf(out + u"/a.jpg"_s), std::string("JPEG"));
}

void TestWindowConvert::replaceQuestion_data()
{
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<std::optional<int>>("answer");
    QTest::addColumn<bool>("asked");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("textHas");

    // a.png and b.png were there before: "old" stays in whatever survives of them.
    const QStringList ab{u"a.png"_s, u"b.png"_s};
    QTest::newRow("nothing there, no question") << QStringList{} << std::optional<int>{} << false
                                                << QStringList{u"a.png"_s, u"b.png"_s, u"c.png"_s} << finished;
    QTest::newRow("Enter keeps both") << ab << std::optional<int>{} << true
                                      << QStringList{u"a (2).png"_s, u"a.png"_s, u"b (2).png"_s, u"b.png"_s, u"c.png"_s}
                                      << u"其中 2 张图片另存为带编号的新名字"_s;
    QTest::newRow("replace all") << ab << std::optional<int>{0} << true
                                 << QStringList{u"a.png"_s, u"b.png"_s, u"c.png"_s} << finished;
    QTest::newRow("keep both") << ab << std::optional<int>{1} << true
                               << QStringList{u"a (2).png"_s, u"a.png"_s, u"b (2).png"_s, u"b.png"_s, u"c.png"_s}
                               << u"其中 2 张图片另存为带编号的新名字"_s;
    QTest::newRow("skip them") << ab << std::optional<int>{2} << true << QStringList{u"a.png"_s, u"b.png"_s, u"c.png"_s}
                               << u"已跳过 2 张图片：保存路径中已有同名文件。"_s;
    QTest::newRow("cancel") << ab << std::optional<int>{3} << true << QStringList{u"a.png"_s, u"b.png"_s} << QString();
}

void TestWindowConvert::replaceQuestion()
{
    QFETCH(QStringList, present);
    QFETCH(std::optional<int>, answer);
    QFETCH(bool, asked);
    QFETCH(QStringList, files);
    QFETCH(QString, textHas);
    QTemporaryDir dir;
    const QString out = dir.path();
    for (const QString& name : present)
        TestPictures::saveBytes(out + u'/' + name, "old");

    Window w;
    w.desktop.questionAnswers = {answer};
    w.open(m_pictures, {u"a.jpg"_s, u"b.bmp"_s, u"c.png"_s});
    w.convert(4, out);
    QCOMPARE(w.desktop.questions.size(), asked ? 1 : 0);
    if (asked) {
        const Question& question = w.desktop.questions.first();
        QCOMPARE(question.text, u"2 个文件已存在"_s);
        QVERIFY(question.details.contains(u"a.png\nb.png"_s));
        QCOMPARE(question.answers, (QStringList{u"全部替换"_s, u"保留两者"_s, u"跳过这些"_s, u"取消"_s}));
        QCOMPARE(question.defaultAnswer, 1);
        QCOMPARE(question.escapeAnswer, 3);
    }
    if (textHas.isEmpty()) {
        // Cancelled before anything was written: no batch, no message.
        QVERIFY(!w.window.runningBatch());
        QTest::qWait(100);
        QVERIFY(w.desktop.messages.isEmpty());
    } else {
        QVERIFY2(w.waitForMessage().text.contains(textHas), qPrintable(w.desktop.messages.value(0).text));
    }
    QCOMPARE(filesIn(out), files);
    const bool replaced = answer == 0;
    for (const QString& name : present)
        QCOMPARE(TestPictures::bytesOf(out + u'/' + name) == "old", !replaced);
}

void TestWindowConvert::missingFileInTheMiddle()
{
    Window w;
    const QString out = outFolder(u"missing"_s);
    w.open(m_pictures, {u"a.jpg"_s, u"gone.jpg"_s, u"b.bmp"_s});
    const Message message = w.convertAndWait(1, out);
    QCOMPARE(filesIn(out), (QStringList{u"a.bmp"_s, u"b.bmp"_s}));
    QCOMPARE(message.icon, Message::Icon::Warning);
    QCOMPARE(message.title, u"转换完毕"_s);
    QVERIFY(!message.text.startsWith(finished));
    QVERIFY(message.text.contains(QDir::toNativeSeparators(out)));
    QVERIFY(message.details.contains(QDir::toNativeSeparators(m_pictures + u"/gone.jpg"_s) + u"：文件不存在"_s));
    QCOMPARE(w.list()->selectedIndex(), 2);
}

void TestWindowConvert::unwritableFolder()
{
    Window w;
    const QString out = m_dir.filePath(u"vanished"_s);
    w.open(m_pictures, {u"a.jpg"_s});
    w.convert(0, out);
    QCOMPARE(w.desktop.messages.size(), 1);
    QCOMPARE(w.desktop.messages[0].text, u"无法写入所选文件夹："_s + QDir::toNativeSeparators(out));
    QVERIFY(!QFileInfo::exists(out));
    QVERIFY(!w.button(u"CmdCha"_s)->isEnabled());
}

void TestWindowConvert::killedWorkerMidBatch()
{
    Window w;
    const QString out = outFolder(u"killed"_s);
    w.open(m_pictures, {u"a.jpg"_s, u"stall-writing.png"_s, u"many-0.png"_s, u"many-1.png"_s});
    QStringList workerFolders;
    QTimer killer;
    connect(&killer, &QTimer::timeout, this, [&] {
        for (const QString& folder : w.engine.workerFolders()) {
            if (!workerFolders.contains(folder))
                workerFolders.append(folder);
        }
        // Once the others are written, the worker stuck halfway through its file is killed.
        if (QDir(out).entryList({u"*.gif"_s}, QDir::Files).size() == 3) {
            for (const qint64 pid : w.engine.workerProcessIds())
                ::kill(pid_t(pid), SIGKILL);
            killer.stop();
        }
    });
    killer.start(20);
    const Message message = w.convertAndWait(2, out);
    QCOMPARE(filesIn(out), (QStringList{u"a.gif"_s, u"many-0.gif"_s, u"many-1.gif"_s}));
    QCOMPARE(message.icon, Message::Icon::Warning);
    QVERIFY(message.details.contains(u"stall-writing.png：处理图片时出错"_s));
    QVERIFY(!workerFolders.isEmpty());
    for (const QString& folder : workerFolders)
        QTRY_VERIFY2(!QFileInfo::exists(folder), qPrintable(folder));
}

void TestWindowConvert::cancelMidBatch()
{
    WorkerEngine::Options two = testEngineOptions();
    two.poolSize = 2;
    Window w(two);
    const QString out = outFolder(u"cancelled"_s);
    w.open(m_pictures, {u"a.jpg"_s, u"stall-writing.png"_s, u"stall-here.png"_s, u"many-0.png"_s, u"many-1.png"_s});
    w.convert(6, out);
    // Both workers stuck: one halfway through its file, one before it.
    // The window goes with its batch once the batch has ended.
    QPointer<ProgressWindow> progress;
    QTRY_VERIFY((progress = w.window.findChild<ProgressWindow*>()) && progress->isVisible());
    QTRY_VERIFY(filesIn(out).size() == 2);
    QVERIFY2(progress->text().startsWith(u"正在转换为 TIFF…\n已完成 "_s), qPrintable(progress->text()));
    QElapsedTimer clock;
    clock.start();
    QTest::mouseClick(progress->findChild<QPushButton*>(), Qt::LeftButton);
    QCOMPARE(progress->text(), u"正在取消…"_s);
    const Message message = w.waitForMessage();
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(message.title, u"转换已取消"_s);
    QVERIFY(message.text.contains(u"已转换 1 张图片，4 张未转换"_s));
    // The half-written file went with its worker.
    QCOMPARE(filesIn(out), QStringList{u"a.tiff"_s});
    QVERIFY(!progress || !progress->isVisible());
    QVERIFY(w.button(u"CmdCha"_s)->isEnabled());
}

// Escape stops the batch wherever the focus is: in the progress window, in the main window it
// blocks, or in the main window before the progress window has appeared.
void TestWindowConvert::escapeCancels_data()
{
    QTest::addColumn<QString>("where");
    QTest::newRow("progress window") << u"progress"_s;
    QTest::newRow("main window") << u"main"_s;
    QTest::newRow("main window, at once") << u"early"_s;
}

void TestWindowConvert::escapeCancels()
{
    QFETCH(QString, where);
    Window w;
    w.window.show();
    QApplication::setActiveWindow(&w.window);
    const QString out = outFolder(u"escape "_s + where);
    w.open(m_pictures, {u"stall-here.png"_s, u"many-2.png"_s});
    w.convert(1, out);
    QVERIFY(w.window.runningBatch());
    if (where != u"early"_s) {
        QPointer<ProgressWindow> progress;
        QTRY_VERIFY((progress = w.window.findChild<ProgressWindow*>()) && progress->isVisible());
        QWidget* const target = where == u"main"_s ? static_cast<QWidget*>(&w.window) : progress.data();
        QApplication::setActiveWindow(target);
        QTest::keyClick(target, Qt::Key_Escape);
    } else {
        QTest::keyClick(&w.window, Qt::Key_Escape);
    }
    const Message message = w.waitForMessage();
    QCOMPARE(message.title, u"转换已取消"_s);
    QVERIFY(!QFileInfo::exists(out + u"/stall-here.bmp"_s));
}

void TestWindowConvert::progressWindowIsADialogOverTheWindow()
{
    Window w;
    w.window.show();
    const QString out = outFolder(u"dialog"_s);
    w.open(m_pictures, {u"stall-here.png"_s});
    w.convert(1, out);
    QPointer<ProgressWindow> progress;
    QTRY_VERIFY((progress = w.window.findChild<ProgressWindow*>()) && progress->isVisible());
    QCOMPARE(progress->windowModality(), Qt::WindowModal);
    QCOMPARE(progress->windowType(), Qt::Dialog);
    QVERIFY(!(progress->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(progress->windowFlags() & Qt::CustomizeWindowHint);
    QTest::mouseClick(progress->findChild<QPushButton*>(), Qt::LeftButton);
    QCOMPARE(w.waitForMessage().title, u"转换已取消"_s);
}

void TestWindowConvert::closeDuringBatchAsks()
{
    Window w;
    const QString out = outFolder(u"closed"_s);
    w.window.show();
    w.open(m_pictures, {u"stall-here.png"_s, u"many-2.png"_s});
    w.convert(1, out);
    QVERIFY(w.window.runningBatch());

    w.desktop.questionAnswers = {1}; // 继续转换
    QVERIFY(!w.window.close());
    QCOMPARE(w.desktop.questions.size(), 1);
    QCOMPARE(w.desktop.questions[0].text, u"正在转换，取消并退出？"_s);
    QCOMPARE(w.desktop.questions[0].answers, (QStringList{u"取消并退出"_s, u"继续转换"_s}));
    QVERIFY(w.window.isVisible());
    QVERIFY(w.window.runningBatch());

    w.desktop.questionAnswers = {0}; // 取消并退出
    QVERIFY(!w.window.close());
    QTRY_VERIFY(!w.window.isVisible());
    QVERIFY(!w.window.runningBatch());
    // Quitting is not a moment for a completion message.
    QVERIFY(w.desktop.messages.isEmpty());
    QVERIFY(!QFileInfo::exists(out + u"/stall-here.bmp"_s));
}

QTEST_MAIN(TestWindowConvert)
#include "tst_windowconvert.moc"
