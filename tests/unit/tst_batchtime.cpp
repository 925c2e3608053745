// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/ProgressWindow.h"

#include <QTest>

#include <cmath>

using namespace Qt::StringLiterals;

class TestBatchTime : public QObject {
    Q_OBJECT

private slots:
    void clock_data();
    void clock();
    void remaining_data();
    void remaining();
    void text_data();
    void text();
    void bar_data();
    void bar();
};

void TestBatchTime::clock_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("shown");
    QTest::newRow("nothing") << qint64(0) << u"0:00"_s;
    QTest::newRow("seconds") << qint64(7) << u"0:07"_s;
    QTest::newRow("a minute") << qint64(60) << u"1:00"_s;
    QTest::newRow("last before an hour") << qint64(3599) << u"59:59"_s;
    QTest::newRow("an hour") << qint64(3600) << u"1:00:00"_s;
    QTest::newRow("hours") << qint64(3 * 3600 + 2 * 60 + 5) << u"3:02:05"_s;
    QTest::newRow("a day and more") << qint64(100 * 3600) << u"100:00:00"_s;
    QTest::newRow("negative") << qint64(-5) << u"0:00"_s;
}

void TestBatchTime::clock()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, shown);
    QCOMPARE(BatchTime::clock(seconds), shown);
}

// The rest at the pace so far, whatever the pictures done are made of: whole ones and parts of the
// running ones count alike.
void TestBatchTime::remaining_data()
{
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<double>("done");
    QTest::addColumn<int>("total");
    QTest::addColumn<qint64>("remainingMs");
    QTest::newRow("nothing done yet") << qint64(5000) << 0.0 << 10 << qint64(-1);
    QTest::newRow("no time yet") << qint64(0) << 1.0 << 10 << qint64(-1);
    QTest::newRow("a third") << qint64(12'000) << 3.0 << 9 << qint64(24'000);
    QTest::newRow("half of one picture") << qint64(4000) << 0.5 << 1 << qint64(4000);
    QTest::newRow("whole and parts") << qint64(10'000) << 2.5 << 5 << qint64(10'000);
    QTest::newRow("all done") << qint64(10'000) << 4.0 << 4 << qint64(0);
    QTest::newRow("more than all") << qint64(10'000) << 5.0 << 4 << qint64(0);
    QTest::newRow("a long batch") << qint64(3'600'000) << 1.0 << 10'000 << qint64(35'996'400'000);
    QTest::newRow("negative done") << qint64(1000) << -1.0 << 4 << qint64(-1);
    QTest::newRow("NaN done") << qint64(1000) << std::nan("") << 4 << qint64(-1);
}

void TestBatchTime::remaining()
{
    QFETCH(qint64, elapsedMs);
    QFETCH(double, done);
    QFETCH(int, total);
    QFETCH(qint64, remainingMs);
    QCOMPARE(BatchTime::remainingMs(elapsedMs, done, total).value_or(-1), remainingMs);
}

void TestBatchTime::text_data()
{
    QTest::addColumn<qint64>("elapsedMs");
    QTest::addColumn<int>("ended");
    QTest::addColumn<double>("done");
    QTest::addColumn<int>("total");
    QTest::addColumn<QString>("shown");
    QTest::newRow("first moment") << qint64(800) << 2 << 2.0 << 10 << QString();
    QTest::newRow("three ended") << qint64(1500) << 3 << 3.0 << 9 << u"已用时 0:01，预计还需 0:03"_s;
    QTest::newRow("two seconds") << qint64(2000) << 0 << 0.0 << 1 << u"已用时 0:02"_s;
    QTest::newRow("a part of one") << qint64(12'000) << 0 << 0.25 << 1 << u"已用时 0:12，预计还需 0:36"_s;
    QTest::newRow("left rounded up") << qint64(10'000) << 3 << 3.0 << 4 << u"已用时 0:10，预计还需 0:04"_s;
    QTest::newRow("left under a second") << qint64(10'000) << 3 << 3.99 << 4 << u"已用时 0:10，预计还需 0:01"_s;
    QTest::newRow("hours") << qint64(3'725'000) << 5 << 5.0 << 10 << u"已用时 1:02:05，预计还需 1:02:05"_s;
}

void TestBatchTime::text()
{
    QFETCH(qint64, elapsedMs);
    QFETCH(int, ended);
    QFETCH(double, done);
    QFETCH(int, total);
    QFETCH(QString, shown);
    QCOMPARE(BatchTime::text(elapsedMs, ended, done, total), shown);
}

// The bar moves within a picture as its parts are done, and never beyond the whole batch.
void TestBatchTime::bar_data()
{
    QTest::addColumn<int>("ended");
    QTest::addColumn<int>("total");
    QTest::addColumn<double>("running");
    QTest::addColumn<int>("value");
    QTest::newRow("one picture, half done") << 0 << 1 << 0.5 << 500;
    QTest::newRow("two ended, one running") << 2 << 4 << 0.25 << 2250;
    QTest::newRow("two running") << 1 << 4 << 1.5 << 2500;
    QTest::newRow("beyond the batch") << 3 << 4 << 2.0 << 4000;
}

void TestBatchTime::bar()
{
    QFETCH(int, ended);
    QFETCH(int, total);
    QFETCH(double, running);
    QFETCH(int, value);
    ProgressWindow window(u"TIFF"_s, nullptr);
    window.setProgress(ended, total, u"a.jpg"_s, running, 0);
    QCOMPARE(window.barValue(), value);
}

QTEST_MAIN(TestBatchTime)
#include "tst_batchtime.moc"
