// SPDX-License-Identifier: GPL-3.0-or-later
// The shape of the source tree, read from the tree itself: no include circles between files (a header
// and its source are one), no source file a reader cannot take in, and includes that name their folder.
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSet>
#include <QTest>

#include <algorithm>
#include <functional>

using namespace Qt::StringLiterals;

namespace {
struct SourceFile {
    // From the top of the tree, with "/".
    QString path;
    int lines = 0;
    // What its #include "..." lines name, in order.
    QStringList includes;
};
using Tree = QList<SourceFile>;

constexpr int longestFile = 700;

// Files allowed over the limit while they are being split: none now, and the test fails when a
// file listed here is short again.
const QStringList tooLongForNow{};

const QStringList sourceFolders{u"app"_s,    u"core"_s,  u"ipc"_s,  u"client"_s,
                                u"worker"_s, u"bench"_s, u"fuzz"_s, u"tests"_s};

int lineCount(const QByteArray& text)
{
    return int(text.count('\n')) + (text.isEmpty() || text.endsWith('\n') ? 0 : 1);
}

QStringList includesIn(const QByteArray& text)
{
    static const QRegularExpression include(uR"re(^[ \t]*#[ \t]*include[ \t]*"([^"]+)")re"_s,
                                            QRegularExpression::MultilineOption);
    QStringList names;
    for (const QRegularExpressionMatch& match : include.globalMatch(QString::fromUtf8(text)))
        names.append(match.captured(1));
    return names;
}

Tree readTree(const QString& top)
{
    Tree tree;
    for (const QString& folder : sourceFolders) {
        QDirIterator it(top + u'/' + folder, {u"*.h"_s, u"*.cpp"_s}, QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            QFile file(it.next());
            if (!file.open(QIODevice::ReadOnly))
                continue;
            const QByteArray text = file.readAll();
            tree.append({QDir(top).relativeFilePath(file.fileName()), lineCount(text), includesIn(text)});
        }
    }
    std::sort(tree.begin(), tree.end(), [](const SourceFile& a, const SourceFile& b) { return a.path < b.path; });
    return tree;
}

// What moc makes in the build folder for a file that includes it.
bool isMocOutput(const QString& include)
{
    return include.endsWith(u".moc"_s) || include.section(u'/', -1).startsWith(u"moc_"_s);
}

// A header and its source are one piece of the program: "worker/Metadata".
QString nodeOf(const QString& path)
{
    return path.left(path.lastIndexOf(u'.'));
}

// A circle in graph, as the nodes along it with the first again at the end; empty when there is none.
QStringList findCircle(const QMap<QString, QStringList>& graph)
{
    enum State { Unseen, OnPath, Done };
    QMap<QString, State> state;
    QStringList path;
    const std::function<QStringList(const QString&)> visit = [&](const QString& node) -> QStringList {
        state[node] = OnPath;
        path.append(node);
        for (const QString& next : graph.value(node)) {
            if (state.value(next) == OnPath)
                return path.mid(path.indexOf(next)) << next;
            if (state.value(next) == Unseen) {
                if (QStringList circle = visit(next); !circle.isEmpty())
                    return circle;
            }
        }
        path.removeLast();
        state[node] = Done;
        return {};
    };
    for (auto it = graph.keyBegin(); it != graph.keyEnd(); ++it) {
        if (state.value(*it) == Unseen) {
            if (QStringList circle = visit(*it); !circle.isEmpty())
                return circle;
        }
    }
    return {};
}

// The files that make a circle of includes, each with the one it includes; empty when there is none.
QStringList includeCircle(const Tree& tree)
{
    QSet<QString> files;
    for (const SourceFile& file : tree)
        files.insert(file.path);
    QMap<QString, QStringList> graph;
    // Which file of one piece includes which of the next, to report files rather than pieces.
    QMap<std::pair<QString, QString>, QString> witness;
    for (const SourceFile& file : tree) {
        for (const QString& include : file.includes) {
            const QString from = nodeOf(file.path);
            const QString to = nodeOf(include);
            if (!files.contains(include) || from == to || graph[from].contains(to))
                continue;
            graph[from].append(to);
            witness[{from, to}] = file.path + u" includes "_s + include;
        }
    }
    const QStringList circle = findCircle(graph);
    QStringList report;
    for (qsizetype i = 1; i < circle.size(); ++i)
        report.append(witness.value({circle[i - 1], circle[i]}));
    return report;
}

// Source files over longestFile lines, outside tests/ and the exemptions; an exemption no longer
// needed is reported too, so that the list cannot outlive its reason.
QStringList longFiles(const Tree& tree, const QStringList& exempt)
{
    QStringList report;
    QStringList stillLong;
    for (const SourceFile& file : tree) {
        if (file.path.startsWith(u"tests/"_s) || file.lines <= longestFile)
            continue;
        if (exempt.contains(file.path))
            stillLong.append(file.path);
        else
            report.append(u"%1: %2 lines"_s.arg(file.path).arg(file.lines));
    }
    for (const QString& path : exempt) {
        if (!stillLong.contains(path))
            report.append(path + u": exempt, but no longer over the limit"_s);
    }
    return report;
}

// Includes of the project's own headers that do not name them from the top of the tree.
QStringList unplacedIncludes(const Tree& tree, const std::function<bool(const QString&)>& existsAtTop)
{
    QStringList report;
    for (const SourceFile& file : tree) {
        for (const QString& include : file.includes) {
            if (isMocOutput(include))
                continue;
            if (!include.contains(u'/') || include.split(u'/').contains(u".."_s) || !existsAtTop(include))
                report.append(file.path + u": \""_s + include + u'"');
        }
    }
    return report;
}

// A made-up tree in one line: "a/X.cpp>a/X.h,b/Y.h; b/Y.h" is two files, the first with two includes.
Tree treeOf(const QString& text)
{
    Tree tree;
    for (const QString& part : text.split(u';', Qt::SkipEmptyParts)) {
        const QStringList sides = part.trimmed().split(u'>');
        SourceFile file{sides[0], 1, {}};
        if (sides.size() > 1)
            file.includes = sides[1].split(u',', Qt::SkipEmptyParts);
        tree.append(file);
    }
    return tree;
}
} // namespace

class TestLayout : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void circles_data();
    void circles();
    void longFilesFound_data();
    void longFilesFound();
    void includeNames_data();
    void includeNames();
    void noIncludeCircle();
    void noLongFile();
    void includesNameTheirFolder();

private:
    Tree m_tree;
};

