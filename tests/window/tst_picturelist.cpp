// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/PictureList.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;

class TestPictureList : public QObject {
    Q_OBJECT

private slots:
    void changingEntriesNeverReportsASelection_data();
    void changingEntriesNeverReportsASelection();
    void removingTheSelectedEntryLeavesNothingSelected();
    void removingAnotherEntryKeepsTheSelection();
    void selectingFromCodeReportsLikeAClick();
    void outsideIndexes();
    void userClickReports();
};

namespace {
void fill(PictureList& list)
{
    list.addEntries({u"/p/a.jpg"_s, u"/p/b.jpg"_s, u"/p/c.jpg"_s});
}
} // namespace

void TestPictureList::changingEntriesNeverReportsASelection_data()
{
    QTest::addColumn<int>("selected");
    QTest::newRow("nothing selected") << -1;
    QTest::newRow("first selected") << 0;
    QTest::newRow("last selected") << 2;
}

void TestPictureList::changingEntriesNeverReportsASelection()
{
    QFETCH(int, selected);
    PictureList list;
    fill(list);
    if (selected >= 0)
        list.setSelectedIndex(selected);
    QSignalSpy reports(&list, &PictureList::selectionChosen);
    list.addEntry(u"/p/d.jpg"_s);
    list.removeEntry(0);
    list.removeEntry(list.selectedIndex());
    list.removeEntry(list.entryCount() - 1);
    list.clearEntries();
    QCOMPARE(reports.count(), 0);
    QCOMPARE(list.entryCount(), 0);
    QCOMPARE(list.selectedIndex(), -1);
}

void TestPictureList::removingTheSelectedEntryLeavesNothingSelected()
{
    PictureList list;
    fill(list);
    list.setSelectedIndex(1);
    QVERIFY(list.removeEntry(1));
    QCOMPARE(list.selectedIndex(), -1);
    QCOMPARE(list.entryCount(), 2);
    QCOMPARE(list.entryText(1), u"/p/c.jpg"_s);
}

void TestPictureList::removingAnotherEntryKeepsTheSelection()
{
    PictureList list;
    fill(list);
    list.setSelectedIndex(2);
    QVERIFY(list.removeEntry(0));
    QCOMPARE(list.selectedIndex(), 1);
    QCOMPARE(list.entryText(list.selectedIndex()), u"/p/c.jpg"_s);
}

void TestPictureList::selectingFromCodeReportsLikeAClick()
{
    PictureList list;
    fill(list);
    QSignalSpy reports(&list, &PictureList::selectionChosen);
    QVERIFY(list.setSelectedIndex(1));
    QVERIFY(list.setSelectedIndex(1));
    QCOMPARE(reports.count(), 2);
    QCOMPARE(reports.at(0).at(0).toInt(), 1);
    QCOMPARE(list.selectedIndex(), 1);
}

void TestPictureList::outsideIndexes()
{
    PictureList list;
    fill(list);
    QSignalSpy reports(&list, &PictureList::selectionChosen);
    QVERIFY(!list.setSelectedIndex(3));
    QVERIFY(!list.setSelectedIndex(-1));
    QVERIFY(!list.removeEntry(-1));
    QVERIFY(!list.removeEntry(3));
    QCOMPARE(list.entryText(-1), QString());
    QCOMPARE(list.entryText(3), QString());
    QCOMPARE(list.entryCount(), 3);
    QCOMPARE(reports.count(), 0);
}

void TestPictureList::userClickReports()
{
    PictureList list;
    list.resize(200, 200);
    fill(list);
    list.show();
    QVERIFY(QTest::qWaitForWindowExposed(&list));
    QSignalSpy reports(&list, &PictureList::selectionChosen);
    const QRect second = list.visualItemRect(list.item(1));
    QTest::mouseClick(list.viewport(), Qt::LeftButton, {}, second.center());
    QCOMPARE(reports.count(), 1);
    QCOMPARE(reports.at(0).at(0).toInt(), 1);
    QTest::keyClick(&list, Qt::Key_Down);
    QCOMPARE(reports.count(), 2);
    QCOMPARE(reports.at(1).at(0).toInt(), 2);
}

QTEST_MAIN(TestPictureList)
#include "tst_picturelist.moc"
