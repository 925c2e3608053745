// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/FinalName.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace {
using FinalName::Outcome;
using FinalName::Way;

void save(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray bytesOf(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}
} // namespace

class TestFinalName : public QObject {
    Q_OBJECT

private slots:
    void moves_data();
    void moves();
};

// What has the final name: nothing, a user's file, a link to a file elsewhere, a link to nothing, a
// folder. Each way of moving, and a move the user agreed to ("replace"), against each.
void TestFinalName::moves_data()
{
    QTest::addColumn<QString>("way");
    QTest::addColumn<QString>("there");
    QTest::addColumn<Outcome>("outcome");
    const QStringList ways{u"no-replace rename"_s, u"hard link"_s, u"look first"_s, u"best"_s};
    for (const QString& way : ways) {
        QTest::addRow("%s, nothing there", qPrintable(way)) << way << u"nothing"_s << Outcome::Moved;
        for (const QString& there : {u"file"_s, u"link"_s, u"dangling link"_s, u"folder"_s})
            QTest::addRow("%s, %s there", qPrintable(way), qPrintable(there)) << way << there << Outcome::Taken;
    }
    QTest::newRow("replace, nothing there") << u"replace"_s << u"nothing"_s << Outcome::Moved;
    QTest::newRow("replace, file there") << u"replace"_s << u"file"_s << Outcome::Moved;
    // The link itself is replaced; the file it points to is the user's and stays.
    QTest::newRow("replace, link there") << u"replace"_s << u"link"_s << Outcome::Moved;
    QTest::newRow("replace, folder there") << u"replace"_s << u"folder"_s << Outcome::Taken;
}

void TestFinalName::moves()
{
    QFETCH(QString, way);
    QFETCH(QString, there);
    QFETCH(Outcome, outcome);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(u"out"_s));
    const QString out = dir.filePath(u"out"_s);
    save(out + u"/.x.part"_s, "output");
    save(dir.filePath(u"elsewhere"_s), "a user's file");
    const QString final = out + u"/x.png"_s;
    if (there == u"file"_s)
        save(final, "a user's file");
    else if (there == u"link"_s)
        QVERIFY(QFile::link(dir.filePath(u"elsewhere"_s), final));
    else if (there == u"dangling link"_s)
        QVERIFY(QFile::link(dir.filePath(u"nowhere"_s), final));
    else if (there == u"folder"_s)
        QVERIFY(QDir(out).mkdir(u"x.png"_s));

    const int folder = ::open(QFile::encodeName(out).constData(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    QVERIFY(folder >= 0);
    Outcome moved = Outcome::Failed;
    if (way == u"replace"_s || way == u"best"_s)
        moved = FinalName::place(folder, ".x.part", "x.png", way == u"replace"_s);
    else
        moved = FinalName::move(folder, ".x.part", "x.png",
                                way == u"hard link"_s    ? Way::HardLink
                                : way == u"look first"_s ? Way::LookFirst
                                                         : Way::NoReplaceRename);
    ::close(folder);
    QCOMPARE(moved, outcome);
    QCOMPARE(bytesOf(dir.filePath(u"elsewhere"_s)), "a user's file"_ba);
    if (outcome == Outcome::Moved) {
        QCOMPARE(bytesOf(final), "output"_ba);
        QVERIFY(!QFileInfo(final).isSymLink());
        QCOMPARE(QDir(out).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), QStringList{u"x.png"_s});
        return;
    }
    // Nothing changed: the output waits under its temporary name, whatever had the name keeps it.
    QCOMPARE(bytesOf(out + u"/.x.part"_s), "output"_ba);
    if (there == u"file"_s)
        QCOMPARE(bytesOf(final), "a user's file"_ba);
    if (there.contains(u"link"_s))
        QVERIFY(QFileInfo(final).isSymLink());
    if (there == u"folder"_s)
        QVERIFY(QFileInfo(final).isDir());
}

QTEST_GUILESS_MAIN(TestFinalName)
#include "tst_finalname.moc"
