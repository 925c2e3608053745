// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/QtDesktop.h"

#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QLineEdit>
#include <QListView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

using namespace Qt::StringLiterals;

class TestQtDesktop : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void packDialogResult_data();
    void packDialogResult();
    void dialogShowsDescriptionAndFiltersWithoutCase();
    void typedNames_data();
    void typedNames();
    void dialogKeepsEveryTypedName_data();
    void dialogKeepsEveryTypedName();
    void questionAnswers_data();
    void questionAnswers();

private:
    QTemporaryDir m_config;
};

void TestQtDesktop::initTestCase()
{
    // Qt's file dialog keeps its state in QSettings; it goes here, not into the user's settings.
    QVERIFY(m_config.isValid());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config.path()));
}

namespace {
QString nul()
{
    return QString(QChar(u'\0'));
}
} // namespace

void TestQtDesktop::packDialogResult_data()
{
    QTest::addColumn<QStringList>("paths");
    QTest::addColumn<QString>("result");
    QTest::newRow("one file") << QStringList{u"/pics/a.jpg"_s} << u"/pics/a.jpg"_s;
    QTest::newRow("several") << QStringList{u"/pics/a.jpg"_s, u"/pics/b.gif"_s}
                             << u"/pics"_s + nul() + u"a.jpg"_s + nul() + u"b.gif"_s;
    QTest::newRow("several in the root") << QStringList{u"/a.jpg"_s, u"/b.gif"_s}
                                         << u"/"_s + nul() + u"a.jpg"_s + nul() + u"b.gif"_s;
    QTest::newRow("several folders") << QStringList{u"/p/a.jpg"_s, u"/q/b.gif"_s}
                                     << nul() + u"/p/a.jpg"_s + nul() + u"/q/b.gif"_s;
}

void TestQtDesktop::packDialogResult()
{
    QFETCH(QStringList, paths);
    QFETCH(QString, result);
    QCOMPARE(::packDialogResult(paths), result);
}

void TestQtDesktop::dialogShowsDescriptionAndFiltersWithoutCase()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const QString& name : {u"IMG_0001.JPG"_s, u"scan.Tiff"_s, u"a.png"_s, u"notes.txt"_s, u"photo.webp"_s}) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const FileFilter filter{u"所有支持的格式(*.bmp;*.jpg;*.gif;*.pcx;*.ico;*.png;*.tiff;)"_s,
                            {u"*.bmp"_s, u"*.jpg"_s, u"*.gif"_s, u"*.pcx"_s, u"*.ico"_s, u"*.png"_s, u"*.tiff"_s}};
    const auto dialog = std::make_unique<OpenDialog>(nullptr, filter);
    dialog->setDirectory(dir.path());
    dialog->show();

    auto* types = dialog->findChild<QComboBox*>(u"fileTypeCombo"_s);
    QVERIFY(types);
    QCOMPARE(types->itemText(0), filter.description);
    QCOMPARE(types->currentIndex(), 0);
    QCOMPARE(types->itemText(1), u"所有文件"_s);

    auto* list = dialog->findChild<QListView*>(u"listView"_s);
    QVERIFY(list);
    const auto shown = [&] {
        QStringList names;
        const QModelIndex root = list->rootIndex();
        for (int row = 0; row < list->model()->rowCount(root); ++row)
            names.append(list->model()->index(row, 0, root).data().toString());
        names.sort();
        return names;
    };
    QTRY_COMPARE(shown(), (QStringList{u"IMG_0001.JPG"_s, u"a.png"_s, u"scan.Tiff"_s}));
    dialog->selectNameFilter(dialog->nameFilters().at(1));
    QTRY_COMPARE(shown().size(), 5);
}

void TestQtDesktop::typedNames_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("names");
    QTest::newRow("one name") << u"a.jpg"_s << QStringList{u"a.jpg"_s};
    QTest::newRow("one name with spaces") << u" 海边 照片.jpg "_s << QStringList{u"海边 照片.jpg"_s};
    QTest::newRow("several in quotes") << u"\"b.png\" \"a.jpg\" \"c d.gif\""_s
                                       << QStringList{u"b.png"_s, u"a.jpg"_s, u"c d.gif"_s};
    QTest::newRow("unclosed last quote") << u"\"a.jpg\" \"b.png"_s << QStringList{u"a.jpg"_s, u"b.png"_s};
    QTest::newRow("nothing") << u"  "_s << QStringList{};
}

void TestQtDesktop::typedNames()
{
    QFETCH(QString, text);
    QFETCH(QStringList, names);
    QCOMPARE(::typedNames(text), names);
}

void TestQtDesktop::dialogKeepsEveryTypedName_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("chosen");
    // notes.txt is hidden by the filter, gone.png does not exist; both are kept, in the order typed.
    QTest::newRow("across filters and missing") << u"\"notes.txt\" \"IMG_0001.JPG\" \"gone.png\""_s
                                                << QStringList{u"notes.txt"_s, u"IMG_0001.JPG"_s, u"gone.png"_s};
    QTest::newRow("one missing name") << u"gone.png"_s << QStringList{u"gone.png"_s};
    QTest::newRow("a full path elsewhere")
        << u"\"/nowhere/x.gif\" \"a.png\""_s << QStringList{u"/nowhere/x.gif"_s, u"a.png"_s};
}

void TestQtDesktop::dialogKeepsEveryTypedName()
{
    QFETCH(QString, typed);
    QFETCH(QStringList, chosen);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const QString& name : {u"IMG_0001.JPG"_s, u"a.png"_s, u"notes.txt"_s}) {
        QFile file(dir.filePath(name));
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const FileFilter filter{u"所有支持的格式(*.bmp;*.jpg;*.gif;*.pcx;*.ico)"_s, {u"*.jpg"_s, u"*.png"_s}};
    OpenDialog dialog(nullptr, filter);
    dialog.setDirectory(dir.path());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    auto* field = dialog.findChild<QLineEdit*>(u"fileNameEdit"_s);
    QVERIFY(field);
    field->setFocus();
    QTest::keyClicks(field, typed);
    // Enter in the field, as a person would.
    QTest::keyClick(field, Qt::Key_Return);
    QTRY_COMPARE(dialog.result(), int(QDialog::Accepted));
    QStringList expected;
    for (const QString& name : chosen)
        expected.append(name.startsWith(u'/') ? name : dir.filePath(name));
    QCOMPARE(dialog.chosenFiles(), expected);
}

void TestQtDesktop::questionAnswers_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("answer");
    QTest::newRow("Enter gives the default") << int(Qt::Key_Return) << 1;
    QTest::newRow("Escape gives the escape answer") << int(Qt::Key_Escape) << 3;
}

void TestQtDesktop::questionAnswers()
{
    QFETCH(int, key);
    QFETCH(int, answer);
    QtDesktop desktop;
    Question question{u"文件已存在"_s,
                      u"2 个文件已存在"_s,
                      u"a.png\nb.png"_s,
                      {u"全部替换"_s, u"保留两者"_s, u"跳过这些"_s, u"取消"_s},
                      1,
                      3};
    QTimer::singleShot(0, this, [key] {
        QTRY_VERIFY(QApplication::activeModalWidget());
        QTest::keyClick(QApplication::activeModalWidget(), Qt::Key(key));
    });
    QCOMPARE(desktop.ask(nullptr, question), answer);
}

QTEST_MAIN(TestQtDesktop)
#include "tst_qtdesktop.moc"