void TestLayout::initTestCase()
{
    m_tree = readTree(QStringLiteral(KALVORIN_SOURCE_DIR));
    // A tree not found would pass every check.
    const auto has = [this](const QString& path) {
        return std::any_of(m_tree.cbegin(), m_tree.cend(), [&](const SourceFile& file) { return file.path == path; });
    };
    QVERIFY(has(u"app/MainWindow.cpp"_s));
    QVERIFY(has(u"ipc/Protocol.h"_s));
    QVERIFY(has(u"tests/package/tst_layout.cpp"_s));
    QVERIFY(m_tree.size() > 50);
}

// Each row a made-up tree and the files of the circle found in it, empty for none.
void TestLayout::circles_data()
{
    QTest::addColumn<QString>("tree");
    QTest::addColumn<QStringList>("circle");
    QTest::newRow("none") << u"a/X.cpp>a/X.h,b/Y.h; a/X.h; b/Y.h"_s << QStringList{};
    QTest::newRow("a source includes its header") << u"a/X.cpp>a/X.h; a/X.h"_s << QStringList{};
    QTest::newRow("diamond") << u"a/A.h>a/B.h,a/C.h; a/B.h>a/D.h; a/C.h>a/D.h; a/D.h"_s << QStringList{};
    QTest::newRow("two headers") << u"a/X.h>b/Y.h; b/Y.h>a/X.h"_s
                                 << QStringList{u"a/X.h includes b/Y.h"_s, u"b/Y.h includes a/X.h"_s};
    // Neither file includes the other's includer, but the pieces call each other.
    QTest::newRow("through a source") << u"a/X.h>b/Y.h; b/Y.h; b/Y.cpp>b/Y.h,a/X.h"_s
                                      << QStringList{u"a/X.h includes b/Y.h"_s, u"b/Y.cpp includes a/X.h"_s};
    QTest::newRow("three, reached from outside")
        << u"a/Main.cpp>a/A.h; a/A.h>a/B.h; a/B.h>a/C.h; a/C.h>a/A.h"_s
        << QStringList{u"a/A.h includes a/B.h"_s, u"a/B.h includes a/C.h"_s, u"a/C.h includes a/A.h"_s};
    // Only files of the tree make edges: moc's output and system headers are no part of a circle.
    QTest::newRow("moc and outside files") << u"a/X.cpp>a/X.h,X.moc,zlib.h; a/X.h"_s << QStringList{};
}

