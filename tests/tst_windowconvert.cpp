#include "FakeDesktop.h"
#include "Form1.h"
#include "PictureList.h"
#include "PreviewBox.h"
#include "TestEngine.h"
#include "TestPictures.h"

#include <QDir>
#include <QProgressDialog>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <csignal>

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
    Form1 form{desktop, engine};

    PictureList* list() const { return form.findChild<PictureList*>(u"List1"_s); }
    QPushButton* button(const QString& name) const { return form.findChild<QPushButton*>(name); }

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
};

const QString finished = u"图片转换完毕！图片已经被输出保存路径到"_s;
} // namespace

class TestWindowConvert : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void cancelInTheFolderBrowser();
    void emptyList();
    void twoPicturesToPng();
    void ownSourceIsNotReplaced();
    void missingFileInTheMiddle();
    void unwritableFolder();
    void killedWorkerMidBatch();
    void cancelMidBatch();

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
    for (int i = 0; i < 6; ++i)
        TestPictures::save(photo, m_pictures + u"/many-%1.png"_s.arg(i), "PNG");
}

void TestWindowConvert::cancelInTheFolderBrowser()
{
    Window w;
    w.open(m_pictures, {u"a.jpg"_s});
    w.convert(4, QString());
    QCOMPARE(w.desktop.browseTitles, QStringList{u"请选择图片输出的保存路径："_s});
    QVERIFY(w.desktop.messages.isEmpty());
    QVERIFY(!w.button(u"CmdCha"_s)->isEnabled());
    QVERIFY(w.form.savePath().isEmpty());
    QCOMPARE(w.list()->selectedIndex(), -1);
}

void TestWindowConvert::emptyList()
{
    Window w;
    const QString out = outFolder(u"empty"_s);
    w.convert(0, out);
    QCOMPARE(w.desktop.messages.size(), 1);
    QCOMPARE(w.desktop.messages[0].text, finished + QDir::toNativeSeparators(out));
    QVERIFY(w.button(u"CmdCha"_s)->isEnabled());
    QVERIFY(QDir(out).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
}

void TestWindowConvert::twoPicturesToPng()
{
    Window w;
    const QString out = outFolder(u"two"_s);
    w.open(m_pictures, {u"a.jpg"_s, u"b.bmp"_s});
    w.convert(4, out);
    QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden), (QStringList{u"a.png"_s, u"b.png"_s}));
    QCOMPARE(TestPictures::formatOf(out + u"/b.png"_s), std::string("PNG"));
    QCOMPARE(w.desktop.messages.size(), 1);
    const Message& message = w.desktop.messages[0];
    QCOMPARE(message.title, u"转换完毕"_s);
    QCOMPARE(message.icon, Message::Icon::Information);
    QCOMPARE(message.text, finished + QDir::toNativeSeparators(out));
    QVERIFY(message.details.isEmpty());
    QVERIFY(w.button(u"CmdCha"_s)->isEnabled());
    QCOMPARE(w.list()->selectedIndex(), 1);
    QCOMPARE(w.form.curIndex(), 1);
    QCOMPARE(w.form.savePath(), out);
    QTRY_VERIFY(!w.form.findChild<PreviewBox*>(u"Picture1"_s)->picture().isNull());

    QTest::mouseClick(w.button(u"CmdCha"_s), Qt::LeftButton);
    QCOMPARE(w.desktop.openedFolders, QStringList{out});
}

void TestWindowConvert::ownSourceIsNotReplaced()
{
    Window w;
    const QByteArray before = TestPictures::bytesOf(m_pictures + u"/c.png"_s);
    w.open(m_pictures, {u"c.png"_s});
    w.convert(4, m_pictures);
    QCOMPARE(TestPictures::bytesOf(m_pictures + u"/c.png"_s), before);
    QVERIFY(QFile::exists(m_pictures + u"/c (2).png"_s));
    QCOMPARE(w.desktop.messages.size(), 1);
    QCOMPARE(w.desktop.messages[0].icon, Message::Icon::Information);
    QVERIFY(w.desktop.messages[0].details.contains(u"c (2).png"_s));
    QFile::remove(m_pictures + u"/c (2).png"_s);
}

void TestWindowConvert::missingFileInTheMiddle()
{
    Window w;
    const QString out = outFolder(u"missing"_s);
    w.open(m_pictures, {u"a.jpg"_s, u"gone.jpg"_s, u"b.bmp"_s});
    w.convert(1, out);
    QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden), (QStringList{u"a.bmp"_s, u"b.bmp"_s}));
    QCOMPARE(w.desktop.messages.size(), 1);
    const Message& message = w.desktop.messages[0];
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
    w.open(m_pictures, {u"a.jpg"_s, u"stall-here.png"_s, u"many-0.png"_s, u"many-1.png"_s});
    QTimer killer;
    connect(&killer, &QTimer::timeout, this, [&] {
        if (QDir(out).entryList({u"*.gif"_s}, QDir::Files).size() == 3) {
            for (const qint64 pid : w.engine.workerProcessIds())
                ::kill(pid_t(pid), SIGKILL);
            killer.stop();
        }
    });
    killer.start(50);
    w.convert(2, out);
    QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden),
             (QStringList{u"a.gif"_s, u"many-0.gif"_s, u"many-1.gif"_s}));
    QCOMPARE(w.desktop.messages.size(), 1);
    QCOMPARE(w.desktop.messages[0].icon, Message::Icon::Warning);
    QVERIFY(w.desktop.messages[0].details.contains(u"stall-here.png：处理图片时出错"_s));
}

void TestWindowConvert::cancelMidBatch()
{
    WorkerEngine::Options one = testEngineOptions();
    one.poolSize = 1;
    one.convertTimeoutMs = 3000;
    Window w(one);
    const QString out = outFolder(u"cancelled"_s);
    w.open(m_pictures, {u"a.jpg"_s, u"stall-here.png"_s, u"many-0.png"_s, u"many-1.png"_s});
    bool progressShown = false;
    QTimer canceller;
    connect(&canceller, &QTimer::timeout, this, [&] {
        auto* progress = w.form.findChild<QProgressDialog*>();
        if (progress && progress->isVisible()) {
            progressShown = true;
            QVERIFY(progress->labelText().startsWith(u"正在转换…"_s));
            QTest::mouseClick(progress->findChild<QPushButton*>(), Qt::LeftButton);
            canceller.stop();
        }
    });
    canceller.start(50);
    w.convert(6, out);
    QVERIFY(progressShown);
    // The stuck picture ran out of time; the rest never started. Nothing half-written is left.
    QCOMPARE(QDir(out).entryList(QDir::Files | QDir::Hidden), QStringList{u"a.tiff"_s});
    QCOMPARE(w.desktop.messages.size(), 1);
    QCOMPARE(w.desktop.messages[0].title, u"转换已取消"_s);
    QVERIFY(w.desktop.messages[0].text.contains(u"已转换 1 张图片，3 张未转换"_s));
    QVERIFY(w.button(u"CmdCha"_s)->isEnabled());
}

QTEST_MAIN(TestWindowConvert)
#include "tst_windowconvert.moc"
