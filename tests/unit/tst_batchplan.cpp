// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/BatchPlan.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
using Renamed = PlannedOutput::Renamed;
using Files = QHash<QString, QString>;

// A disk for the planner: each listed path exists as the file named by its identity; two paths with
// one identity are one file reached two ways (a symlinked folder, a hard link).
struct FakeDisk {
    QHash<QString, QString> files;
    QStringList folders;

    FileFacts operator()(const QString& path) const
    {
        if (folders.contains(path))
            return {true, true, u"folder:"_s + path};
        const auto found = files.constFind(path);
        if (found != files.constEnd())
            return {true, false, *found};
        return lookUpNothing(path);
    }
};
} // namespace

class TestBatchPlan : public QObject {
    Q_OBJECT

private slots:
    void plan_data();
    void plan();
    void filesOnDisk_data();
    void filesOnDisk();
    void repeatedFiles_data();
    void repeatedFiles();
};

void TestBatchPlan::plan_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<int>("format");
    QTest::addColumn<QStringList>("targets");
    QTest::addColumn<QList<Renamed>>("renamed");

    const Renamed no = Renamed::No;
    const Renamed entry = Renamed::SameNameAsAnotherEntry;
    const Renamed source = Renamed::SameFileAsASource;
    QTest::newRow("two pictures to png") << QStringList{u"C:/p/a.jpg"_s, u"C:/p/b.bmp"_s} << u"D:/out"_s << 4
                                         << QStringList{u"D:/out/a.png"_s, u"D:/out/b.png"_s} << QList<Renamed>{no, no};
    QTest::newRow("same name from two folders")
        << QStringList{u"C:/a/x.jpg"_s, u"C:/b/x.gif"_s} << u"D:/out"_s << 0
        << QStringList{u"D:/out/x.jpg"_s, u"D:/out/x (2).jpg"_s} << QList<Renamed>{no, entry};
    QTest::newRow("three of a name") << QStringList{u"/a/x.jpg"_s, u"/b/x.gif"_s, u"/c/x.bmp"_s} << u"/out"_s << 4
                                     << QStringList{u"/out/x.png"_s, u"/out/x (2).png"_s, u"/out/x (3).png"_s}
                                     << QList<Renamed>{no, entry, entry};
    QTest::newRow("re-saved into its own folder") << QStringList{u"/p/photo.png"_s} << u"/p"_s << 4
                                                  << QStringList{u"/p/photo (2).png"_s} << QList<Renamed>{source};
    QTest::newRow("jpg re-saved as jpg beside itself") << QStringList{u"/p/photo.jpg"_s} << u"/p/"_s << 0
                                                       << QStringList{u"/p/photo (2).jpg"_s} << QList<Renamed>{source};
    QTest::newRow("would replace a later source")
        << QStringList{u"/p/a.jpg"_s, u"/out/a.png"_s} << u"/out"_s << 4
        << QStringList{u"/out/a (2).png"_s, u"/out/a (3).png"_s} << QList<Renamed>{source, source};
    QTest::newRow("other extension in the same folder is no clash")
        << QStringList{u"/p/a.jpg"_s} << u"/p"_s << 4 << QStringList{u"/p/a.png"_s} << QList<Renamed>{no};
    QTest::newRow("numbered name taken by a source")
        << QStringList{u"/a/x.jpg"_s, u"/b/x.jpg"_s, u"/out/x (2).png"_s} << u"/out"_s << 4
        << QStringList{u"/out/x.png"_s, u"/out/x (3).png"_s, u"/out/x (2) (2).png"_s}
        << QList<Renamed>{no, entry, source};
    QTest::newRow("case does not make a name new")
        << QStringList{u"/a/Photo.jpg"_s, u"/b/photo.gif"_s} << u"/out"_s << 4
        << QStringList{u"/out/Photo.png"_s, u"/out/photo (2).png"_s} << QList<Renamed>{no, entry};
    QTest::newRow("root folder") << QStringList{u"/pics/photo.jpg"_s} << u"/"_s << 2 << QStringList{u"/photo.gif"_s}
                                 << QList<Renamed>{no};
    QTest::newRow("drive root") << QStringList{u"C:/pics/photo.jpg"_s, u"C:/x/photo.png"_s} << u"C:/"_s << 2
                                << QStringList{u"C:/photo.gif"_s, u"C:/photo (2).gif"_s} << QList<Renamed>{no, entry};
    QTest::newRow("empty list") << QStringList{} << u"/out"_s << 0 << QStringList{} << QList<Renamed>{};

    // 85 characters of three bytes fill a file name: the extension and the number take the place of
    // the last ones.
    const QString full(85, u'图');
    const QString fits = u"/out/"_s + QString(83, u'图');
    const QString numbered = u"/out/"_s + QString(82, u'图');
    QTest::newRow("long name numbered") << QStringList{u"/a/"_s + full, u"/b/"_s + full} << u"/out"_s << 4
                                        << QStringList{fits + u".png"_s, numbered + u" (2).png"_s}
                                        << QList<Renamed>{no, entry};
    QTest::newRow("long names alike up to the cut")
        << QStringList{u"/a/"_s + full.left(83) + u"甲.jpg"_s, u"/a/"_s + full.left(83) + u"乙.jpg"_s} << u"/out"_s << 4
        << QStringList{fits + u".png"_s, numbered + u" (2).png"_s} << QList<Renamed>{no, entry};
    QTest::newRow("long name re-saved beside itself")
        << QStringList{u"/out/"_s + QString(250, u'x') + u".tiff"_s} << u"/out"_s << 6
        << QStringList{u"/out/"_s + QString(246, u'x') + u" (2).tiff"_s} << QList<Renamed>{source};
}

