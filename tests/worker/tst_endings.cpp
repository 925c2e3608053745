// SPDX-License-Identifier: GPL-3.0-or-later
// The window's process ended from outside in the middle of writing: a logout's SIGTERM, a SIGKILL, a
// worker told to stop. Nothing is left behind, neither a temporary file in the output folder nor a
// worker's private folder.
#include "tests/support/TestPictures.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <sys/types.h>

using namespace Qt::StringLiterals;

namespace {
QStringList everythingIn(const QString& folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// The processes whose parent is pid.
QList<qint64> childrenOf(qint64 pid)
{
    QList<qint64> children;
    for (const QString& name : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
        QFile stat(u"/proc/"_s + name + u"/stat"_s);
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        // pid (command) state ppid ...
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 1 && fields[1].toLongLong() == pid)
            children.append(name.toLongLong());
    }
    return children;
}

bool isGone(qint64 pid)
{
    QFile stat(u"/proc/%1/stat"_s.arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return true;
    const QByteArray line = stat.readAll();
    return line.mid(line.lastIndexOf(')') + 2, 1) == "Z";
}
} // namespace

class TestEndings : public QObject {
    Q_OBJECT

private slots:
    void endedMidWrite_data();
    void endedMidWrite();
};

void TestEndings::endedMidWrite_data()
{
    QTest::addColumn<QString>("whom");
    QTest::addColumn<int>("signal");
    QTest::newRow("logout: SIGTERM to the window") << u"window"_s << SIGTERM;
    QTest::newRow("terminal closed: SIGHUP to the window") << u"window"_s << SIGHUP;
    QTest::newRow("SIGKILL to the window") << u"window"_s << SIGKILL;
    QTest::newRow("SIGTERM to the workers") << u"workers"_s << SIGTERM;
}

void TestEndings::endedMidWrite()
{
    QFETCH(QString, whom);
    QFETCH(int, signal);
    QTemporaryDir dir;
    const QString out = dir.filePath(u"out"_s);
    const QString temporary = dir.filePath(u"tmp"_s);
    QVERIFY(QDir().mkpath(out));
    QVERIFY(QDir().mkpath(temporary));
    // Each worker stops once part of its TIFF is written, and stays there.
    const QString source = dir.filePath(u"stall-writing.png"_s);
    TestPictures::save(TestPictures::photo(1200, 900), source, "PNG");

    QProcess owner;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"TMPDIR"_s, temporary);
    owner.setProcessEnvironment(environment);
    owner.setProcessChannelMode(QProcess::ForwardedChannels);
    owner.start(QStringLiteral(KALVORIN_OWNER_PATH), {source, out, u"2"_s});
    QVERIFY(owner.waitForStarted());
    QTRY_COMPARE_WITH_TIMEOUT(everythingIn(out).size(), 2, 60'000);
    for (const QString& name : everythingIn(out))
        QVERIFY2(name.startsWith(u".out"_s) && name.endsWith(u".part"_s), qPrintable(name));
    const QList<qint64> workers = childrenOf(owner.processId());
    QCOMPARE(workers.size(), 2);
    QCOMPARE(everythingIn(temporary).size(), 2);

    if (whom == u"window"_s) {
        ::kill(pid_t(owner.processId()), signal);
    } else {
        for (const qint64 worker : workers)
            ::kill(pid_t(worker), signal);
    }
    QVERIFY(owner.waitForFinished(30'000));
    if (signal != SIGKILL)
        QCOMPARE(owner.exitStatus(), QProcess::NormalExit);
    for (const qint64 worker : workers)
        QTRY_VERIFY2_WITH_TIMEOUT(isGone(worker), qPrintable(QString::number(worker)), 10'000);
    QTRY_COMPARE_WITH_TIMEOUT(everythingIn(out), QStringList(), 10'000);
    QTRY_COMPARE_WITH_TIMEOUT(everythingIn(temporary), QStringList(), 10'000);
}

QTEST_GUILESS_MAIN(TestEndings)
#include "tst_endings.moc"
