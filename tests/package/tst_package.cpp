// SPDX-License-Identifier: GPL-3.0-or-later
// The Debian package as a system would get it: built by CPack from this build, checked by Debian's
// own tools, unpacked into a temporary root, where the program starts and its worker converts.

#include "tests/support/TestEngine.h"
#include "tests/support/TestPictures.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
struct Run {
    int exitCode = -1;
    QString output;
};

Run run(const QString& program, const QStringList& arguments, const QString& folder = {})
{
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (!folder.isEmpty())
        process.setWorkingDirectory(folder);
    process.start(program, arguments);
    if (!process.waitForFinished(300'000))
        return {-1, u"did not finish"_s};
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAll())};
}
} // namespace

class TestPackage : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void debianAcceptsIt();
    void metadataIsValid();
    void layout_data();
    void layout();
    void programStarts();
    void commandLine_data();
    void commandLine();
    void installedWorkerConverts();

private:
    QString m_deb;
    QTemporaryDir m_root;
};

void TestPackage::initTestCase()
{
    QVERIFY(m_root.isValid());
    const QString build = QStringLiteral(KALVORIN_BUILD_DIR);
    // Its own staging folder, so that nothing of another package run is mixed in.
    QTemporaryDir staging;
    const Run cpack = run(QStringLiteral(KALVORIN_CPACK), {u"-G"_s, u"DEB"_s, u"-B"_s, staging.path()}, build);
    QVERIFY2(cpack.exitCode == 0, qPrintable(cpack.output));
    const QStringList debs = QDir(staging.path()).entryList({u"kalvorin_*.deb"_s}, QDir::Files);
    QCOMPARE(debs.size(), 1);
    m_deb = m_root.filePath(debs.front());
    QVERIFY(QFile::copy(staging.filePath(debs.front()), m_deb));
    const Run unpack = run(u"dpkg-deb"_s, {u"-x"_s, m_deb, m_root.filePath(u"tree"_s)});
    QVERIFY2(unpack.exitCode == 0, qPrintable(unpack.output));
}

void TestPackage::debianAcceptsIt()
{
    const Run lintian = run(u"lintian"_s, {u"--allow-root"_s, u"--fail-on"_s, u"error,warning"_s, m_deb});
    QVERIFY2(lintian.exitCode == 0, qPrintable(lintian.output));
    // Every library of ours is static; the system's are found where the system keeps them.
    for (const QString& binary : {u"usr/bin/kalvorin"_s, u"usr/libexec/kalvorin/kalvorin-worker"_s}) {
        const QString dynamic = run(u"readelf"_s, {u"-d"_s, m_root.filePath(u"tree/"_s + binary)}).output;
        QVERIFY2(!dynamic.contains(u"RPATH"_s) && !dynamic.contains(u"RUNPATH"_s), qPrintable(dynamic));
    }
    const QString depends = run(u"dpkg-deb"_s, {u"-f"_s, m_deb, u"Depends"_s}).output;
    // Computed from the binaries: Qt and ImageMagick come with it.
    QVERIFY2(depends.contains(u"libqt6widgets6"_s) && depends.contains(u"libmagick++-6.q16"_s), qPrintable(depends));
}

void TestPackage::metadataIsValid()
{
    const QString share = m_root.filePath(u"tree/usr/share/"_s);
    const Run appstream = run(u"appstreamcli"_s,
                              {u"validate"_s, u"--no-net"_s, share + u"metainfo/org.kalvorin.Kalvorin.metainfo.xml"_s});
    QVERIFY2(appstream.exitCode == 0, qPrintable(appstream.output));
    const Run desktop = run(u"desktop-file-validate"_s, {share + u"applications/org.kalvorin.Kalvorin.desktop"_s});
    QVERIFY2(desktop.exitCode == 0, qPrintable(desktop.output));
}

void TestPackage::layout_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("program") << u"usr/bin/kalvorin"_s;
    QTest::newRow("worker, off PATH") << u"usr/libexec/kalvorin/kalvorin-worker"_s;
    QTest::newRow("worker's policy") << u"usr/libexec/kalvorin/policy.xml"_s;
    QTest::newRow("manual") << u"usr/share/man/man1/kalvorin.1.gz"_s;
    QTest::newRow("copyright") << u"usr/share/doc/kalvorin/copyright"_s;
    QTest::newRow("icon 16") << u"usr/share/icons/hicolor/16x16/apps/org.kalvorin.Kalvorin.png"_s;
    QTest::newRow("icon 256") << u"usr/share/icons/hicolor/256x256/apps/org.kalvorin.Kalvorin.png"_s;
    QTest::newRow("scalable icon") << u"usr/share/icons/hicolor/scalable/apps/org.kalvorin.Kalvorin.svg"_s;
}

