// The Add Recipients dialog and the history box.
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
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
  static void Show(QDialog& dlg) {
    dlg.show();
    dlg.activateWindow();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  }
  // Types `text` into the address field and presses Enter there, as a user does.
  static void TypeAndEnter(AddRecipientsDialog& dlg, const QString& text) {
    QTest::keyClicks(dlg.AddressEdit(), text);
    QTest::keyClick(dlg.AddressEdit(), Qt::Key_Return);
  }
  static void ClickRow(QListWidget* list, int row, Qt::KeyboardModifiers mods = {}) {
    QTest::mouseClick(list->viewport(), Qt::LeftButton, mods,
                      list->visualItemRect(list->item(row)).center());
  }
  // A widget's double click from QTest is the second press alone; the first click comes before it
  // as it does from a real mouse.
  static void DoubleClickRow(QListWidget* list, int row) {
    ClickRow(list, row);
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {},
                       list->visualItemRect(list->item(row)).center());
  }
  static QPushButton* OkButton(QDialog& dlg) {
    return dlg.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
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

  // Enter in the address field is the way to add several addresses in a row: each goes to the
  // recipients (and the book), the field empties for the next and the dialog stays open; OK by
  // mouse then hands them all over.
  void EnterAddsEachTypedAddressAndKeepsTheDialogOpen() {
    AddRecipientsDialog dlg(nullptr, {}, book_.toStdString());
    QSignalSpy finished(&dlg, &QDialog::finished);
    Show(dlg);
    const QStringList typed{"dave@example.org", "Carol@Example.org", "erin@example.com"};
    for (int i = 0; i < typed.size(); ++i) {
      TypeAndEnter(dlg, typed[i]);
      QVERIFY(dlg.isVisible());
      QCOMPARE(finished.count(), 0);
      QCOMPARE(dlg.AddressEdit()->text(), QString());
      QCOMPARE(dlg.RecipientsList()->count(), i + 1);
      QCOMPARE(dlg.Note()->text(), QString());
    }
    QCOMPARE(Items(dlg.RecipientsList()),
             (QStringList{"Carol@Example.org", "dave@example.org", "erin@example.com"}));
    QCOMPARE(Items(dlg.BookList()),
             (QStringList{"ann@example.org", "bob@example.org", "Carol@Example.org",
                          "dave@example.org", "erin@example.com"}));
    // Enter on an empty field adds nothing and still does not close the dialog.
    QTest::keyClick(dlg.AddressEdit(), Qt::Key_Return);
    QVERIFY(dlg.isVisible());
    QTest::mouseClick(OkButton(dlg), Qt::LeftButton);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QCOMPARE(dlg.Result(), QString("carol@example.org;dave@example.org;erin@example.com;"));
    QCOMPARE(uitest::ReadFile(book_), QByteArray("ann@example.org\r\nbob@example.org\r\n"
                                                 "Carol@Example.org\r\ndave@example.org\r\n"
                                                 "erin@example.com\r\n"));
  }

  // What Enter does with what was typed: text that is no address and an address already
  // chosen are not added, and a note in the dialog (never a message box) says why.
  void TypedTextTheRecipientsTakeOrRefuse_data() {
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QStringList>("recipients");  // after Enter; "ann@example.org" was there
    QTest::addColumn<QString>("field");           // what the field holds afterwards
    QTest::addColumn<QString>("note");
    const QString notAddress = "Not added: an e-mail address looks like someone@example.com.";
    QTest::addRow("an address is added")
        << "eve@example.org" << QStringList{"ann@example.org", "eve@example.org"} << ""
        << "";
    QTest::addRow("blanks around it are dropped")
        << "  eve@example.org  " << QStringList{"ann@example.org", "eve@example.org"} << ""
        << "";
    QTest::addRow("commas are removed")
        << "e,ve@exam,ple.org" << QStringList{"ann@example.org", "eve@example.org"} << ""
        << "";
    QTest::addRow("no at sign: refused, kept for correcting")
        << "eve.example.org" << QStringList{"ann@example.org"} << "eve.example.org" << notAddress;
    QTest::addRow("blanks only: nothing happens")
        << "   " << QStringList{"ann@example.org"} << "   "
        << "";
    QTest::addRow("a recipient already: listed once")
        << "ANN@example.ORG" << QStringList{"ann@example.org"} << ""
        << "Already a recipient.";
  }
  void TypedTextTheRecipientsTakeOrRefuse() {
    QFETCH(QString, typed);
    QFETCH(QStringList, recipients);
    QFETCH(QString, field);
    QFETCH(QString, note);
    uitest::Messages messages;
    AddRecipientsDialog dlg(nullptr, "ann@example.org;", book_.toStdString());
    Show(dlg);
    TypeAndEnter(dlg, typed);
    QVERIFY(dlg.isVisible());
    QCOMPARE(Items(dlg.RecipientsList()), recipients);
    QCOMPARE(dlg.AddressEdit()->text(), field);
    QCOMPARE(dlg.Note()->text(), note);
    QVERIFY(messages.shown.isEmpty());
    // Typing again puts the note away.
    QTest::keyClicks(dlg.AddressEdit(), "x");
    QCOMPARE(dlg.Note()->text(), QString());
  }

  // The buttons and double-clicks between the lists take every selected entry.
  void AddAndRemoveMoveTheSelectedEntries() {
    uitest::WriteFile(book_, "ann@example.org\r\nbob@example.org\r\ncarol@example.org\r\n");
    AddRecipientsDialog dlg(nullptr, "zed@example.org;", book_.toStdString());
    Show(dlg);
    ClickRow(dlg.BookList(), 0);
    ClickRow(dlg.BookList(), 2, Qt::ControlModifier);
    QVERIFY(dlg.CopyButton()->isEnabled());
    QTest::mouseClick(dlg.CopyButton(), Qt::LeftButton);
    QCOMPARE(Items(dlg.RecipientsList()),
             (QStringList{"ann@example.org", "carol@example.org", "zed@example.org"}));
    QTest::mouseClick(dlg.CopyButton(), Qt::LeftButton);  // again: no second copies
    QCOMPARE(dlg.RecipientsList()->count(), 3);
    DoubleClickRow(dlg.BookList(), 1);
    QCOMPARE(Items(dlg.RecipientsList()), (QStringList{"ann@example.org", "bob@example.org",
                                                       "carol@example.org", "zed@example.org"}));
    ClickRow(dlg.RecipientsList(), 1);
    ClickRow(dlg.RecipientsList(), 3, Qt::ControlModifier);
    QVERIFY(dlg.RemoveButton()->isEnabled());
    QVERIFY(!dlg.CopyButton()->isEnabled());
    QTest::mouseClick(dlg.RemoveButton(), Qt::LeftButton);
    QCOMPARE(Items(dlg.RecipientsList()), (QStringList{"ann@example.org", "carol@example.org"}));
    QVERIFY(!dlg.RemoveButton()->isEnabled());
    DoubleClickRow(dlg.RecipientsList(), 0);
    QCOMPARE(Items(dlg.RecipientsList()), QStringList{"carol@example.org"});
    QCOMPARE(Items(dlg.BookList()),
             (QStringList{"ann@example.org", "bob@example.org", "carol@example.org"}));
  }

  // Enter away from the address field still means OK.
  void EnterInAListClosesWithTheRecipients() {
    AddRecipientsDialog dlg(nullptr, "ann@example.org;", book_.toStdString());
    QSignalSpy finished(&dlg, &QDialog::finished);
    Show(dlg);
    ClickRow(dlg.BookList(), 0);
    QTest::keyClick(dlg.BookList(), Qt::Key_Return);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    QCOMPARE(dlg.Result(), QString("ann@example.org;"));
  }

  void ListsAndButtonsSayWhatTheyAreFor() {
    AddRecipientsDialog dlg(nullptr, {}, book_.toStdString());
    Show(dlg);
    QMap<QWidget*, QLabel*> labels;
    for (auto* label : dlg.findChildren<QLabel*>())
      if (label->buddy()) labels[label->buddy()] = label;
    const std::pair<QWidget*, QString> expected[] = {{dlg.BookList(), "Address &book"},
                                                     {dlg.RecipientsList(), "&Recipients"},
                                                     {dlg.AddressEdit(), "E-mail:"}};
    for (const auto& [field, text] : expected) {
      QVERIFY2(labels.contains(field), qPrintable(text));
      QCOMPARE(labels[field]->text(), text);
      // Above its field, in the same column.
      QVERIFY(labels[field]->geometry().bottom() < field->geometry().top());
      QCOMPARE(labels[field]->geometry().left(), field->geometry().left());
    }
    QCOMPARE(dlg.CopyButton()->text(), QString("Add \u2192"));
    QCOMPARE(dlg.CopyButton()->toolTip(), QString("Add the selected addresses to the recipients"));
    QCOMPARE(dlg.RemoveButton()->text(), QString("\u2190 Remove"));
    QCOMPARE(dlg.RemoveButton()->toolTip(), QString("Remove the selected recipients"));
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