void TestBatchPlan::plan()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, folder);
    QFETCH(int, format);
    QFETCH(QStringList, targets);
    QFETCH(QList<Renamed>, renamed);

    const QList<PlannedOutput> plan = planBatch(entries, folder, OutputFormat::Index(format));
    QCOMPARE(plan.size(), entries.size());
    for (qsizetype i = 0; i < plan.size(); ++i) {
        QCOMPARE(plan[i].source, entries[i]);
        QCOMPARE(plan[i].target, targets[i]);
        QCOMPARE(plan[i].renamed, renamed[i]);
        QVERIFY(QFile::encodeName(QFileInfo(plan[i].target).fileName()).size() <= 255);
        QVERIFY(!plan[i].replacesExisting);
        QVERIFY(!plan[i].skipped);
    }
}

void TestBatchPlan::filesOnDisk_data()
{
    QTest::addColumn<Files>("files");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("existing");
    QTest::addColumn<QStringList>("targets");
    QTest::addColumn<QList<Renamed>>("renamed");
    QTest::addColumn<QList<bool>>("skipped");
    QTest::addColumn<int>("replacing");

    const Renamed no = Renamed::No;
    const Renamed entry = Renamed::SameNameAsAnotherEntry;
    const Renamed source = Renamed::SameFileAsASource;
    const Renamed there = Renamed::AlreadyInTheFolder;
    const int replace = int(ExistingFiles::Replace);
    const int keepBoth = int(ExistingFiles::KeepBoth);
    const int skip = int(ExistingFiles::Skip);

    // /link is a symlink to /out: the same file by another path.
    const Files linked{{u"/link/x.jpg"_s, u"inode:1"_s}, {u"/out/x.jpg"_s, u"inode:1"_s}};
    QTest::newRow("source through a symlinked folder")
        << linked << QStringList{u"/link/x.jpg"_s} << replace << QStringList{u"/out/x (2).jpg"_s}
        << QList<Renamed>{source} << QList<bool>{false} << 0;
    QTest::newRow("hard link of a source in the folder")
        << Files{{u"/p/x.jpg"_s, u"inode:7"_s}, {u"/out/x.jpg"_s, u"inode:7"_s}} << QStringList{u"/p/x.jpg"_s}
        << replace << QStringList{u"/out/x (2).jpg"_s} << QList<Renamed>{source} << QList<bool>{false} << 0;

    const Files photo{{u"/p/photo.png"_s, u"inode:1"_s}, {u"/out/photo.jpg"_s, u"inode:2"_s}};
    QTest::newRow("existing file replaced")
        << photo << QStringList{u"/p/photo.png"_s} << replace << QStringList{u"/out/photo.jpg"_s} << QList<Renamed>{no}
        << QList<bool>{false} << 1;
    QTest::newRow("existing file kept beside")
        << photo << QStringList{u"/p/photo.png"_s} << keepBoth << QStringList{u"/out/photo (2).jpg"_s}
        << QList<Renamed>{there} << QList<bool>{false} << 0;
    QTest::newRow("existing file skipped")
        << photo << QStringList{u"/p/photo.png"_s} << skip << QStringList{u"/out/photo.jpg"_s} << QList<Renamed>{no}
        << QList<bool>{true} << 1;

    // Two entries of one name where that name exists: only the first would replace it.
    const Files two{{u"/a/x.png"_s, u"inode:1"_s},
                    {u"/b/x.gif"_s, u"inode:2"_s},
                    {u"/out/x.jpg"_s, u"inode:3"_s},
                    {u"/out/x (2).jpg"_s, u"inode:4"_s}};
    const QStringList ab{u"/a/x.png"_s, u"/b/x.gif"_s};
    QTest::newRow("numbered names skip files on disk")
        << two << ab << replace << QStringList{u"/out/x.jpg"_s, u"/out/x (3).jpg"_s} << QList<Renamed>{no, entry}
        << QList<bool>{false, false} << 1;
    QTest::newRow("skipping one keeps the other numbered")
        << two << ab << skip << QStringList{u"/out/x.jpg"_s, u"/out/x (3).jpg"_s} << QList<Renamed>{no, entry}
        << QList<bool>{true, false} << 1;
    QTest::newRow("keeping both numbers both")
        << two << ab << keepBoth << QStringList{u"/out/x (3).jpg"_s, u"/out/x (4).jpg"_s}
        << QList<Renamed>{there, there} << QList<bool>{false, false} << 0;
}

