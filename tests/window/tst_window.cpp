// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/BatchRun.h"
#include "app/MainWindow.h"
#include "app/PictureList.h"
#include "app/PreviewBox.h"
#include "client/QtDesktop.h"
#include "tests/support/FakeDesktop.h"
#include "tests/support/FakePictureEngine.h"

#include <QApplication>
#include <QButtonGroup>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <numeric>

using namespace Qt::StringLiterals;

namespace {
QString nul()
{
    return QString(QChar(u'\0'));
}

struct Window {
    FakeDesktop desktop;
    FakePictureEngine engine;
    MainWindow window{desktop, engine};

    Window()
    {
        for (const QString& name : {u"a"_s, u"b"_s, u"c"_s, u"d"_s, u"e"_s})
            engine.addPicture(u"/p/"_s + name + u".jpg"_s, colourOf(name));
    }

    static QColor colourOf(const QString& name) { return QColor::fromHsv(name.at(0).unicode() * 40 % 360, 200, 200); }

    PictureList* list() const { return window.findChild<PictureList*>(u"List1"_s); }
    PreviewBox* preview() const { return window.findChild<PreviewBox*>(u"Picture1"_s); }
    QPushButton* button(const QString& name) const { return window.findChild<QPushButton*>(name); }
    QLabel* label(const QString& name) const { return window.findChild<QLabel*>(name); }
    void click(const QString& name) const { QTest::mouseClick(button(name), Qt::LeftButton); }

    QStringList entries() const
    {
        QStringList out;
        for (int i = 0; i < list()->entryCount(); ++i)
            out.append(list()->entryText(i));
        return out;
    }

    void open(const QString& result)
    {
        desktop.openAnswers.append(result);
        click(u"Command7"_s);
    }

    void add(const QString& result)
    {
        desktop.openAnswers.append(result);
        click(u"Command2"_s);
    }

    /// The picture the preview shows: the name whose colour it has, empty for none, the text otherwise.
    QString shown() const
    {
        if (!preview()->text().isEmpty())
            return preview()->text();
        if (preview()->picture().isNull())
            return {};
        for (const QString& name : {u"a"_s, u"b"_s, u"c"_s, u"d"_s, u"e"_s}) {
            if (preview()->picture().pixel(0, 0) == colourOf(name).rgba())
                return name;
        }
        return u"?"_s;
    }
};

/// The lines of the message's details under heading, up to the next blank line.
QStringList sectionOf(const QString& details, const QString& heading)
{
    const QStringList lines = details.split(u'\n');
    const qsizetype start = lines.indexOf(heading);
    QStringList section;
    for (qsizetype i = start + 1; start >= 0 && i < lines.size() && !lines[i].isEmpty(); ++i)
        section.append(lines[i]);
    return section;
}

QString abc()
{
    return u"/p"_s + nul() + u"a.jpg"_s + nul() + u"b.jpg"_s + nul() + u"c.jpg"_s;
}

/// One kind of dialog shown as the program shows it, modal over the window; FakeDesktop answers the
/// others.
class OneRealDialog final : public Desktop {
public:
    enum Kind { None, OpenFiles, BrowseFolder, Ask, ShowMessage };

    FakeDesktop fake;
    Kind real = None;
    /// Runs as the fake folder browser gives its answer.
    std::function<void()> whileBrowsing;

    std::optional<QString> openFiles(QWidget* parent, const FileFilter& filter, const QString& start = {}) override
    {
        return real == OpenFiles ? m_qt.openFiles(parent, filter, start) : fake.openFiles(parent, filter, start);
    }
    QString browseFolder(QWidget* parent, const QString& title, const QString& start = {}) override
    {
        if (real == BrowseFolder)
            return m_qt.browseFolder(parent, title, start);
        if (whileBrowsing)
            whileBrowsing();
        return fake.browseFolder(parent, title, start);
    }
    QString remembered(const QString& key) const override { return fake.remembered(key); }
    void remember(const QString& key, const QString& value) override { fake.remember(key, value); }
    void showMessage(QWidget* parent, const Message& message) override
    {
        if (real == ShowMessage)
            m_qt.showMessage(parent, message);
        else
            fake.showMessage(parent, message);
    }
    int ask(QWidget* parent, const Question& question) override
    {
        return real == Ask ? m_qt.ask(parent, question) : fake.ask(parent, question);
    }
    bool openFolder(const QString& folder) override { return fake.openFolder(folder); }

private:
    QtDesktop m_qt;
};
} // namespace

class TestWindow : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void startState();
    void layout_data();
    void layout();
    void fitsSmallWindows_data();
    void fitsSmallWindows();
    void tabOrder();
    void openFilters();
    void openReplacesAndAddAppends();
    void filesFromTheCommandLine();
    void cancelKeepsTheList();
    void openLeavesPreviewAndCurIndex();
    void manyNames();
    void selectShowsAndRecords();
    void newestSelectionWins();
    void failedPictureCanBeSelectedAndDeleted();
    void deleteEntry_data();
    void deleteEntry();
    void deleteTwiceAfterTheLast();
    void viewOpensFolder();
    void keys_data();
    void keys();
    void dropsAppend();
    void foldersRemembered();
    void quitNow_data();
    void quitNow();
    void reportCountsWhatWasWritten_data();
    void reportCountsWhatWasWritten();
    void selectionAfterABatch_data();
    void selectionAfterABatch();

