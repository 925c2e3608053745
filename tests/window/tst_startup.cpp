// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Startup.h"

#include <QApplication>
#include <QLocale>
#include <QProcess>
#include <QTest>

using namespace Qt::StringLiterals;

class TestStartup : public QObject {
    Q_OBJECT

private slots:
    void arguments_data();
    void arguments();
    void display_data();
    void display();
    void localeStaysInside();
};

void TestStartup::arguments_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QString>("asks");
    QTest::newRow("nothing") << QStringList() << QStringList() << QString();
    QTest::newRow("files and a folder") << QStringList{u"a.jpg"_s, u"/p/b c.png"_s, u"dir"_s}
                                        << QStringList{u"a.jpg"_s, u"/p/b c.png"_s, u"dir"_s} << QString();
    QTest::newRow("help") << QStringList{u"--help"_s} << QStringList() << u"help"_s;
    QTest::newRow("-h among files") << QStringList{u"a.jpg"_s, u"-h"_s} << QStringList{u"a.jpg"_s} << u"help"_s;
    QTest::newRow("version") << QStringList{u"--version"_s} << QStringList() << u"version"_s;
    QTest::newRow("a file named like an option after --")
        << QStringList{u"--"_s, u"--help"_s, u"-x.png"_s} << QStringList{u"--help"_s, u"-x.png"_s} << QString();
    QTest::newRow("a file named -") << QStringList{u"-"_s} << QStringList{u"-"_s} << QString();
    QTest::newRow("unknown option") << QStringList{u"-platform"_s, u"xcb"_s} << QStringList() << u"error"_s;
}

void TestStartup::arguments()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, files);
    QFETCH(QString, asks);
    const Startup::Arguments parsed = Startup::parse(arguments);
    QCOMPARE(parsed.help, asks == u"help"_s);
    QCOMPARE(parsed.version, asks == u"version"_s);
    QCOMPARE(parsed.error.isEmpty(), asks != u"error"_s);
    if (asks != u"error"_s)
        QCOMPARE(parsed.files, files);
}

void TestStartup::display_data()
{
    QTest::addColumn<QStringList>("environment");
    QTest::addColumn<bool>("opens");
    QTest::newRow("X11") << QStringList{u"HOME=/h"_s, u"DISPLAY=:0"_s} << true;
    QTest::newRow("Wayland") << QStringList{u"WAYLAND_DISPLAY=wayland-0"_s} << true;
    QTest::newRow("a platform chosen") << QStringList{u"QT_QPA_PLATFORM=offscreen"_s} << true;
    QTest::newRow("none") << QStringList{u"HOME=/h"_s, u"XDISPLAY=:0"_s} << false;
    QTest::newRow("empty DISPLAY") << QStringList{u"DISPLAY="_s} << false;
}

void TestStartup::display()
{
    QFETCH(QStringList, environment);
    QFETCH(bool, opens);
    QCOMPARE(!Startup::missingDisplay(environment).has_value(), opens);
}

// The interface reads Chinese; what the window starts (the file manager) gets the user's own locale.
void TestStartup::localeStaysInside()
{
    QCOMPARE(QLocale::system().name(), u"zh_CN"_s);
    QProcess child;
    child.start(u"env"_s, {});
    QVERIFY(child.waitForFinished());
    const QString environment = QString::fromLocal8Bit(child.readAllStandardOutput());
    QVERIFY2(environment.contains(u"\nLC_ALL=fr_FR.UTF-8\n"_s) || environment.startsWith(u"LC_ALL=fr_FR.UTF-8\n"_s),
             qPrintable(environment));
    QCOMPARE(qgetenv("LC_ALL"), "fr_FR.UTF-8"_ba);
}

int main(int argc, char* argv[])
{
    // A French user starts the program.
    qputenv("LC_ALL", "fr_FR.UTF-8");
    Startup::InterfaceLocale interfaceLocale;
    QApplication app(argc, argv);
    interfaceLocale.settle();
    TestStartup test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_startup.moc"
