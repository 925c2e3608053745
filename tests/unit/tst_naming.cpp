// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/Naming.h"
#include "core/Parsefn.h"

#include <QFile>
#include <QTest>

using namespace Qt::StringLiterals;

class TestNaming : public QObject {
    Q_OBJECT

private slots:
    void parsefn_data();
    void parsefn();
    void parsefnTakesAnyNumberOfNames();
    void getfn_data();
    void getfn();
    void outputPath_data();
    void outputPath();
    void fittedName_data();
    void fittedName();
    void formatTable();
};

namespace {
QString nul()
{
    return QString(QChar(u'\0'));
}
} // namespace

void TestNaming::parsefn_data()
{
    QTest::addColumn<QString>("result");
    QTest::addColumn<QStringList>("parts");
    QTest::newRow("one full path") << u"C:/pics/a.jpg"_s << QStringList{u"C:/pics/"_s, u"a.jpg"_s};
    QTest::newRow("one path on this machine") << u"/pics/a.jpg"_s << QStringList{u"/pics/"_s, u"a.jpg"_s};
    QTest::newRow("several names") << u"C:/pics"_s + nul() + u"a.jpg"_s + nul() + u"b.gif"_s
                                   << QStringList{u"C:/pics/"_s, u"a.jpg"_s, u"b.gif"_s};
    QTest::newRow("drive root keeps one slash")
        << u"C:/"_s + nul() + u"a.jpg"_s + nul() + u"b.gif"_s << QStringList{u"C:/"_s, u"a.jpg"_s, u"b.gif"_s};
    QTest::newRow("root folder") << u"/"_s + nul() + u"a.jpg"_s + nul() + u"b.gif"_s
                                 << QStringList{u"/"_s, u"a.jpg"_s, u"b.gif"_s};
    QTest::newRow("one file in the root") << u"/a.jpg"_s << QStringList{u"/"_s, u"a.jpg"_s};
    QTest::newRow("no separator at all") << u"photo.jpg"_s << QStringList{QString(), u"photo.jpg"_s};
    QTest::newRow("names in dialog order")
        << u"/p"_s + nul() + u"z.png"_s + nul() + u"a.png"_s << QStringList{u"/p/"_s, u"z.png"_s, u"a.png"_s};
    QTest::newRow("Chinese and spaces") << u"/照片/假期 2024"_s + nul() + u"海边 1.jpg"_s + nul() + u"山.png"_s
                                        << QStringList{u"/照片/假期 2024/"_s, u"海边 1.jpg"_s, u"山.png"_s};
}

void TestNaming::parsefn()
{
    QFETCH(QString, result);
    QFETCH(QStringList, parts);
    QCOMPARE(Parsefn(result), parts);
}

void TestNaming::parsefnTakesAnyNumberOfNames()
{
    QStringList names;
    for (int i = 0; i < 40000; ++i)
        names.append(QStringLiteral("IMG_%1.JPG").arg(i, 5, 10, QChar(u'0')));
    const QStringList parts = Parsefn(QStringLiteral("/camera") + nul() + names.join(nul()));
    QCOMPARE(parts.size(), 40001);
    QCOMPARE(parts.first(), QStringLiteral("/camera/"));
    QCOMPARE(parts.last(), QStringLiteral("IMG_39999.JPG"));
}

void TestNaming::getfn_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("base");
    QTest::newRow("photo.jpg") << u"C:/pics/photo.jpg"_s << u"photo"_s;
    QTest::newRow("four-letter extension") << u"C:/pics/scan.tiff"_s << u"scan"_s;
    QTest::newRow("jpeg") << u"/pics/photo.jpeg"_s << u"photo"_s;
    QTest::newRow("dots in the name") << u"C:/pics/a.b.gif"_s << u"a.b"_s;
    QTest::newRow("one-letter name") << u"C:/pics/x.jpg"_s << u"x"_s;
    QTest::newRow("short name and extension") << u"C:/pics/a.b"_s << u"a"_s;
    QTest::newRow("no extension") << u"C:/pics/README"_s << u"README"_s;
    QTest::newRow("four letters, no extension") << u"/pics/abcd"_s << u"abcd"_s;
    QTest::newRow("hidden file") << u"/pics/.hidden"_s << u".hidden"_s;
    QTest::newRow("no folder") << u"photo.jpg"_s << u"photo"_s;
    QTest::newRow("dot in the folder only") << u"/my.pics/photo"_s << u"photo"_s;
    QTest::newRow("Chinese") << u"/照片/海边.jpg"_s << u"海边"_s;
}