private:
    QTemporaryDir m_config;
};

void TestWindow::initTestCase()
{
    // Qt's file dialog keeps its state in QSettings; it goes here, not into the user's settings.
    QVERIFY(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
}

void TestWindow::startState()
{
    Window w;
    w.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    QCOMPARE(w.window.windowTitle(), u"Kalvorin"_s);
    // The layout's name for the window, as its controls keep theirs.
    QCOMPARE(w.window.objectName(), u"Form1"_s);
    // Whole on the screen, in the design's proportions; it grows no larger than the design. The offscreen
    // screen is 800 pixels wide, narrower than the design.
    const QRect available = w.window.screen()->availableGeometry();
    QVERIFY(w.window.width() <= available.width());
    QVERIFY(w.window.height() <= available.height());
    QVERIFY(qAbs(w.window.width() * 488 - w.window.height() * 845) <= 845);
    QCOMPARE(w.window.maximumSize(), QSize(845, 488));
    QCOMPARE(w.list()->entryCount(), 0);
    QVERIFY(w.preview()->isEmpty());
    QVERIFY(!w.button(u"CmdCha"_s)->isEnabled());
    const QList<QPushButton*> buttons = w.window.findChildren<QPushButton*>();
    QCOMPARE(buttons.size(), 11);
    for (QPushButton* button : buttons)
        QCOMPARE(button->isEnabled(), button->objectName() != u"CmdCha"_s);
    QVERIFY(!w.label(u"Label3"_s)->isVisible());
    QCOMPARE(w.label(u"Label3"_s)->text(), u"无"_s);
    QCOMPARE(w.list()->palette().color(QPalette::Base), QColor(26, 142, 255));
    QCOMPARE(w.list()->palette().color(QPalette::Text), QColor(Qt::white));
    QCOMPARE(w.window.selectedIndex(), 0);
    QVERIFY(w.window.pickedParts().isEmpty());
    QVERIFY(w.window.outputPath().isEmpty());

    // Label3 stays hidden whatever its caption.
    w.open(abc());
    QVERIFY(!w.label(u"Label3"_s)->isVisible());
    QCOMPARE(w.label(u"Label3"_s)->text(), u"/p/"_s);
}

void TestWindow::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("pixels");
    QTest::newRow("List1") << u"List1"_s << QString() << QRect(128, 48, 169, 412);
    QTest::newRow("Label1") << u"Label1"_s << u"文件列表："_s << QRect(128, 32, 73, 17);
    QTest::newRow("Label2") << u"Label2"_s << u"图片预览 ："_s << QRect(304, 32, 89, 17);
    QTest::newRow("Label3") << u"Label3"_s << u"无"_s << QRect(192, 504, 553, 25);
    QTest::newRow("CmdCha") << u"CmdCha"_s << u"立即查看"_s << QRect(8, 204, 93, 33);
    QTest::newRow("Command7") << u"Command7"_s << u"打开图片"_s << QRect(8, 48, 93, 37);
    QTest::newRow("Command1") << u"Command1"_s << u"删除图片"_s << QRect(8, 100, 93, 37);
    QTest::newRow("Command2") << u"Command2"_s << u"添加图片"_s << QRect(8, 152, 93, 37);
    QTest::newRow("TIFF") << u"zhuanhuan_6"_s << u"TIFF保存路径"_s << QRect(739, 324, 89, 37);
    QTest::newRow("ICO") << u"zhuanhuan_5"_s << u"ICO保存路径"_s << QRect(739, 278, 89, 37);
    QTest::newRow("JPG") << u"zhuanhuan_0"_s << u"JPG保存路径"_s << QRect(739, 94, 89, 37);
    QTest::newRow("BMP") << u"zhuanhuan_1"_s << u"BMP保存路径"_s << QRect(739, 48, 89, 37);
    QTest::newRow("GIF") << u"zhuanhuan_2"_s << u"GIF保存路径"_s << QRect(739, 140, 89, 37);
    QTest::newRow("PCX") << u"zhuanhuan_3"_s << u"PCX保存路径"_s << QRect(739, 186, 89, 37);
    QTest::newRow("PNG") << u"zhuanhuan_4"_s << u"PNG保存路径"_s << QRect(739, 232, 89, 37);
    QTest::newRow("Picture1") << u"Picture1"_s << QString() << QRect(308, 48, 417, 413);
}