void TestLayout::circles()
{
    QFETCH(QString, tree);
    QFETCH(QStringList, circle);
    QCOMPARE(includeCircle(treeOf(tree)), circle);
}

void TestLayout::longFilesFound_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("lines");
    QTest::addColumn<QStringList>("exempt");
    QTest::addColumn<QStringList>("report");
    QTest::newRow("at the limit") << u"core/A.cpp"_s << 700 << QStringList{} << QStringList{};
    QTest::newRow("over it") << u"core/A.cpp"_s << 701 << QStringList{} << QStringList{u"core/A.cpp: 701 lines"_s};
    QTest::newRow("a header") << u"worker/sub/B.h"_s << 900 << QStringList{}
                              << QStringList{u"worker/sub/B.h: 900 lines"_s};
    QTest::newRow("a test") << u"tests/unit/tst_a.cpp"_s << 2000 << QStringList{} << QStringList{};
    QTest::newRow("exempt") << u"worker/C.cpp"_s << 1500 << QStringList{u"worker/C.cpp"_s} << QStringList{};
    QTest::newRow("exempt no longer") << u"worker/C.cpp"_s << 600 << QStringList{u"worker/C.cpp"_s}
                                      << QStringList{u"worker/C.cpp: exempt, but no longer over the limit"_s};
}

void TestLayout::longFilesFound()
{
    QFETCH(QString, path);
    QFETCH(int, lines);
    QFETCH(QStringList, exempt);
    QFETCH(QStringList, report);
    QCOMPARE(longFiles({{path, lines, {}}}, exempt), report);
}

void TestLayout::includeNames_data()
{
    QTest::addColumn<QString>("include");
    QTest::addColumn<bool>("placed");
    QTest::newRow("from the top") << u"core/Naming.h"_s << true;
    QTest::newRow("a subfolder") << u"worker/writers/Bmp.h"_s << true;
    QTest::newRow("no folder") << u"Naming.h"_s << false;
    QTest::newRow("from the including folder") << u"writers/Bmp.h"_s << false;
    QTest::newRow("relative") << u"../core/Naming.h"_s << false;
    QTest::newRow("missing") << u"core/Nothing.h"_s << false;
    QTest::newRow("moc") << u"tst_a.moc"_s << true;
    QTest::newRow("moc of a header") << u"moc_MainWindow.cpp"_s << true;
}

void TestLayout::includeNames()
{
    QFETCH(QString, include);
    QFETCH(bool, placed);
    const QSet<QString> atTop{u"core/Naming.h"_s, u"worker/writers/Bmp.h"_s};
    const QStringList report = unplacedIncludes({{u"worker/A.cpp"_s, 1, {include}}},
                                                [&](const QString& path) { return atTop.contains(path); });
    QCOMPARE(report.isEmpty(), placed);
}

void TestLayout::noIncludeCircle()
{
    const QStringList circle = includeCircle(m_tree);
    QVERIFY2(circle.isEmpty(), qPrintable(circle.join(u"; "_s)));
}

void TestLayout::noLongFile()
{
    const QStringList report = longFiles(m_tree, tooLongForNow);
    QVERIFY2(report.isEmpty(), qPrintable(report.join(u"; "_s)));
}

void TestLayout::includesNameTheirFolder()
{
    const QDir top(QStringLiteral(KALVORIN_SOURCE_DIR));
    const QStringList report =
        unplacedIncludes(m_tree, [&](const QString& path) { return QFileInfo(top.filePath(path)).isFile(); });
    QVERIFY2(report.isEmpty(), qPrintable(report.join(u"; "_s)));
}

QTEST_GUILESS_MAIN(TestLayout)
#include "tst_layout.moc"
