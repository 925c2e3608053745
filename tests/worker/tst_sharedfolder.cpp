// SPDX-License-Identifier: GPL-3.0-or-later
// An output folder is shared: other programs, and other windows of this one, create files in it while
// a batch runs, and its path may come to lead elsewhere. Nothing of theirs is replaced, and every
// output lands in the folder that was chosen, under the name the engine reports.
#include "tests/support/TestEngine.h"
#include "tests/support/TestPictures.h"

#include "client/OutputFolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QTemporaryDir>
#include <QTest>

#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>

using namespace Qt::StringLiterals;

namespace {
using OutputFormat::Bmp;

QStringList everythingIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

QColor colourOf(const QString& path)
{
    return QImage(path).pixelColor(0, 0);
}
} // namespace

class TestSharedFolder : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void nameTakenWhileConverting_data();
    void nameTakenWhileConverting();
    void twoEnginesInOneFolder();
    void folderSwappedForALink_data();
    void folderSwappedForALink();
    void abandonedOutputsGo_data();
    void abandonedOutputsGo();

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }

    QTemporaryDir m_dir;
};

void TestSharedFolder::initTestCase()
{
    QVERIFY(m_dir.isValid());
    for (const auto& [name, colour] : {std::pair{u"a.png"_s, Qt::red}, std::pair{u"b.png"_s, Qt::blue}}) {
        QImage picture(24, 16, QImage::Format_RGB32);
        picture.fill(colour);
        QVERIFY(picture.save(path(name), "PNG"));
    }
}

// Something takes the output's name after the batch was planned, before its file is finished.
void TestSharedFolder::nameTakenWhileConverting_data()
{
    QTest::addColumn<QString>("planned");
    QTest::addColumn<bool>("replace");
    QTest::addColumn<QString>("appears");
    QTest::addColumn<QString>("written");
    QTest::newRow("plain name, a file") << u"a.bmp"_s << false << u"file"_s << u"a (2).bmp"_s;
    QTest::newRow("numbered name, a file") << u"a (2).bmp"_s << false << u"file"_s << u"a (3).bmp"_s;
    QTest::newRow("plain name, a link") << u"a.bmp"_s << false << u"link"_s << u"a (2).bmp"_s;
    QTest::newRow("plain name, a folder") << u"a.bmp"_s << false << u"folder"_s << u"a (2).bmp"_s;
    // The user agreed to replace what has the name; a folder still cannot be.
    QTest::newRow("agreed to replace, a file") << u"a.bmp"_s << true << u"file"_s << u"a.bmp"_s;
    QTest::newRow("agreed to replace, a folder") << u"a.bmp"_s << true << u"folder"_s << u"a (2).bmp"_s;
    QTest::newRow("nothing appears") << u"a.bmp"_s << false << QString() << u"a.bmp"_s;
}

void TestSharedFolder::nameTakenWhileConverting()
{
    QFETCH(QString, planned);
    QFETCH(bool, replace);
    QFETCH(QString, appears);
    QFETCH(QString, written);
    QTemporaryDir out;
    const QString elsewhere = path(u"elsewhere-%1"_s.arg(QString::fromUtf8(QTest::currentDataTag())));
    TestPictures::saveBytes(elsewhere, "a user's file");
    const QString target = out.filePath(planned);
    WorkerEngine engine(testEngineOptions());
    const BatchResult result = runBatch(engine, {{path(u"a.png"_s), target, Bmp, replace}}, [&](int) {
        // Planned and started: the worker has not written anything yet.
        if (appears == u"file"_s)
            TestPictures::saveBytes(target, "a user's file");
        else if (appears == u"link"_s)
            QFile::link(elsewhere, target);
        else if (appears == u"folder"_s)
            QDir().mkdir(target);
    });
    QCOMPARE(result.errors, QStringList{QString()});
    QCOMPARE(result.targets, QStringList{out.filePath(written)});
    QCOMPARE(TestPictures::bytesOf(out.filePath(written)).left(2), "BM"_ba);
    QStringList expected{written};
    if (!appears.isEmpty() && written != planned)
        expected.append(planned);
    expected.sort();
    QCOMPARE(everythingIn(out.path()), expected);
    QCOMPARE(TestPictures::bytesOf(elsewhere), "a user's file"_ba);
    if (written == planned)
        return;
    if (appears == u"file"_s)
        QCOMPARE(TestPictures::bytesOf(target), "a user's file"_ba);
    QCOMPARE(QFileInfo(target).isSymLink(), appears == u"link"_s);
    QCOMPARE(QFileInfo(target).isDir(), appears == u"folder"_s);
}