void TestWindow::layout()
{
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QRect, pixels);
    // At the design size it is the design, to the pixel, after the window was smaller.
    Window w;
    w.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    w.window.resize(500, 300);
    QTRY_COMPARE(w.window.size(), QSize(500, 300));
    w.window.resize(845, 488);
    QTRY_COMPARE(w.window.size(), QSize(845, 488));
    QVERIFY(!w.window.testAttribute(Qt::WA_SetFont));
    auto* control = w.window.findChild<QWidget*>(name);
    QVERIFY(control);
    QCOMPARE(control->geometry(), pixels);
    if (auto* button = qobject_cast<QPushButton*>(control))
        QCOMPARE(button->text(), caption);
    if (auto* label = qobject_cast<QLabel*>(control))
        QCOMPARE(label->text(), caption);
}

void TestWindow::fitsSmallWindows_data()
{
    QTest::addColumn<QSize>("size");
    QTest::addColumn<bool>("captionsFit");
    // Screens' logical sizes less a panel and a window frame.
    QTest::newRow("1600x1000 at 200%") << QSize(784, 420) << true;
    QTest::newRow("1024x768 at 125%") << QSize(803, 470) << true;
    QTest::newRow("1024x768 at 150%") << QSize(667, 432) << true;
    QTest::newRow("1024x768 at 200%") << QSize(496, 304) << false;
    QTest::newRow("wide: bands left and right") << QSize(845, 300) << false;
    QTest::newRow("high: bands above and below") << QSize(600, 488) << true;
    QTest::newRow("smallest") << QSize(423, 244) << false;
}

void TestWindow::fitsSmallWindows()
{
    QFETCH(QSize, size);
    QFETCH(bool, captionsFit);
    Window w;
    w.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    const QStringList names{u"List1"_s,       u"Picture1"_s,    u"CmdCha"_s,      u"Command7"_s,    u"Command1"_s,
                            u"Command2"_s,    u"zhuanhuan_1"_s, u"zhuanhuan_0"_s, u"zhuanhuan_2"_s, u"zhuanhuan_3"_s,
                            u"zhuanhuan_4"_s, u"zhuanhuan_5"_s, u"zhuanhuan_6"_s, u"Label1"_s,      u"Label2"_s};
    w.window.resize(845, 488);
    QTRY_COMPARE(w.window.size(), QSize(845, 488));
    QList<QRect> design;
    for (const QString& name : names)
        design.append(w.window.findChild<QWidget*>(name)->geometry());
    const QRect designBox = std::accumulate(design.begin(), design.end(), QRect(), std::bit_or<>());

    w.window.resize(size);
    QTRY_COMPARE(w.window.size(), size);
    QList<QRect> fitted;
    for (const QString& name : names)
        fitted.append(w.window.findChild<QWidget*>(name)->geometry());
    const QRect box = std::accumulate(fitted.begin(), fitted.end(), QRect(), std::bit_or<>());
    QVERIFY(w.window.rect().contains(box));
    // Each control where the design has it, at one scale, to a pixel of rounding.
    const double scale = std::min(size.width() / 845.0, size.height() / 488.0);
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QRect& d = design[i];
        const QRect& f = fitted[i];
        QVERIFY2(qAbs(f.left() - box.left() - (d.left() - designBox.left()) * scale) <= 1.5, qPrintable(names[i]));
        QVERIFY2(qAbs(f.top() - box.top() - (d.top() - designBox.top()) * scale) <= 1.5, qPrintable(names[i]));
        QVERIFY2(qAbs(f.width() - d.width() * scale) <= 1.5, qPrintable(names[i]));
        QVERIFY2(qAbs(f.height() - d.height() * scale) <= 1.5, qPrintable(names[i]));
    }
    // The list, the preview and the buttons keep apart (the labels touch what they name, as designed).
    for (qsizetype i = 0; i < names.size() - 2; ++i) {
        for (qsizetype j = i + 1; j < names.size() - 2; ++j)
            QVERIFY2(!fitted[i].intersects(fitted[j]), qPrintable(names[i] + u' ' + names[j]));
    }
    QVERIFY(fitted[names.indexOf(u"zhuanhuan_1"_s)].left() > fitted[names.indexOf(u"Picture1"_s)].right());
    // What is left over is shared equally on both sides.
    const double left = box.left() - designBox.left() * scale;
    const double top = box.top() - designBox.top() * scale;
    QVERIFY(qAbs(2 * left + 845 * scale - size.width()) <= 3);
    QVERIFY(qAbs(2 * top + 488 * scale - size.height()) <= 3);

    const QFont font = w.button(u"zhuanhuan_6"_s)->font();
    QVERIFY(font.pointSizeF() < QApplication::font().pointSizeF());
    QVERIFY(font.pointSizeF() >= 7);
    if (captionsFit) {
        for (QPushButton* button : w.window.findChildren<QPushButton*>())
            QVERIFY2(button->fontMetrics().horizontalAdvance(button->text()) < button->width(),
                     qPrintable(button->text()));
    }
}