void TestPackage::layout()
{
    QFETCH(QString, path);
    QVERIFY2(QFileInfo::exists(m_root.filePath(u"tree/"_s + path)), qPrintable(path));
}

void TestPackage::programStarts()
{
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
    environment.insert(u"HOME"_s, m_root.path());
    environment.insert(u"XDG_CONFIG_HOME"_s, m_root.filePath(u"config"_s));
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(m_root.filePath(u"tree/usr/bin/kalvorin"_s), {});
    QVERIFY(program.waitForStarted());
    // Still running after three seconds: it found its libraries and shows its window.
    QVERIFY2(!program.waitForFinished(3'000), qPrintable(QString::fromLocal8Bit(program.readAll())));
    program.kill();
    program.waitForFinished();
}

// What the installed program does before it opens a window, on machines with no display or a dead one.
void TestPackage::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("display");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("says");
    QTest::newRow("--version without a display") << QStringList{u"--version"_s} << QString() << 0 << u"Kalvorin 3."_s;
    QTest::newRow("--help without a display") << QStringList{u"--help"_s} << QString() << 0 << u"用法：kalvorin"_s;
    QTest::newRow("no display") << QStringList() << QString() << 1 << u"没有图形显示"_s;
    QTest::newRow("a display nobody answers") << QStringList() << u":387"_s << 1 << u"无法打开窗口"_s;
    QTest::newRow("unknown option") << QStringList{u"--frobnicate"_s} << u":387"_s << 2 << u"未知的选项"_s;
}

void TestPackage::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, display);
    QFETCH(int, exitCode);
    QFETCH(QString, says);
    QProcess program;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& name : {u"DISPLAY"_s, u"WAYLAND_DISPLAY"_s, u"QT_QPA_PLATFORM"_s})
        environment.remove(name);
    if (!display.isEmpty())
        environment.insert(u"DISPLAY"_s, display);
    environment.insert(u"HOME"_s, m_root.path());
    environment.insert(u"XDG_CONFIG_HOME"_s, m_root.filePath(u"config"_s));
    program.setProcessEnvironment(environment);
    program.setProcessChannelMode(QProcess::MergedChannels);
    program.start(m_root.filePath(u"tree/usr/bin/kalvorin"_s), arguments);
    QVERIFY(program.waitForFinished(30'000));
    const QString output = QString::fromLocal8Bit(program.readAll());
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), exitCode);
    QVERIFY2(output.contains(says), qPrintable(output));
    // A window that cannot open says so in one line, not in Qt's words.
    if (exitCode == 1)
        QCOMPARE(output.trimmed().count(u'\n'), 0);
}

void TestPackage::installedWorkerConverts()
{
    // Found from the installed program's folder, as the program finds it.
    WorkerEngine::Options options = testEngineOptions();
    options.workerPath = WorkerEngine::workerPathFor(m_root.filePath(u"tree/usr/bin"_s));
    QCOMPARE(options.workerPath, m_root.filePath(u"tree/usr/libexec/kalvorin/kalvorin-worker"_s));
    TestPictures::save(TestPictures::photo(60, 40), m_root.filePath(u"photo.png"_s), "PNG");
    // Wider than Debian's policy allows: the worker's own policy, installed beside it, is in force.
    QImage wide(17000, 8, QImage::Format_RGB888);
    wide.fill(Qt::darkCyan);
    QVERIFY(wide.save(m_root.filePath(u"wide.png"_s)));
    WorkerEngine engine(options);
    const BatchResult result =
        runBatch(engine, {{m_root.filePath(u"photo.png"_s), m_root.filePath(u"photo.tif"_s), OutputFormat::Tiff},
                          {m_root.filePath(u"wide.png"_s), m_root.filePath(u"wide.bmp"_s), OutputFormat::Bmp}});
    QCOMPARE(result.errors, (QStringList{QString(), QString()}));
    QCOMPARE(TestPictures::formatOf(m_root.filePath(u"photo.tif"_s)), std::string("TIFF"));
}

QTEST_MAIN(TestPackage)
#include "tst_package.moc"