// Two windows convert pictures of the same names into one folder at once: every output is kept, and
// each engine reports the files that hold its own pictures.
void TestSharedFolder::twoEnginesInOneFolder()
{
    QTemporaryDir out;
    WorkerEngine::Options options = testEngineOptions();
    options.poolSize = 2;
    WorkerEngine red(options);
    WorkerEngine blue(options);
    QList<ConvertJob> redJobs;
    QList<ConvertJob> blueJobs;
    for (int i = 0; i < 6; ++i) {
        redJobs.append({path(u"a.png"_s), out.filePath(u"x%1.bmp"_s.arg(i)), Bmp});
        blueJobs.append({path(u"b.png"_s), out.filePath(u"x%1.bmp"_s.arg(i)), Bmp});
    }
    QStringList redTargets(redJobs.size());
    QStringList blueTargets(blueJobs.size());
    int done = 0;
    const auto callbacks = [&](QStringList& targets) {
        BatchCallbacks made;
        made.finished = [&targets](int index, const JobOutcome& outcome) { targets[index] = outcome.target; };
        made.done = [&done] { ++done; };
        return made;
    };
    red.convertBatch(redJobs, callbacks(redTargets));
    blue.convertBatch(blueJobs, callbacks(blueTargets));
    QTRY_COMPARE_WITH_TIMEOUT(done, 2, 120'000);
    QStringList all = redTargets + blueTargets;
    all.removeDuplicates();
    QCOMPARE(all.size(), 12);
    QCOMPARE(everythingIn(out.path()).size(), 12);
    for (const QString& target : redTargets)
        QCOMPARE(colourOf(target), QColor(Qt::red));
    for (const QString& target : blueTargets)
        QCOMPARE(colourOf(target), QColor(Qt::blue));
}

// The folder is renamed and a link to another folder takes its path, after it was chosen: the outputs
// still go to the folder that was chosen, now under its new name.
void TestSharedFolder::folderSwappedForALink_data()
{
    QTest::addColumn<bool>("openedWhenChosen");
    QTest::newRow("opened when chosen") << true;
    QTest::newRow("opened by the engine") << false;
}

void TestSharedFolder::folderSwappedForALink()
{
    QFETCH(bool, openedWhenChosen);
    QTemporaryDir dir;
    const QString chosen = dir.filePath(u"chosen"_s);
    const QString moved = dir.filePath(u"moved"_s);
    const QString other = dir.filePath(u"other"_s);
    QVERIFY(QDir().mkpath(chosen));
    QVERIFY(QDir().mkpath(other));
    const std::shared_ptr<const OutputFolder> folder = openedWhenChosen ? OutputFolder::open(chosen) : nullptr;
    QList<ConvertJob> jobs;
    for (int i = 0; i < 3; ++i)
        jobs.append({path(u"a.png"_s), chosen + u"/x%1.bmp"_s.arg(i), Bmp, false, folder});
    WorkerEngine engine(testEngineOptions());
    const BatchResult result = runBatch(engine, jobs, [&](int index) {
        if (index == 0) {
            QVERIFY(QDir().rename(chosen, moved));
            QVERIFY(QFile::link(other, chosen));
        }
    });
    QCOMPARE(result.errors, QStringList(3, QString()));
    QCOMPARE(everythingIn(moved), (QStringList{u"x0.bmp"_s, u"x1.bmp"_s, u"x2.bmp"_s}));
    QCOMPARE(everythingIn(other), QStringList());
}

// A Kalvorin that ended together with its workers (power lost) left a temporary file; the next batch
// into the folder removes it once nothing can be writing it, and nothing else that looks like it.
void TestSharedFolder::abandonedOutputsGo_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("hoursOld");
    QTest::addColumn<bool>("kept");
    const QString ours = u".IMG 1.jpg.kalvorin-0123456789abcdef.part"_s;
    QTest::newRow("left two days ago") << u"file"_s << ours << 48 << false;
    QTest::newRow("of a name with a dot") << u"file"_s << u"..x.kalvorin-00000000000000ff.part"_s << 48 << false;
    QTest::newRow("written an hour ago") << u"file"_s << u".a.kalvorin-00000000000000ff.part"_s << 1 << true;
    QTest::newRow("a link of that name") << u"link"_s << ours << 48 << true;
    QTest::newRow("a folder of that name") << u"folder"_s << ours << 48 << true;
    for (const QString& name : {u"IMG 1.jpg.kalvorin-0123456789abcdef.part"_s, u".x.kalvorin-0123.part"_s,
                                u".x.kalvorin-0123456789ABCDEF.part"_s, u".x.kalvorin-0123456789abcdefg.part"_s,
                                u".kalvorin-0123456789abcdef.part"_s, u".x.kalvorin-0123456789abcdef.part.jpg"_s,
                                u"draft.part"_s, u"*.part"_s})
        QTest::addRow("a user's %s", qPrintable(name)) << u"file"_s << name << 48 << true;
}

void TestSharedFolder::abandonedOutputsGo()
{
    QFETCH(QString, kind);
    QFETCH(QString, name);
    QFETCH(int, hoursOld);
    QFETCH(bool, kept);
    QTemporaryDir out;
    const QString entry = out.filePath(name);
    if (kind == u"file"_s)
        TestPictures::saveBytes(entry, "left behind");
    else if (kind == u"link"_s)
        QVERIFY(QFile::link(path(u"a.png"_s), entry));
    else
        QVERIFY(QDir().mkdir(entry));
    const timespec then{::time(nullptr) - hoursOld * 3600, 0};
    const timespec times[2] = {then, then};
    QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(entry).constData(), times, AT_SYMLINK_NOFOLLOW), 0);
    WorkerEngine engine(testEngineOptions());
    QCOMPARE(runBatch(engine, {{path(u"a.png"_s), out.filePath(u"a.bmp"_s), Bmp}}).errors, QStringList{QString()});
    QCOMPARE(QFileInfo(entry).exists() || QFileInfo(entry).isSymLink(), kept);
}

QTEST_MAIN(TestSharedFolder)
#include "tst_sharedfolder.moc"