void TestWindow::tabOrder()
{
    Window w;
    QStringList order;
    QWidget* widget = w.list();
    do {
        if (widget->focusPolicy() & Qt::TabFocus)
            order.append(widget->objectName());
        widget = widget->nextInFocusChain();
    } while (widget != w.list());
    QCOMPARE(order, (QStringList{u"List1"_s, u"CmdCha"_s, u"Command7"_s, u"Command1"_s, u"Command2"_s, u"zhuanhuan_6"_s,
                                 u"zhuanhuan_5"_s, u"zhuanhuan_0"_s, u"zhuanhuan_1"_s, u"zhuanhuan_2"_s,
                                 u"zhuanhuan_3"_s, u"zhuanhuan_4"_s}));
}

void TestWindow::openFilters()
{
    Window w;
    w.click(u"Command7"_s);
    w.click(u"Command2"_s);
    QCOMPARE(w.desktop.openCalls.size(), 2);
    QCOMPARE(w.desktop.openCalls[0].description, u"所有支持的格式(*.bmp;*.jpg;*.gif;*.pcx;*.ico;*.png;*.tiff;)"_s);
    QCOMPARE(w.desktop.openCalls[0].patterns,
             (QStringList{u"*.bmp"_s, u"*.jpg"_s, u"*.gif"_s, u"*.pcx"_s, u"*.ico"_s, u"*.png"_s, u"*.tiff"_s}));
    QCOMPARE(w.desktop.openCalls[1].description, u"所有支持的格式(*.bmp;*.jpg;*.gif;*.pcx;*.ico)"_s);
    QCOMPARE(w.desktop.openCalls[1].patterns,
             (QStringList{u"*.bmp"_s, u"*.jpg"_s, u"*.gif"_s, u"*.pcx"_s, u"*.ico"_s}));
}

// "Open with" of a file manager: files as given, relative ones from the current folder, folders by the
// pictures in them, after whatever the list holds.
void TestWindow::filesFromTheCommandLine()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(u"sub"_s));
    for (const QString& name : {u"a.png"_s, u"sub/c.jpg"_s, u"sub/b.PNG"_s, u"sub/notes.txt"_s})
        QFile(dir.filePath(name)).open(QIODevice::WriteOnly);
    const QString before = QDir::currentPath();
    QVERIFY(QDir::setCurrent(dir.path()));
    Window w;
    w.open(u"/p/"_s + nul() + u"a.jpg"_s);
    w.window.addFiles({u"a.png"_s, dir.filePath(u"sub"_s)});
    QDir::setCurrent(before);
    QCOMPARE(w.entries(), (QStringList{u"/p/a.jpg"_s, dir.filePath(u"a.png"_s), dir.filePath(u"sub/b.PNG"_s),
                                       dir.filePath(u"sub/c.jpg"_s)}));
}

void TestWindow::openReplacesAndAddAppends()
{
    Window w;
    w.open(abc());
    QCOMPARE(w.entries(), (QStringList{u"/p/a.jpg"_s, u"/p/b.jpg"_s, u"/p/c.jpg"_s}));
    QCOMPARE(w.window.pickedParts(), (QStringList{u"/p/"_s, u"a.jpg"_s, u"b.jpg"_s, u"c.jpg"_s}));

    w.add(u"/q/x.gif"_s);
    w.add(u"/p"_s + nul() + u"a.jpg"_s + nul() + u"z.pcx"_s);
    QCOMPARE(w.entries(),
             (QStringList{u"/p/a.jpg"_s, u"/p/b.jpg"_s, u"/p/c.jpg"_s, u"/q/x.gif"_s, u"/p/a.jpg"_s, u"/p/z.pcx"_s}));

    w.open(u"/"_s + nul() + u"r.png"_s + nul() + u"s.bmp"_s);
    QCOMPARE(w.entries(), (QStringList{u"/r.png"_s, u"/s.bmp"_s}));
    QCOMPARE(w.label(u"Label3"_s)->text(), u"/"_s);
}

void TestWindow::cancelKeepsTheList()
{
    Window w;
    w.open(abc());
    const QStringList before = w.entries();
    w.click(u"Command7"_s);
    QCOMPARE(w.entries(), before);
    w.click(u"Command2"_s);
    QCOMPARE(w.entries(), before);
    QCOMPARE(w.window.pickedParts().size(), 4);
    QCOMPARE(w.desktop.openCalls.size(), 3);
}

void TestWindow::openLeavesPreviewAndCurIndex()
{
    Window w;
    w.open(abc());
    w.list()->setSelectedIndex(2);
    QCOMPARE(w.shown(), u"c"_s);
    w.open(u"/p"_s + nul() + u"d.jpg"_s + nul() + u"e.jpg"_s);
    QCOMPARE(w.shown(), u"c"_s);
    QCOMPARE(w.window.selectedIndex(), 2);
    QCOMPARE(w.list()->selectedIndex(), -1);
    w.add(u"/p/a.jpg"_s);
    QCOMPARE(w.shown(), u"c"_s);
    QCOMPARE(w.window.selectedIndex(), 2);
    QCOMPARE(w.engine.previewRequests, QStringList{u"/p/c.jpg"_s});
}

