#include "BatchPlan.h"

#include <QTest>

using namespace Qt::StringLiterals;

class TestBatchPlan : public QObject {
    Q_OBJECT

private slots:
    void plan_data();
    void plan();
    void numberedNamesSkipFilesOnDisk();
};

void TestBatchPlan::plan_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<int>("format");
    QTest::addColumn<QStringList>("targets");
    QTest::addColumn<QList<bool>>("renamed");

    QTest::newRow("two pictures to png") << QStringList{u"C:/p/a.jpg"_s, u"C:/p/b.bmp"_s} << u"D:/out"_s << 4
                                         << QStringList{u"D:/out/a.png"_s, u"D:/out/b.png"_s}
                                         << QList<bool>{false, false};
    QTest::newRow("same name from two folders")
        << QStringList{u"C:/a/x.jpg"_s, u"C:/b/x.gif"_s} << u"D:/out"_s << 0
        << QStringList{u"D:/out/x.jpg"_s, u"D:/out/x (2).jpg"_s} << QList<bool>{false, true};
    QTest::newRow("three of a name") << QStringList{u"/a/x.jpg"_s, u"/b/x.gif"_s, u"/c/x.bmp"_s} << u"/out"_s << 4
                                     << QStringList{u"/out/x.png"_s, u"/out/x (2).png"_s, u"/out/x (3).png"_s}
                                     << QList<bool>{false, true, true};
    QTest::newRow("re-saved into its own folder")
        << QStringList{u"/p/photo.png"_s} << u"/p"_s << 4 << QStringList{u"/p/photo (2).png"_s} << QList<bool>{true};
    QTest::newRow("jpg re-saved as jpg beside itself")
        << QStringList{u"/p/photo.jpg"_s} << u"/p/"_s << 0 << QStringList{u"/p/photo (2).jpg"_s} << QList<bool>{true};
    QTest::newRow("would replace a later source")
        << QStringList{u"/p/a.jpg"_s, u"/out/a.png"_s} << u"/out"_s << 4
        << QStringList{u"/out/a (2).png"_s, u"/out/a (3).png"_s} << QList<bool>{true, true};
    QTest::newRow("other extension in the same folder is no clash")
        << QStringList{u"/p/a.jpg"_s} << u"/p"_s << 4 << QStringList{u"/p/a.png"_s} << QList<bool>{false};
    QTest::newRow("numbered name taken by a source")
        << QStringList{u"/a/x.jpg"_s, u"/b/x.jpg"_s, u"/out/x (2).png"_s} << u"/out"_s << 4
        << QStringList{u"/out/x.png"_s, u"/out/x (3).png"_s, u"/out/x (2) (2).png"_s} << QList<bool>{false, true, true};
    QTest::newRow("case does not make a name new")
        << QStringList{u"/a/Photo.jpg"_s, u"/b/photo.gif"_s} << u"/out"_s << 4
        << QStringList{u"/out/Photo.png"_s, u"/out/photo (2).png"_s} << QList<bool>{false, true};
    QTest::newRow("duplicate entries both written")
        << QStringList{u"/p/a.jpg"_s, u"/p/a.jpg"_s} << u"/out"_s << 1
        << QStringList{u"/out/a.bmp"_s, u"/out/a (2).bmp"_s} << QList<bool>{false, true};
    QTest::newRow("root folder") << QStringList{u"/pics/photo.jpg"_s} << u"/"_s << 2 << QStringList{u"/photo.gif"_s}
                                 << QList<bool>{false};
    QTest::newRow("drive root") << QStringList{u"C:/pics/photo.jpg"_s, u"C:/x/photo.png"_s} << u"C:/"_s << 2
                                << QStringList{u"C:/photo.gif"_s, u"C:/photo (2).gif"_s} << QList<bool>{false, true};
    QTest::newRow("empty list") << QStringList{} << u"/out"_s << 0 << QStringList{} << QList<bool>{};
}

void TestBatchPlan::plan()
{
    QFETCH(QStringList, entries);
    QFETCH(QString, folder);
    QFETCH(int, format);
    QFETCH(QStringList, targets);
    QFETCH(QList<bool>, renamed);

    const QList<PlannedOutput> plan = planBatch(entries, folder, format);
    QCOMPARE(plan.size(), entries.size());
    for (qsizetype i = 0; i < plan.size(); ++i) {
        QCOMPARE(plan[i].source, entries[i]);
        QCOMPARE(plan[i].target, targets[i]);
        QCOMPARE(plan[i].renamed, renamed[i]);
    }
}

void TestBatchPlan::numberedNamesSkipFilesOnDisk()
{
    const QStringList onDisk{u"/out/x.png"_s, u"/out/x (2).png"_s};
    const auto exists = [&](const QString& path) { return onDisk.contains(path); };
    const QList<PlannedOutput> plan = planBatch({u"/a/x.jpg"_s, u"/b/x.gif"_s}, u"/out"_s, 4, exists);
    // A plain name replaces what was there; a numbered one never does.
    QCOMPARE(plan[0].target, u"/out/x.png"_s);
    QCOMPARE(plan[1].target, u"/out/x (3).png"_s);
}

QTEST_GUILESS_MAIN(TestBatchPlan)
#include "tst_batchplan.moc"