void TestBatchPlan::filesOnDisk()
{
    QFETCH(Files, files);
    QFETCH(QStringList, entries);
    QFETCH(int, existing);
    QFETCH(QStringList, targets);
    QFETCH(QList<Renamed>, renamed);
    QFETCH(QList<bool>, skipped);
    QFETCH(int, replacing);

    const FakeDisk disk{files, {}};
    const QList<PlannedOutput> plan = planBatch(entries, u"/out"_s, OutputFormat::Jpg, disk, ExistingFiles(existing));
    QCOMPARE(plan.size(), entries.size());
    for (qsizetype i = 0; i < plan.size(); ++i) {
        QCOMPARE(plan[i].target, targets[i]);
        QCOMPARE(plan[i].renamed, renamed[i]);
        QCOMPARE(plan[i].skipped, skipped[i]);
    }
    QCOMPARE(replacedFiles(plan).size(), replacing);
}

// The same file listed twice, however it is reached, is written once; different files of one name
// are each written.
void TestBatchPlan::repeatedFiles_data()
{
    QTest::addColumn<Files>("files");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("existing");
    QTest::addColumn<QStringList>("targets");
    QTest::addColumn<QList<int>>("repeats");
    QTest::addColumn<QList<Renamed>>("renamed");
    QTest::addColumn<QList<bool>>("skipped");

    const Renamed no = Renamed::No;
    const Renamed entry = Renamed::SameNameAsAnotherEntry;
    const Renamed there = Renamed::AlreadyInTheFolder;
    const int replace = int(ExistingFiles::Replace);
    const QList<bool> none{false, false, false};
    const QString x = u"/out/x.jpg"_s;
    const QString x2 = u"/out/x (2).jpg"_s;
    // /link is a symlink to /p; /q/y.png is a hard link of /p/x.png; /q/x.gif is another picture.
    const Files disk{{u"/p/x.png"_s, u"inode:1"_s},
                     {u"/link/x.png"_s, u"inode:1"_s},
                     {u"/q/y.png"_s, u"inode:1"_s},
                     {u"/q/x.gif"_s, u"inode:2"_s}};
    const Files taken{{u"/p/x.png"_s, u"inode:1"_s}, {x, u"inode:9"_s}};

    QTest::newRow("same path twice") << disk << QStringList{u"/p/x.png"_s, u"/p/x.png"_s} << replace
                                     << QStringList{x, x} << QList<int>{-1, 0} << QList<Renamed>{no, no} << none;
    QTest::newRow("same path thrice, no disk")
        << Files{} << QStringList{u"/p/x.png"_s, u"/P/x.png"_s, u"/p/./x.png"_s} << replace << QStringList{x, x, x}
        << QList<int>{-1, 0, 0} << QList<Renamed>{no, no, no} << none;
    QTest::newRow("through a symlinked folder")
        << disk << QStringList{u"/p/x.png"_s, u"/link/x.png"_s} << replace << QStringList{x, x} << QList<int>{-1, 0}
        << QList<Renamed>{no, no} << none;
    QTest::newRow("hard link of another name")
        << disk << QStringList{u"/q/y.png"_s, u"/p/x.png"_s} << replace << QStringList{u"/out/y.jpg"_s, u"/out/y.jpg"_s}
        << QList<int>{-1, 0} << QList<Renamed>{no, no} << none;
    QTest::newRow("different files of one name")
        << disk << QStringList{u"/p/x.png"_s, u"/q/x.gif"_s} << replace << QStringList{x, x2} << QList<int>{-1, -1}
        << QList<Renamed>{no, entry} << none;
    QTest::newRow("a repeat takes no number")
        << disk << QStringList{u"/p/x.png"_s, u"/link/x.png"_s, u"/q/x.gif"_s} << replace << QStringList{x, x, x2}
        << QList<int>{-1, 0, -1} << QList<Renamed>{no, no, entry} << none;
    QTest::newRow("repeat of a numbered entry")
        << disk << QStringList{u"/q/x.gif"_s, u"/p/x.png"_s, u"/link/x.png"_s} << replace << QStringList{x, x2, x2}
        << QList<int>{-1, -1, 1} << QList<Renamed>{no, entry, no} << none;
    QTest::newRow("repeat of a skipped entry")
        << taken << QStringList{u"/p/x.png"_s, u"/p/x.png"_s} << int(ExistingFiles::Skip) << QStringList{x, x}
        << QList<int>{-1, 0} << QList<Renamed>{no, no} << QList<bool>{true, false};
    QTest::newRow("repeat of an entry kept beside a file")
        << taken << QStringList{u"/p/x.png"_s, u"/p/x.png"_s} << int(ExistingFiles::KeepBoth) << QStringList{x2, x2}
        << QList<int>{-1, 0} << QList<Renamed>{there, no} << none;
}

void TestBatchPlan::repeatedFiles()
{
    QFETCH(Files, files);
    QFETCH(QStringList, entries);
    QFETCH(int, existing);
    QFETCH(QStringList, targets);
    QFETCH(QList<int>, repeats);
    QFETCH(QList<Renamed>, renamed);
    QFETCH(QList<bool>, skipped);

    const FakeDisk disk{files, {}};
    const QList<PlannedOutput> plan = planBatch(entries, u"/out"_s, OutputFormat::Jpg, disk, ExistingFiles(existing));
    QCOMPARE(plan.size(), entries.size());
    for (qsizetype i = 0; i < plan.size(); ++i) {
        QCOMPARE(plan[i].source, entries[i]);
        QCOMPARE(plan[i].target, targets[i]);
        QCOMPARE(plan[i].repeats, repeats[i]);
        QCOMPARE(plan[i].renamed, renamed[i]);
        QCOMPARE(plan[i].skipped, skipped[i]);
    }
    // A file already there is asked about once, whatever repeats it.
    QCOMPARE(replacedFiles(plan).size(), existing == int(ExistingFiles::Skip) ? 1 : 0);
}

QTEST_GUILESS_MAIN(TestBatchPlan)
#include "tst_batchplan.moc"