void TestWindow::manyNames()
{
    Window w;
    QStringList names;
    for (int i = 0; i < 40000; ++i)
        names.append(u"IMG_%1.JPG"_s.arg(i));
    w.open(u"/camera"_s + nul() + names.join(nul()));
    QCOMPARE(w.list()->entryCount(), 40000);
    QCOMPARE(w.list()->entryText(0), u"/camera/IMG_0.JPG"_s);
    QCOMPARE(w.list()->entryText(39999), u"/camera/IMG_39999.JPG"_s);
}

void TestWindow::selectShowsAndRecords()
{
    Window w;
    w.open(abc());
    w.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    QTest::mouseClick(w.list()->viewport(), Qt::LeftButton, {}, w.list()->visualItemRect(w.list()->item(1)).center());
    QCOMPARE(w.window.selectedIndex(), 1);
    QCOMPARE(w.shown(), u"b"_s);
}

void TestWindow::newestSelectionWins()
{
    Window w;
    w.engine.deferred = true;
    w.open(abc());
    w.list()->setSelectedIndex(0);
    w.list()->setSelectedIndex(2);
    w.engine.answerPending(true);
    QCOMPARE(w.shown(), u"c"_s);
    QCOMPARE(w.window.selectedIndex(), 2);
}

void TestWindow::failedPictureCanBeSelectedAndDeleted()
{
    Window w;
    w.open(u"/p"_s + nul() + u"a.jpg"_s + nul() + u"missing.jpg"_s + nul() + u"c.jpg"_s);
    w.list()->setSelectedIndex(1);
    QCOMPARE(w.window.selectedIndex(), 1);
    QVERIFY(w.shown().contains(u"文件不存在"_s));
    w.click(u"Command1"_s);
    QCOMPARE(w.entries(), (QStringList{u"/p/a.jpg"_s, u"/p/c.jpg"_s}));
    QCOMPARE(w.shown(), u"c"_s);
}

void TestWindow::deleteEntry_data()
{
    QTest::addColumn<QString>("first");
    QTest::addColumn<int>("select");
    QTest::addColumn<QString>("then");
    QTest::addColumn<QStringList>("left");
    QTest::addColumn<int>("selected");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("curIndex");

    const QString de = u"/p"_s + nul() + u"d.jpg"_s + nul() + u"e.jpg"_s;
    const QString dea = de + nul() + u"a.jpg"_s;
    QTest::newRow("middle") << abc() << 1 << QString() << QStringList{u"/p/a.jpg"_s, u"/p/c.jpg"_s} << 1 << u"c"_s << 1;
    QTest::newRow("first") << abc() << 0 << QString() << QStringList{u"/p/b.jpg"_s, u"/p/c.jpg"_s} << 0 << u"b"_s << 0;
    QTest::newRow("last") << abc() << 2 << QString() << QStringList{u"/p/a.jpg"_s, u"/p/b.jpg"_s} << -1 << QString()
                          << 2;
    QTest::newRow("nothing selected after open")
        << abc() << -1 << QString() << QStringList{u"/p/a.jpg"_s, u"/p/b.jpg"_s, u"/p/c.jpg"_s} << 0 << u"a"_s << 0;
    QTest::newRow("empty list") << QString() << -1 << QString() << QStringList{} << -1 << QString() << 0;
    QTest::newRow("old index past the new list")
        << abc() << 2 << de << QStringList{u"/p/d.jpg"_s, u"/p/e.jpg"_s} << -1 << QString() << 2;
    QTest::newRow("old index inside the new list")
        << abc() << 2 << dea << QStringList{u"/p/d.jpg"_s, u"/p/e.jpg"_s, u"/p/a.jpg"_s} << 2 << u"a"_s << 2;
}

void TestWindow::deleteEntry()
{
    QFETCH(QString, first);
    QFETCH(int, select);
    QFETCH(QString, then);
    QFETCH(QStringList, left);
    QFETCH(int, selected);
    QFETCH(QString, shown);
    QFETCH(int, curIndex);

    Window w;
    if (!first.isEmpty())
        w.open(first);
    if (select >= 0)
        w.list()->setSelectedIndex(select);
    if (!then.isEmpty())
        w.open(then);
    const QStringList parts = w.window.pickedParts();
    w.click(u"Command1"_s);
    QCOMPARE(w.entries(), left);
    QCOMPARE(w.list()->selectedIndex(), selected);
    QCOMPARE(w.shown(), shown);
    QCOMPARE(w.window.selectedIndex(), curIndex);
    QCOMPARE(w.window.pickedParts(), parts);
    QVERIFY(w.window.outputPath().isEmpty());
}

void TestWindow::deleteTwiceAfterTheLast()
{
    Window w;
    w.open(abc());
    w.list()->setSelectedIndex(2);
    w.click(u"Command1"_s);
    w.click(u"Command1"_s);
    QCOMPARE(w.entries(), (QStringList{u"/p/a.jpg"_s, u"/p/b.jpg"_s}));
    QCOMPARE(w.list()->selectedIndex(), -1);
    QVERIFY(w.preview()->isEmpty());
    QCOMPARE(w.window.selectedIndex(), 2);
    // Only a new choice lets Delete remove again.
    w.list()->setSelectedIndex(0);
    w.click(u"Command1"_s);
    QCOMPARE(w.entries(), QStringList{u"/p/b.jpg"_s});
}

