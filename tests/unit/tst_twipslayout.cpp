// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/TwipsLayout.h"

#include <QTest>

class TestTwipsLayout : public QObject {
    Q_OBJECT

private slots:
    void fittedScale_data();
    void fittedScale();
    void scaledRect_data();
    void scaledRect();
    void fontSize_data();
    void fontSize();
};

namespace {
const QSize design(845, 488);
} // namespace

void TestTwipsLayout::fittedScale_data()
{
    // A screen's size in logical pixels is its pixels divided by its scaling, as Qt reports it.
    QTest::addColumn<QSize>("available");
    QTest::addColumn<double>("scale");
    QTest::newRow("1600x1000 at 100%") << QSize(1600, 1000) << 1.0;
    QTest::newRow("1600x1000 at 125%") << QSize(1280, 800) << 1.0;
    QTest::newRow("1600x1000 at 150%") << QSize(1067, 667) << 1.0;
    QTest::newRow("1600x1000 at 200%") << QSize(800, 500) << 800.0 / 845;
    QTest::newRow("1024x768 at 100%") << QSize(1024, 768) << 1.0;
    QTest::newRow("1024x768 at 125%") << QSize(819, 614) << 819.0 / 845;
    QTest::newRow("1024x768 at 150%") << QSize(683, 512) << 683.0 / 845;
    QTest::newRow("1024x768 at 200%") << QSize(512, 384) << 512.0 / 845;
    QTest::newRow("3840x2160 at 100%") << QSize(3840, 2160) << 1.0;
    QTest::newRow("3840x2160 at 300%") << QSize(1280, 720) << 1.0;
    QTest::newRow("wide and low") << QSize(1600, 400) << 400.0 / 488;
    QTest::newRow("exactly the design") << design << 1.0;
    QTest::newRow("no screen known") << QSize() << 1.0;
}

void TestTwipsLayout::fittedScale()
{
    QFETCH(QSize, available);
    QFETCH(double, scale);
    const double fitted = TwipsLayout::fittedScale(design, available);
    QCOMPARE(fitted, scale);
    if (available.isEmpty())
        return;
    const QSize used = TwipsLayout::scaled(design, fitted);
    QVERIFY(used.width() <= available.width());
    QVERIFY(used.height() <= available.height());
    // Not a pixel is given away on the side that decides, and the proportions hold to a pixel.
    if (fitted < 1.0)
        QVERIFY(used.width() == available.width() || used.height() == available.height());
    QVERIFY(qAbs(used.width() * design.height() - used.height() * design.width()) <= design.width());
}

void TestTwipsLayout::scaledRect_data()
{
    QTest::addColumn<QRect>("twips");
    QTest::addColumn<double>("scale");
    QTest::addColumn<QRect>("pixels");
    QTest::newRow("design size") << QRect(11085, 4860, 1335, 555) << 1.0 << QRect(739, 324, 89, 37);
    QTest::newRow("twips between pixels round down") << QRect(29, 44, 14, 16) << 1.0 << QRect(1, 2, 0, 1);
    QTest::newRow("half") << QRect(11085, 4860, 1335, 555) << 0.5 << QRect(369, 162, 44, 18);
    QTest::newRow("whole window at 200% on 1600x1000")
        << QRect(0, 0, 12675, 7320) << 800.0 / 845 << QRect(0, 0, 800, 462);
    // 845 * (496 / 845) is a hair under 496 in doubles.
    QTest::newRow("whole window in 496 pixels") << QRect(0, 0, 12675, 7320) << 496.0 / 845 << QRect(0, 0, 496, 286);
    QTest::newRow("whole window at 125% on 1024x768")
        << QRect(0, 0, 12675, 7320) << 819.0 / 845 << QRect(0, 0, 819, 472);
}

void TestTwipsLayout::scaledRect()
{
    QFETCH(QRect, twips);
    QFETCH(double, scale);
    QFETCH(QRect, pixels);
    QCOMPARE(TwipsLayout::scaled(twips, scale), pixels);
}

void TestTwipsLayout::fontSize_data()
{
    QTest::addColumn<qreal>("size");
    QTest::addColumn<double>("scale");
    QTest::addColumn<qreal>("density");
    QTest::addColumn<qreal>("scaled");
    QTest::newRow("design size") << 9.0 << 1.0 << 1.0 << 9.0;
    QTest::newRow("design font under the floor stays") << 6.0 << 1.0 << 1.0 << 6.0;
    QTest::newRow("1024x768 at 125%") << 9.0 << 0.95 << 1.25 << 8.55;
    QTest::newRow("shrunk to half at 100%") << 9.0 << 0.5 << 1.0 << 7.0;
    // 7 logical points would clip every format button's caption; 5.3 are 10 device pixels high.
    QTest::newRow("1024x768 at 200%") << 9.0 << 0.59 << 2.0 << 9.0 * 0.59;
    QTest::newRow("floor in device pixels") << 9.0 << 0.3 << 2.0 << 3.5;
}

void TestTwipsLayout::fontSize()
{
    QFETCH(qreal, size);
    QFETCH(double, scale);
    QFETCH(qreal, density);
    QFETCH(qreal, scaled);
    QCOMPARE(TwipsLayout::scaledFontSize(size, scale, 7.0, density), scaled);
}

QTEST_GUILESS_MAIN(TestTwipsLayout)
#include "tst_twipslayout.moc"