void TestNaming::getfn()
{
    QFETCH(QString, path);
    QFETCH(QString, base);
    QCOMPARE(Getfn(path), base);
}

void TestNaming::outputPath_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("entry");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("output");
    QTest::newRow("drive folder") << u"D:/out"_s << u"C:/pics/photo.jpg"_s << 4 << u"D:/out/photo.png"_s;
    QTest::newRow("folder here") << u"/out"_s << u"/pics/photo.jpg"_s << 4 << u"/out/photo.png"_s;
    QTest::newRow("tiff source to jpg") << u"D:/out"_s << u"C:/pics/scan.tiff"_s << 0 << u"D:/out/scan.jpg"_s;
    QTest::newRow("no extension to bmp") << u"D:/out"_s << u"C:/pics/abcd"_s << 1 << u"D:/out/abcd.bmp"_s;
    QTest::newRow("drive root") << u"C:/"_s << u"C:/pics/photo.jpg"_s << 2 << u"C:/photo.gif"_s;
    QTest::newRow("root") << u"/"_s << u"/pics/photo.jpg"_s << 2 << u"/photo.gif"_s;
    QTest::newRow("tiff target") << u"/out"_s << u"/p/a.png"_s << 6 << u"/out/a.tiff"_s;
    QTest::newRow("same name, own extension") << u"/out"_s << u"/p/b.bmp"_s << 1 << u"/out/b.bmp"_s;
    // 251 bytes of name: its ".tiff" would make a name of 256 bytes, which no file system takes.
    QTest::newRow("longest name to a longer extension")
        << u"/out"_s << u"/p/"_s + QString(251, u'x') + u".jpg"_s << 6 << u"/out/"_s + QString(250, u'x') + u".tiff"_s;
}

void TestNaming::outputPath()
{
    QFETCH(QString, folder);
    QFETCH(QString, entry);
    QFETCH(int, index);
    QFETCH(QString, output);
    QCOMPARE(::outputPath(folder, entry, OutputFormat::Index(index)), output);
}

void TestNaming::fittedName_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("suffix");
    QTest::addColumn<QString>("name");
    const QString clef = u"\U0001D11E"_s; // four bytes, two UTF-16 units
    QTest::newRow("short") << u"photo"_s << u".png"_s << u"photo.png"_s;
    QTest::newRow("exactly 255 bytes") << QString(251, u'a') << u".png"_s << QString(251, u'a') + u".png"_s;
    QTest::newRow("one byte over") << QString(252, u'a') << u".png"_s << QString(251, u'a') + u".png"_s;
    // 85 characters of three bytes: 255 bytes of base alone.
    QTest::newRow("Chinese, cut between characters")
        << QString(85, u'图') << u".tiff"_s << QString(83, u'图') + u".tiff"_s;
    QTest::newRow("Chinese, numbered") << QString(85, u'图') << u" (12).png"_s << QString(82, u'图') + u" (12).png"_s;
    QTest::newRow("never half a surrogate pair")
        << u"a"_s + clef.repeated(70) << u".png"_s << u"a"_s + clef.repeated(62) + u".png"_s;
}

void TestNaming::fittedName()
{
    QFETCH(QString, base);
    QFETCH(QString, suffix);
    QFETCH(QString, name);
    const QString fitted = ::fittedName(base, suffix);
    QCOMPARE(fitted, name);
    QVERIFY(QFile::encodeName(fitted).size() <= 255);
    QCOMPARE(QFile::decodeName(QFile::encodeName(fitted)), fitted);
}

void TestNaming::formatTable()
{
    const QStringList extensions{u".jpg"_s, u".bmp"_s, u".gif"_s, u".pcx"_s, u".png"_s, u".ico"_s, u".tiff"_s};
    for (int i = 0; i < OutputFormat::Count; ++i) {
        QCOMPARE(OutputFormat::extension(i), extensions[i]);
        QVERIFY(OutputFormat::caption(i).startsWith(extensions[i].mid(1).toUpper()));
        QVERIFY(OutputFormat::caption(i).endsWith(QStringLiteral("保存路径")));
    }
    QVERIFY(OutputFormat::extension(7).isEmpty());
    QVERIFY(OutputFormat::extension(-1).isEmpty());
}

QTEST_GUILESS_MAIN(TestNaming)
#include "tst_naming.moc"