void TestWindow::viewOpensFolder()
{
    Window w;
    w.button(u"CmdCha"_s)->setEnabled(true);
    w.click(u"CmdCha"_s);
    QCOMPARE(w.desktop.openedFolders, QStringList{QDir::homePath()});
    QVERIFY(w.desktop.messages.isEmpty());

    w.desktop.openFolderSucceeds = false;
    w.click(u"CmdCha"_s);
    QCOMPARE(w.desktop.messages.size(), 1);
    QCOMPARE(w.desktop.messages[0].icon, Message::Icon::Warning);
    QVERIFY(w.desktop.messages[0].text.contains(QDir::toNativeSeparators(QDir::homePath())));
}

void TestWindow::keys_data()
{
    QTest::addColumn<QString>("focus");
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<int>("openCalls");
    const QStringList abc{u"/p/a.jpg"_s, u"/p/b.jpg"_s, u"/p/c.jpg"_s};
    QTest::newRow("Delete in the list removes the selected")
        << u"List1"_s << int(Qt::Key_Delete) << 0 << QStringList{u"/p/a.jpg"_s, u"/p/c.jpg"_s} << 1;
    QTest::newRow("Ctrl+O opens") << u"List1"_s << int(Qt::Key_O) << int(Qt::ControlModifier) << abc << 2;
    QTest::newRow("Enter presses the focused button") << u"Command2"_s << int(Qt::Key_Return) << 0 << abc << 2;
    QTest::newRow("Enter on the keypad too")
        << u"Command1"_s << int(Qt::Key_Enter) << 0 << QStringList{u"/p/a.jpg"_s, u"/p/c.jpg"_s} << 1;
}

void TestWindow::keys()
{
    QFETCH(QString, focus);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QStringList, entries);
    QFETCH(int, openCalls);
    Window w;
    w.window.show();
    QVERIFY(QTest::qWaitForWindowActive(&w.window));
    w.open(abc());
    w.list()->setSelectedIndex(1);
    QWidget* target = w.window.findChild<QWidget*>(focus);
    target->setFocus();
    QTRY_VERIFY(target->hasFocus());
    QTest::keyClick(target, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QTRY_COMPARE(w.entries(), entries);
    QTRY_COMPARE(w.desktop.openCalls.size(), openCalls);
}

void TestWindow::dropsAppend()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const QString& name : {u"b.png"_s, u"a.JPG"_s, u"notes.txt"_s})
        QFile(dir.filePath(name)).open(QIODevice::WriteOnly);
    QVERIFY(QDir(dir.path()).mkdir(u"inner"_s));
    QFile(dir.filePath(u"inner/deep.png"_s)).open(QIODevice::WriteOnly);
    Window w;
    w.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    w.open(abc());
    w.list()->setSelectedIndex(0);
    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(u"/q/dropped.gif"_s), QUrl::fromLocalFile(dir.path()),
                  QUrl(u"https://example.org/x.png"_s)});
    QWidget* viewport = w.list()->viewport();
    const QPoint middle = viewport->rect().center();
    QDragEnterEvent enter(middle, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(middle), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(viewport, &drop);
    // Appended after what was there, files as they are, a folder by the pictures directly in it;
    // the selection and the preview stay.
    QCOMPARE(w.entries(), (QStringList{u"/p/a.jpg"_s, u"/p/b.jpg"_s, u"/p/c.jpg"_s, u"/q/dropped.gif"_s,
                                       dir.filePath(u"a.JPG"_s), dir.filePath(u"b.png"_s)}));
    QCOMPARE(w.list()->selectedIndex(), 0);
    QCOMPARE(w.window.selectedIndex(), 0);

    // Ctrl+click on the selected entry keeps it selected: the list's selection is never empty.
    QTest::mouseClick(viewport, Qt::LeftButton, Qt::ControlModifier,
                      w.list()->visualItemRect(w.list()->item(0)).center());
    QCOMPARE(w.list()->selectedIndex(), 0);
}

void TestWindow::foldersRemembered()
{
    Window w;
    w.open(abc());
    w.desktop.folderAnswers.append(u"/out"_s);
    w.window.findChild<QButtonGroup*>()->button(4)->click();
    // What another run of the program finds: the dialogs start where the last ones ended.
    Window next;
    next.desktop.memory = w.desktop.memory;
    next.open(abc());
    next.desktop.folderAnswers.append(QString());
    next.window.findChild<QButtonGroup*>()->button(4)->click();
    QCOMPARE(w.desktop.openStartFolders, QStringList{QString()});
    QCOMPARE(next.desktop.openStartFolders, QStringList{u"/p"_s});
    QCOMPARE(next.desktop.browseStartFolders, QStringList{u"/out"_s});
}

