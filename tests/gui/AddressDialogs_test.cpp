// The Add Recipients dialog and the history box.
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include "gui/AddRecipientsDialog.h"
#include "gui/HistoryCombo.h"
#include "gui/UiTestSupport.h"

using namespace dtlui;

class AddressDialogsTest : public QObject {
  Q_OBJECT
  QTemporaryDir home_;
  QString book_;

  static QStringList Items(QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i) out << list->item(i)->text();
    return out;
  }

 private slots:
  void initTestCase() { uitest::IsolateEnvironment(home_); }
  void init() {
    book_ = home_.path() + "/Contacts.dat";
    uitest::WriteFile(book_, "bob@example.org\r\nann@example.org\r\n");
  }

  void AddIsEnabledOnlyForTextWithAt() {
    AddRecipientsDialog dlg(nullptr, {}, book_.toStdString());
    QVERIFY(!dlg.AddButton()->isEnabled());
    dlg.AddressEdit()->setText("no-at-sign");
    QVERIFY(!dlg.AddButton()->isEnabled());
    dlg.AddressEdit()->setText("x@y");
    QVERIFY(dlg.AddButton()->isEnabled());
  }

  void AddedAddressLosesCommasAndCaseDuplicatesStillRewriteTheBook() {
    AddRecipientsDialog dlg(nullptr, {}, book_.toStdString());
    dlg.AddressEdit()->setText("c,arol@exa,mple.org");
    dlg.AddButton()->click();
    dlg.AddressEdit()->setText("ANN@example.org");
    dlg.AddButton()->click();
    QCOMPARE(Items(dlg.BookList()),
             (QStringList{"ann@example.org", "bob@example.org", "carol@example.org"}));
    dlg.accept();
    QCOMPARE(uitest::ReadFile(book_),
             QByteArray("ann@example.org\r\nbob@example.org\r\ncarol@example.org\r\n"));
  }

  void CancelLeavesTheBookAlone() {
    AddRecipientsDialog dlg(nullptr, {}, book_.toStdString());
    dlg.AddressEdit()->setText("new@example.org");
    dlg.AddButton()->click();
    dlg.reject();
    QCOMPARE(uitest::ReadFile(book_), QByteArray("bob@example.org\r\nann@example.org\r\n"));
    QCOMPARE(dlg.Result(), QString());
  }

  void ChosenRecipientsComeBackLowerCaseInListOrder() {
    AddRecipientsDialog dlg(nullptr, {}, book_.toStdString());
    dlg.AddressEdit()->setText("Zed@Example.ORG");
    dlg.AddButton()->click();
    for (int row : {2, 0, 0}) {  // Zed, then ann twice: no copy
      dlg.BookList()->setCurrentRow(row);
      QVERIFY(dlg.CopyButton()->isEnabled());
      QVERIFY(dlg.DeleteButton()->isEnabled());
      dlg.CopyButton()->click();
    }
    QCOMPARE(Items(dlg.RecipientsList()), (QStringList{"ann@example.org", "Zed@Example.ORG"}));
    dlg.accept();
    QCOMPARE(dlg.Result(), QString("ann@example.org;zed@example.org;"));
  }

  void ButtonsFollowTheListBeingWorkedIn() {
    AddRecipientsDialog dlg(nullptr, "ann@example.org;", book_.toStdString());
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    const auto click = [](QListWidget* list, int row) {
      QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                        list->visualItemRect(list->item(row)).center());
    };
    click(dlg.RecipientsList(), 0);
    QVERIFY(dlg.RemoveButton()->isEnabled());
    click(dlg.BookList(), 1);
    QVERIFY(!dlg.RemoveButton()->isEnabled());
    dlg.DeleteButton()->click();
    QCOMPARE(Items(dlg.BookList()), QStringList{"ann@example.org"});
    QVERIFY(!dlg.DeleteButton()->isEnabled());
    QVERIFY(!dlg.CopyButton()->isEnabled());
    click(dlg.RecipientsList(), 0);  // already selected: the click alone moves the work there
    dlg.RemoveButton()->click();
    QCOMPARE(dlg.RecipientsList()->count(), 0);
    QVERIFY(!dlg.RemoveButton()->isEnabled());
  }

  void HistoryBoxKeepsFiveNewestAndSelectsTheRememberedText() {
    dtl::SettingsStore store((home_.path() + "/history.reg").toStdString());
    {
      HistoryCombo box(store);
      box.SetMaxHistoryItems(5);
      box.LoadHistory("HistoryCombo");
      for (int i = 1; i <= 6; ++i) {
        box.setEditText(QString("u%1@x.org").arg(i));
        box.SaveHistory();
      }
      box.setEditText("u4@x.org");
      box.SaveHistory(false);
    }
    HistoryCombo again(store);
    again.SetMaxHistoryItems(5);
    QCOMPARE(again.LoadHistory("HistoryCombo"), QString("u4@x.org"));
    QCOMPARE(again.count(), 5);
    QCOMPARE(again.itemText(0), QString("u6@x.org"));
    QCOMPARE(again.currentIndex(), 2);  // the remembered text is an item: it is selected
    QCOMPARE(again.AddToHistory("  U5@X.org "), 0);
    QCOMPARE(again.itemText(0), QString("U5@X.org"));
    QCOMPARE(again.count(), 5);
  }
};

QTEST_MAIN(AddressDialogsTest)
#include "AddressDialogs_test.moc"
