#include "QtDesktop.h"

#include <QComboBox>
#include <QFile>
#include <QFileDialog>
#include <QListView>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

class TestQtDesktop : public QObject {
    Q_OBJECT

private slots:
    void packDialogResult_data();
    void packDialogResult();
    void dialogShowsDescriptionAndFiltersWithoutCase();
};

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
    const std::unique_ptr<QFileDialog> dialog = makeOpenDialog(nullptr, filter);
    dialog->setOption(QFileDialog::DontUseNativeDialog);
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

QTEST_MAIN(TestQtDesktop)
#include "tst_qtdesktop.moc"