void TestWindow::quitNow_data()
{
    QTest::addColumn<int>("realDialog");
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<bool>("holdBatch");
    QTest::addColumn<bool>("outputExists");
    QTest::addColumn<int>("batches");

    const QStringList convert{u"convert"_s};
    QTest::newRow("idle") << int(OneRealDialog::None) << QStringList() << false << false << 0;
    QTest::newRow("batch running") << int(OneRealDialog::None) << convert << true << false << 1;
    QTest::newRow("open dialog") << int(OneRealDialog::OpenFiles) << QStringList{u"open"_s} << false << false << 0;
    QTest::newRow("folder browser") << int(OneRealDialog::BrowseFolder) << convert << false << false << 0;
    QTest::newRow("folder chosen as the quit came")
        << int(OneRealDialog::None) << QStringList{u"quit while browsing"_s} << false << false << 0;
    QTest::newRow("文件已存在") << int(OneRealDialog::Ask) << convert << false << true << 0;
    QTest::newRow("正在转换，取消并退出？")
        << int(OneRealDialog::Ask) << QStringList{u"convert"_s, u"close"_s} << true << false << 1;
    QTest::newRow("completion message") << int(OneRealDialog::ShowMessage) << convert << false << false << 1;
}

void TestWindow::quitNow()
{
    QFETCH(int, realDialog);
    QFETCH(QStringList, steps);
    QFETCH(bool, holdBatch);
    QFETCH(bool, outputExists);
    QFETCH(int, batches);

    QTemporaryDir out;
    QVERIFY(out.isValid());
    if (outputExists) {
        QFile existing(out.filePath(u"a.jpg"_s));
        QVERIFY(existing.open(QIODevice::WriteOnly));
    }
    OneRealDialog desktop;
    FakePictureEngine engine;
    engine.addPicture(u"/p/a.jpg"_s, Qt::red);
    engine.holdBatches = holdBatch;
    MainWindow window(desktop, engine);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    desktop.fake.openAnswers.append(u"/p/a.jpg"_s);
    window.findChild<QPushButton*>(u"Command7"_s)->click();
    QCOMPARE(window.findChild<PictureList*>(u"List1"_s)->entryCount(), 1);
    desktop.fake.folderAnswers.append(out.path());
    desktop.real = OneRealDialog::Kind(realDialog);

    // The quit comes while the dialog waits for an answer; it must be gone once quitNow returns.
    bool quit = false;
    QString leftOpen;
    QTimer watch;
    watch.setInterval(10);
    connect(&watch, &QTimer::timeout, &window, [&] {
        QWidget* modal = QApplication::activeModalWidget();
        if (quit || !modal)
            return;
        quit = true;
        window.quitNow();
        if (QWidget* still = QApplication::activeModalWidget()) {
            leftOpen = still->windowTitle();
            // Not left to hang the test.
            if (auto* dialog = qobject_cast<QDialog*>(still))
                dialog->reject();
        }
    });
    watch.start();

    for (const QString& step : steps) {
        if (step == u"convert"_s) {
            window.findChild<QButtonGroup*>()->button(OutputFormat::Jpg)->click();
        } else if (step == u"open"_s) {
            window.findChild<QPushButton*>(u"Command7"_s)->click();
        } else if (step == u"close"_s) {
            QVERIFY(window.runningBatch());
            window.close();
        } else if (step == u"quit while browsing"_s) {
            desktop.whileBrowsing = [&] { window.quitNow(); };
            window.findChild<QButtonGroup*>()->button(OutputFormat::Jpg)->click();
        }
    }
    if (desktop.real == OneRealDialog::None)
        window.quitNow();
    else
        QTRY_VERIFY(quit);
    QCOMPARE(leftOpen, QString());
    QTRY_VERIFY(!window.isVisible());
    QVERIFY(!window.runningBatch());
    QCOMPARE(engine.batches.size(), batches);
    QCOMPARE(engine.cancelCalls, holdBatch ? 1 : 0);
    // Quitting is not a moment for a completion message, nor for a question.
    QVERIFY(desktop.fake.messages.isEmpty());
    QVERIFY(desktop.fake.questions.isEmpty());
    QCOMPARE(window.findChild<PictureList*>(u"List1"_s)->entryCount(), 1);
    // A second request while quitting does nothing more.
    window.quitNow();
    QCOMPARE(engine.cancelCalls, holdBatch ? 1 : 0);
    QVERIFY(!window.isVisible());
}

// Only pictures written under a numbered name are told as renamed: not one that failed, was
// cancelled or skipped. /q/ holds nothing; /r/a.jpg is a picture.
void TestWindow::reportCountsWhatWasWritten_data()
{
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("present");
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("cancelAfter");
    QTest::addColumn<QString>("textHas");
    QTest::addColumn<QStringList>("renamed");

    const QStringList none;
    const QString another = u"（与同一批中的另一张图片同名）"_s;
    const QString there = u"（保存路径中已有同名文件）"_s;
    const QStringList twoA{u"/p/a.jpg"_s, u"/p/b.jpg"_s, u"/r/a.jpg"_s, u"/p/c.jpg"_s};
    QTest::newRow("the numbered one is missing")
        << QStringList{u"/p/a.jpg"_s, u"/q/a.jpg"_s} << none << -1 << -1 << u"有 1 张图片未能转换"_s << none;
    QTest::newRow("numbered after a missing one")
        << QStringList{u"/q/a.jpg"_s, u"/p/a.jpg"_s} << none << -1 << -1 << u"其中 1 张图片另存为带编号的新名字"_s
        << QStringList{u"/p/a.jpg → a (2).jpg"_s + another};
    QTest::newRow("cancelled before the numbered one")
        << twoA << none << -1 << 2 << u"已转换 2 张图片，2 张未转换"_s << none;
    QTest::newRow("cancelled after the numbered one") << twoA << none << -1 << 3 << u"已转换 3 张图片，1 张未转换"_s
                                                      << QStringList{u"/r/a.jpg → a (2).jpg"_s + another};
    QTest::newRow("kept both, one missing")
        << QStringList{u"/p/a.jpg"_s, u"/q/b.jpg"_s} << QStringList{u"a.jpg"_s, u"b.jpg"_s} << 1 << -1
        << u"有 1 张图片未能转换"_s << QStringList{u"/p/a.jpg → a (2).jpg"_s + there};
    QTest::newRow("skipped and missing") << QStringList{u"/q/a.jpg"_s, u"/r/a.jpg"_s} << QStringList{u"a.jpg"_s} << 2
                                         << -1 << u"已跳过 1 张图片"_s
                                         << QStringList{u"/r/a.jpg → a (2).jpg"_s + another};
}

void TestWindow::reportCountsWhatWasWritten()
{
    QFETCH(QStringList, entries);
    QFETCH(QStringList, present);
    QFETCH(int, answer);
    QFETCH(int, cancelAfter);
    QFETCH(QString, textHas);
    QFETCH(QStringList, renamed);

    QTemporaryDir out;
    QVERIFY(out.isValid());
    for (const QString& name : present) {
        QFile file(out.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    Window w;
    w.engine.addPicture(u"/r/a.jpg"_s, Qt::red);
    w.engine.holdBatches = cancelAfter >= 0;
    w.engine.finishedBeforeHolding = cancelAfter;
    for (const QString& entry : entries)
        w.add(entry);
    QCOMPARE(w.entries(), entries);
    if (answer >= 0)
        w.desktop.questionAnswers = {answer};
    w.desktop.folderAnswers.append(out.path());
    w.window.findChild<QButtonGroup*>()->button(OutputFormat::Jpg)->click();
    QCOMPARE(w.desktop.questions.size(), answer >= 0 ? 1 : 0);
    if (cancelAfter >= 0) {
        QVERIFY(w.window.runningBatch());
        w.window.runningBatch()->cancel();
    }
    QTRY_COMPARE(w.desktop.messages.size(), 1);
    const Message& message = w.desktop.messages.first();
    QVERIFY2(message.text.contains(textHas), qPrintable(message.text));
    QCOMPARE(message.text.contains(u"另存为带编号的新名字"_s), !renamed.isEmpty());
    if (!renamed.isEmpty())
        QVERIFY(message.text.contains(u"其中 %1 张图片另存为带编号的新名字"_s.arg(renamed.size())));
    QCOMPARE(sectionOf(message.details, u"以下图片另存为带编号的新名字："_s), renamed);
}

void TestWindow::selectionAfterABatch_data()
{
    QTest::addColumn<int>("chosen");
    QTest::addColumn<bool>("cancelled");
    QTest::addColumn<int>("selected");
    QTest::addColumn<QString>("shown");

    QTest::newRow("completed") << 0 << false << 2 << u"c"_s;
    QTest::newRow("cancelled") << 0 << true << 0 << u"a"_s;
    QTest::newRow("cancelled, nothing chosen") << -1 << true << -1 << QString();
}

void TestWindow::selectionAfterABatch()
{
    QFETCH(int, chosen);
    QFETCH(bool, cancelled);
    QFETCH(int, selected);
    QFETCH(QString, shown);

    QTemporaryDir out;
    QVERIFY(out.isValid());
    Window w;
    w.engine.holdBatches = cancelled;
    w.open(abc());
    if (chosen >= 0)
        w.list()->setSelectedIndex(chosen);
    const int curIndex = w.window.selectedIndex();
    w.desktop.folderAnswers.append(out.path());
    w.window.findChild<QButtonGroup*>()->button(OutputFormat::Png)->click();
    if (cancelled) {
        QVERIFY(w.window.runningBatch());
        w.window.runningBatch()->cancel();
    }
    QTRY_COMPARE(w.desktop.messages.size(), 1);
    QCOMPARE(w.desktop.messages.first().title, cancelled ? u"转换已取消"_s : u"转换完毕"_s);
    QCOMPARE(w.list()->selectedIndex(), selected);
    QCOMPARE(w.window.selectedIndex(), selected >= 0 ? selected : curIndex);
    QCOMPARE(w.shown(), shown);
}

QTEST_MAIN(TestWindow)
#include "tst_window.moc"
