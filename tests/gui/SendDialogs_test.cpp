// The File Split and Plain Transfer dialogs: OK checks, method switching, Browse, the slider text,
// the SMTP server's size limit asked before OK closes.
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMimeData>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <functional>

#include "send/SendEngine.h"

#include "gui/AddRecipientsDialog.h"
#include "gui/HistoryCombo.h"
#include "gui/PlainTransferDialog.h"
#include "gui/SplitSendDialog.h"
#include "gui/UiTestSupport.h"
#include "gui/widgets/ColorBandSlider.h"

using namespace dtlui;

// An SMTP server on the UI thread's event loop that only greets, answers EHLO (announcing
// `size` when it is not empty) and QUIT. It can answer only while the UI thread is free, so a
// dialog that asked it from the UI thread would never hear back.
class SizeAnnouncingServer : public QObject {
 public:
  explicit SizeAnnouncingServer(QByteArray size) : size_(std::move(size)) {
    server_.listen(QHostAddress::LocalHost);
    connect(&server_, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* s = server_.nextPendingConnection()) {
        ++connections;
        s->write("220 fake ESMTP\r\n");
        connect(s, &QTcpSocket::readyRead, s, [this, s] {
          while (s->canReadLine()) {
            const QByteArray line = s->readLine();
            if (line.startsWith("EHLO"))
              s->write(size_.isEmpty() ? "250 fake\r\n" : "250-fake\r\n250 SIZE " + size_ + "\r\n");
            else if (line.startsWith("QUIT"))
              s->write("221 bye\r\n"), s->disconnectFromHost();
            else
              s->write("502 no\r\n");
          }
        });
      }
    });
  }
  quint16 port() const { return server_.serverPort(); }
  int connections = 0;

 private:
  QByteArray size_;
  QTcpServer server_;
};

class SendDialogsTest : public QObject {
  Q_OBJECT
  QTemporaryDir home_;
  std::unique_ptr<dtl::SettingsStore> store_;
  QString file_;

 private slots:
  void initTestCase() {
    uitest::IsolateEnvironment(home_);
    file_ = home_.path() + "/movie.avi";
    uitest::WriteFile(file_, QByteArray(5000, 'm'));
  }
  void init() {
    QFile::remove(home_.path() + "/settings.reg");
    store_ = std::make_unique<dtl::SettingsStore>((home_.path() + "/settings.reg").toStdString());
  }

  void OkChecksInOrderWithTheirMessages() {
    struct Case {
      const char* name;
      bool withFile;
      int method;
      QString mailTo;
      QString message;  // empty: accepted
    };
    const QString invalid = "Please enter a valid E-mail address:\n\nsomeone@example.com\n\n";
    const Case cases[] = {
        {"no file", false, 0, "a@b.org", "Please select a file to send\n\n"},
        {"two for Direct Send", true, 0, "a@b.org;c@d.org",
         "When using Direct Send, Please enter no more then one destination email address.\n\n"},
        {"one with trailing ;", true, 0, "a@b.org;", ""},
        {"two for MAPI", true, 1, "a@b.org;c@d.org", ""},
        {"no dot", true, 0, "a@borg", invalid},
        {"blank inside", true, 0, "a @b.org", invalid},
        {"no at", true, 0, "ab.org", invalid},
    };
    for (const auto& c : cases) {
      uitest::Messages m;
      SplitSendDialog dlg(*store_, false, nullptr, [](QWidget*) {});
      if (c.withFile) dlg.ChooseFiles({file_});
      dlg.ChooseMethod(c.method);
      dlg.mailTo->setEditText(c.mailTo);
      dlg.accept();
      QVERIFY2(dlg.result() == (c.message.isEmpty() ? QDialog::Accepted : QDialog::Rejected),
               c.name);
      QCOMPARE(m.Texts(), c.message.isEmpty() ? QStringList() : QStringList{c.message});
      if (!c.message.isEmpty()) QCOMPARE(m.shown.first().first, MsgIcon::Information);
    }
  }

  void OkStoresTheChoicesAndTheMailToHistory() {
    {
      SplitSendDialog dlg(*store_, false, nullptr, [](QWidget*) {});
      dlg.ChooseFiles({file_});
      dlg.slider->setValue(25);
      dlg.from->setText("me@example.org");
      dlg.mailTo->setEditText(" a@b.org ");
      dlg.accept();
      QCOMPARE(dlg.result(), QDialog::Accepted);
      QCOMPARE(dlg.Request().position, 25u);
    }
    QCOMPARE(store_->GetDword("SegSize"), 25u);
    QCOMPARE(store_->FromAddress(), std::string("me@example.org"));
    SplitSendDialog again(*store_, false, nullptr, [](QWidget*) {});
    QCOMPARE(again.slider->value(), 25);
    QCOMPARE(again.from->text(), QString("me@example.org"));
    QCOMPARE(again.mailTo->itemText(0), QString("a@b.org"));
  }

  // The Recovery Data field starts at the RecoveryPercent setting, takes what is typed into it
  // (a number past 100 is not taken), puts it into the request and keeps it on OK only.
  void RecoveryFieldRoundTripsTheSettingIntoTheRequest() {
    struct Case {
      const char* name;
      int stored;         // RecoveryPercent before the dialog opens; -1: never set
      const char* typed;  // typed over the field's number; nullptr: left as it is
      bool ok;            // OK, else Cancel
      int shown;          // the field at first
      unsigned request;   // Request().recoveryPercent at the end
      uint32_t after;     // the setting afterwards
    };
    const Case cases[] = {
        {"off by default", -1, nullptr, true, 0, 0, 0},
        {"starts at the stored share", 10, nullptr, true, 10, 10, 10},
        {"typed number replaces it", 10, "25", true, 10, 25, 25},
        {"typed one digit at a time", 0, "100", true, 0, 100, 100},
        {"digit past 100 is not taken", 0, "250", true, 0, 25, 25},
        {"typed 0 turns it off", 30, "0", true, 30, 0, 0},
        {"cancel keeps the setting", 10, "30", false, 10, 30, 10},
    };
    for (const auto& c : cases) {
      init();
      if (c.stored >= 0)
        QVERIFY(store_->SetDword("RecoveryPercent", static_cast<uint32_t>(c.stored)));
      SplitSendDialog dlg(*store_, false, nullptr, [](QWidget*) {});
      QVERIFY2(dlg.recovery, c.name);
      QVERIFY2(dlg.recovery->value() == c.shown, c.name);
      if (c.typed) {
        dlg.recovery->setFocus();
        dlg.recovery->selectAll();
        QTest::keyClicks(dlg.recovery, c.typed);
      }
      QVERIFY2(dlg.Request().recoveryPercent == c.request,
               qPrintable(QString("%1: %2").arg(c.name).arg(dlg.Request().recoveryPercent)));
      dlg.ChooseFiles({file_});
      dlg.mailTo->setEditText("a@b.org");
      if (c.ok)
        dlg.accept();
      else
        dlg.reject();
      QVERIFY2(dlg.result() == (c.ok ? QDialog::Accepted : QDialog::Rejected), c.name);
      QVERIFY2(store_->RecoveryPercent() == c.after,
               qPrintable(QString("%1: stored %2").arg(c.name).arg(store_->RecoveryPercent())));
      SplitSendDialog again(*store_, false, nullptr, [](QWidget*) {});
      QVERIFY2(again.recovery->value() == static_cast<int>(c.after), c.name);
    }
  }

  // Plain Transfer mails files whole: no recovery data, whatever the setting says.
  void PlainTransferHasNoRecoveryField() {
    QVERIFY(store_->SetDword("RecoveryPercent", 40));
    PlainTransferDialog dlg(*store_);
    QVERIFY(!dlg.recovery);
    dlg.ChooseFiles({file_});
    QCOMPARE(dlg.Request().recoveryPercent, 0u);
  }

  void MethodSwitchingEnablesFieldsAndStoresAtOnce() {
    PlainTransferDialog dlg(*store_);
    QVERIFY(dlg.from->isEnabled());
    QVERIFY(!dlg.recipients->isEnabled());
    dlg.ChooseMethod(1);
    QVERIFY(!dlg.from->isEnabled());
    QVERIFY(dlg.recipients->isEnabled());
    QCOMPARE(store_->SendType(), 1u);
    dlg.reject();
    QCOMPARE(store_->SendType(), 1u);  // stored on change, even when cancelled
  }

  // What both send dialogs propose fits the user's set-up: the configured SMTP server until
  // they choose a method, and their choice from then on (picked with the keyboard and kept by
  // OK); the SMTP login as the sender until a From address is stored. A proposal that is
  // cancelled is not a choice.
  void ProposedMethodAndSenderFitTheSetUpAndAChoiceIsKept() {
    struct Case {
      const char* name;
      bool plain;
      bool server;                       // SMTPServer and the login me@example.org set
      std::optional<uint32_t> sendType;  // stored before; nullopt: never chosen
      int shown;                         // the method the dialog opens with
      QString from;                      // the From address it opens with
      int upKeys;                        // Up presses on the method box before OK
      bool ok;                           // OK, else Cancel
      int reopened;                      // the method shown when opened again
    };
    const QString placeholder =
        QString::fromUtf8(dtl::kDefaultFromAddress.data(), dtl::kDefaultFromAddress.size());
    const QString login = "me@example.org";
    const Case cases[] = {
        {"split: no server, Direct Send", false, false, std::nullopt, 0, placeholder, 0, true, 0},
        {"split: server, nothing chosen, sendmail picked", false, true, std::nullopt, 2, login, 1,
         true, 1},
        {"plain: server, nothing chosen, Direct Send picked", true, true, std::nullopt, 2, login, 2,
         true, 0},
        {"split: server, Direct Send chosen before", false, true, 0u, 0, login, 0, true, 0},
        {"plain: server, sendmail chosen before", true, true, 1u, 1, login, 0, true, 1},
        {"plain: server, nothing chosen, cancelled", true, true, std::nullopt, 2, login, 0, false,
         2},
    };
    for (const Case& c : cases) {
      init();
      if (c.server) {
        QVERIFY(store_->SetString("SMTPServer", "smtp.example.org"));
        QVERIFY(store_->SetString("SMTPUserName", login.toStdString()));
      }
      if (c.sendType) QVERIFY(store_->SetDword("SendType", *c.sendType));
      int asked = 0;
      {
        SplitSendDialog dlg(*store_, c.plain, nullptr, [&](QWidget*) { ++asked; });
        dlg.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dlg));
        QVERIFY2(dlg.method->currentIndex() == c.shown, c.name);
        QVERIFY2(dlg.from->text() == c.from, qPrintable(dlg.from->text()));
        dlg.method->setFocus();
        for (int i = 0; i < c.upKeys; ++i) QTest::keyClick(dlg.method, Qt::Key_Up);
        QVERIFY2(dlg.method->currentIndex() == c.shown - c.upKeys, c.name);
        QTest::keyClicks(dlg.files, file_);
        QTest::keyClicks(dlg.mailTo->lineEdit(), "a@b.org");
        QTest::mouseClick(
            c.ok ? dlg.ok : dlg.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel),
            Qt::LeftButton);
        QTRY_VERIFY2(dlg.result() == (c.ok ? QDialog::Accepted : QDialog::Rejected), c.name);
      }
      SplitSendDialog again(*store_, c.plain, nullptr, [&](QWidget*) { ++asked; });
      QVERIFY2(again.method->currentIndex() == c.reopened, c.name);
      QVERIFY2(again.from->text() == c.from, c.name);
      QVERIFY2(asked == 0, c.name);
      if (!c.ok && !c.sendType) QVERIFY2(!store_->RawDword(dtl::kSettingsKey, "SendType"), c.name);
    }
  }

  // "Recipients..." follows one rule in both dialogs: usable with every method that mails several
  // recipients, never with Direct Send, whether or not an address has been typed yet.
  void RecipientsButtonFollowsOneRuleInBothDialogs() {
    struct Case {
      const char* name;
      bool plain;
      uint32_t stored;  // the method the dialog opens with
      int downKeys;     // Down presses on the method box afterwards
      bool enabled;     // the button, before and after an address is typed
    };
    const Case cases[] = {
        {"split, Direct Send", false, 0, 0, false},
        {"plain, Direct Send", true, 0, 0, false},
        {"split, sendmail", false, 1, 0, true},
        {"plain, sendmail", true, 1, 0, true},
        {"split, SMTP server", false, 2, 0, true},
        {"plain, SMTP server", true, 2, 0, true},
        {"split, Direct Send switched to sendmail", false, 0, 1, true},
        {"plain, Direct Send switched to SMTP server", true, 0, 2, true},
        {"plain, sendmail switched to SMTP server", true, 1, 1, true},
    };
    for (const Case& c : cases) {
      init();
      QVERIFY(store_->SetString("SMTPServer", "smtp.example.org"));
      QVERIFY(store_->SetDword("SendType", c.stored));
      SplitSendDialog dlg(*store_, c.plain, nullptr, [](QWidget*) {});
      dlg.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dlg));
      dlg.method->setFocus();
      for (int i = 0; i < c.downKeys; ++i) QTest::keyClick(dlg.method, Qt::Key_Down);
      QVERIFY2(dlg.method->currentIndex() == static_cast<int>(c.stored) + c.downKeys, c.name);
      QVERIFY2(dlg.recipients->isEnabled() == c.enabled, c.name);
      QTest::keyClicks(dlg.mailTo->lineEdit(), "a@b.org");
      QVERIFY2(dlg.recipients->isEnabled() == c.enabled, c.name);
    }
  }

  // "Recipients..." starts from the addresses already in Mail To: its result replaces the field,
  // so typed addresses must be in it, with the one added in the dialog after them.
  void RecipientsKeepsTheAddressesTypedInMailTo() {
    QVERIFY(store_->SetString("SMTPServer", "smtp.example.org"));
    QVERIFY(store_->SetDword("SendType", 2));
    SplitSendDialog dlg(*store_, false, nullptr, [](QWidget*) {});
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QTest::keyClicks(dlg.mailTo->lineEdit(), " bob@example.org ; Ann@example.org");
    QStringList shown;
    bool answered = false;
    std::function<void()> answer = [&] {
      auto* add = qobject_cast<AddRecipientsDialog*>(QApplication::activeModalWidget());
      if (!add) {
        QTimer::singleShot(10, answer);
        return;
      }
      for (int i = 0; i < add->RecipientsList()->count(); ++i)
        shown << add->RecipientsList()->item(i)->text();
      QTest::keyClicks(add->AddressEdit(), "cy@example.org");
      QTest::keyClick(add->AddressEdit(), Qt::Key_Return);
      QTest::mouseClick(add->findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok),
                        Qt::LeftButton);
      answered = true;
    };
    QTimer::singleShot(0, answer);
    QTest::mouseClick(dlg.recipients, Qt::LeftButton);
    QTRY_VERIFY(answered);
    QCOMPARE(shown, (QStringList{"Ann@example.org", "bob@example.org"}));
    QCOMPARE(dlg.mailTo->currentText(), QString("ann@example.org;bob@example.org;cy@example.org;"));
  }

  // The start page explains the methods by the names the dialog's list shows, so a renamed
  // method cannot leave the page describing one the user never sees.
  void StartPageExplainsEveryMethodByItsDialogName() {
    const QString page = QString::fromUtf8(
        uitest::ReadFile(QStringLiteral(DTL_SOURCE_DIR) + "/resources/home.html"));
    QVERIFY(!page.isEmpty());
    SplitSendDialog dlg(*store_, false, nullptr, [](QWidget*) {});
    QCOMPARE(dlg.method->count(), 3);
    for (int i = 0; i < dlg.method->count(); ++i)
      QVERIFY2(page.contains("<b>" + dlg.method->itemText(i) + "</b>"),
               qPrintable(dlg.method->itemText(i)));
    QVERIFY(page.contains("port 25"));
  }

  void SmtpWithoutServerOpensSettingsAndFallsBackWhenNoneIsGiven() {
    int opened = 0;
    SplitSendDialog dlg(*store_, false, nullptr, [&](QWidget*) { ++opened; });
    dlg.ChooseMethod(2);
    QCOMPARE(opened, 1);
    QCOMPARE(dlg.method->currentIndex(), 0);
    QCOMPARE(store_->SendType(), 0u);

    SplitSendDialog withServer(*store_, false, nullptr, [&](QWidget*) {
      ++opened;
      QVERIFY(store_->SetString("SMTPServer", "smtp.example.org"));
    });
    withServer.ChooseMethod(2);
    QCOMPARE(withServer.method->currentIndex(), 2);
    QVERIFY(withServer.from->isEnabled() && withServer.recipients->isEnabled());
    QCOMPARE(store_->SendType(), 2u);
  }

  void BrowseRefusesEmptyFilesAndKeepsTheRest() {
    const QString empty = home_.path() + "/empty.bin", other = home_.path() + "/other.bin";
    uitest::WriteFile(empty, {});
    uitest::WriteFile(other, "x");
    uitest::Messages m;
    PlainTransferDialog dlg(*store_);
    dlg.ChooseFiles({file_, empty, other});
    QCOMPARE(dlg.files->text(), file_ + ", " + other);
    QCOMPARE(dlg.Request().files.size(), size_t(2));
    QCOMPARE(m.Texts(), QStringList{QString("The file %1 size is too small (0)").arg(empty)});
    QCOMPARE(m.shown.first().first, MsgIcon::Error);
  }

  void SliderShowsTheSegmentSize() {
    const QList<QPair<int, QString>> cases = {{1, " 10.00KB"},   {25, "250.00KB"},
                                              {99, "990.00KB"},  {100, "  1.00MB"},
                                              {150, "  1.50MB"}, {1000, " 10.00MB"}};
    SplitSendDialog dlg(*store_, false, nullptr, [](QWidget*) {});
    for (const auto& [position, text] : cases) {
      dlg.slider->setValue(position);
      QCOMPARE(dlg.sizeDisplay->text(), text);
    }
  }

  // OK with the SMTP server method asks the server first and stays open, naming the largest
  // segment size that fits, when the largest segment's mail would be refused; anything else
  // (it fits, no limit, no server to ask) closes the dialog as before.
  void SmtpOkAsksTheServerForItsSizeLimitFirst() {
    const QString big = home_.path() + "/big.bin";
    uitest::WriteFile(big, QByteArray(250000, 'b'));
    const uint64_t fits = dtl::LargestFittingSegmentSize(60000);
    QVERIFY(fits >= 10000 && fits < 100000);
    const QString fitsText = QString("The largest segment size that fits is %1 bytes").arg(fits);
    struct Case {
      const char* name;
      bool plain;
      QByteArray size;  // the SIZE announced; empty: none
      bool reachable;
      int position;
      QString message;  // a part of the one message shown; empty: accepted without one
      int recovery = 0;
    };
    const Case cases[] = {
        {"segments too large", false, "60000", true, 10, fitsText},
        {"segments that fit", false, "60000", true, static_cast<int>(fits / 10000), {}},
        {"no limit announced", false, {}, true, 10, {}},
        {"server unreachable", false, "60000", false, 10, {}},
        {"whole file too large", true, "60000", true, 0,
         "Send it with File Split; the " + fitsText.mid(4)},
        // 25 small segments: each recovery file also describes all 26 segment files.
        {"segments fit, recovery files do not", false, "20000", true, 1,
         "the recovery files of this send make mails", 10},
        {"segments and recovery files fit", false, "60000", true, 1, {}, 10},
    };
    for (const Case& c : cases) {
      init();
      SizeAnnouncingServer server(c.size);
      QVERIFY(store_->SetString("SMTPServer", "127.0.0.1"));
      QTcpServer closed;  // a port nothing answers on once it is closed
      QVERIFY(closed.listen(QHostAddress::LocalHost));
      const quint16 deadPort = closed.serverPort();
      closed.close();
      QVERIFY(store_->SetDword("SMTPPort", c.reachable ? server.port() : deadPort));
      uitest::Messages m;
      SplitSendDialog dlg(*store_, c.plain, nullptr, [](QWidget*) {});
      dlg.ChooseFiles({big});
      if (!c.plain) dlg.slider->setValue(c.position);
      if (!c.plain) dlg.recovery->setValue(c.recovery);
      dlg.ChooseMethod(2);
      dlg.mailTo->setEditText("a@b.org");
      QSignalSpy ended(&dlg, &SplitSendDialog::sizeCheckEnded);
      dlg.accept();
      // Asking takes a round trip: the dialog neither closes nor takes a second OK meanwhile.
      QVERIFY2(!dlg.ok->isEnabled() && dlg.sizeCheckStatus->isVisibleTo(&dlg), c.name);
      QVERIFY2(dlg.result() != QDialog::Accepted, c.name);
      QVERIFY2(ended.wait(20000), c.name);
      QVERIFY2(dlg.ok->isEnabled() && !dlg.sizeCheckStatus->isVisibleTo(&dlg), c.name);
      QCOMPARE(dlg.result(), c.message.isEmpty() ? QDialog::Accepted : QDialog::Rejected);
      if (c.message.isEmpty()) {
        QVERIFY2(m.Texts().isEmpty(), qPrintable(m.Texts().join("|")));
      } else {
        QCOMPARE(m.Texts().size(), 1);
        QVERIFY2(m.Texts().first().contains(c.message), qPrintable(m.Texts().first()));
        QVERIFY2(m.Texts().first().contains("at most " + c.size + " bytes"),
                 qPrintable(m.Texts().first()));
      }
      QCOMPARE(server.connections, c.reachable ? 1 : 0);
    }
  }

  // Cancel while the server is being asked stays a Cancel when the answer comes.
  void CancelDuringTheSizeCheckStaysCancelled() {
    SizeAnnouncingServer server("60000");
    QVERIFY(store_->SetString("SMTPServer", "127.0.0.1"));
    QVERIFY(store_->SetDword("SMTPPort", server.port()));
    uitest::Messages m;
    SplitSendDialog dlg(*store_, false, nullptr, [](QWidget*) {});
    dlg.ChooseFiles({file_});
    dlg.ChooseMethod(2);
    dlg.mailTo->setEditText("a@b.org");
    QSignalSpy ended(&dlg, &SplitSendDialog::sizeCheckEnded);
    dlg.accept();
    dlg.reject();
    QVERIFY(ended.wait(20000));
    QCOMPARE(dlg.result(), QDialog::Rejected);
    QVERIFY(m.Texts().isEmpty());
  }

  // Only the SMTP server path has a server to ask; the other methods close at once.
  void OtherMethodsCloseWithoutAsking() {
    SizeAnnouncingServer server("60000");
    QVERIFY(store_->SetString("SMTPServer", "127.0.0.1"));
    QVERIFY(store_->SetDword("SMTPPort", server.port()));
    for (int method : {0, 1}) {
      SplitSendDialog dlg(*store_, false, nullptr, [](QWidget*) {});
      dlg.ChooseFiles({file_});
      dlg.ChooseMethod(method);
      dlg.mailTo->setEditText("a@b.org");
      dlg.accept();
      QCOMPARE(dlg.result(), QDialog::Accepted);
    }
    QCOMPARE(server.connections, 0);
  }

  // The file field takes what a user types, pastes or drops, as it shows several: ", "-joined.
  void TypedPastedAndDroppedFilesAreChosen() {
    const QString other = home_.path() + "/other.bin";
    uitest::WriteFile(other, "x");
    enum How { Type, Paste, Drop };
    const struct {
      const char* name;
      How how;
    } cases[] = {{"typed", Type}, {"pasted", Paste}, {"dropped", Drop}};
    for (const auto& c : cases) {
      uitest::Messages m;
      SplitSendDialog dlg(*store_, false, nullptr, [](QWidget*) {});
      dlg.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dlg));
      if (c.how == Type) {
        QTest::keyClicks(dlg.files, file_ + ", " + other);
        QTest::keyClick(dlg.files, Qt::Key_Return);
      } else if (c.how == Paste) {
        uitest::Paste(dlg.files, file_ + ", " + other);
        QTest::keyClick(dlg.files, Qt::Key_Return);
      } else {
        QVERIFY2(uitest::DropFiles(dlg.files, {file_, other}), c.name);
      }
      QTRY_COMPARE(dlg.Request().files.size(), size_t(2));
      QCOMPARE(dlg.files->text(), file_ + ", " + other);
      QCOMPARE(dlg.Request().files[1].path, other.toStdString());
    }
  }

  void DropsOtherThanLocalFilesAreRefused() {
    SplitSendDialog dlg(*store_, false, nullptr, [](QWidget*) {});
    auto* text = new QMimeData;
    text->setText(file_);
    QVERIFY(!uitest::DropOn(dlg.files, text));
    auto* web = new QMimeData;
    web->setUrls({QUrl::fromLocalFile(file_), QUrl("https://example.com/a.zip")});
    QVERIFY(!uitest::DropOn(dlg.files, web));
    QVERIFY(dlg.Request().files.empty());
    QCOMPARE(dlg.files->text(), QString());
  }

  // Decimal units as the display writes them: 1 MB is 1,000,000 bytes, a bare number is bytes.
  void TypedSizeMovesTheSliderAndTheSliderRewritesIt() {
    const struct {
      QString typed;
      int position;
    } cases[] = {{"1.5 MB", 150}, {"800 KB", 80}, {"10000000", 1000},
                 {"10kb", 1},     {"0.25MB", 25}, {"990 KB", 99}};
    SplitSendDialog dlg(*store_, false, nullptr, [](QWidget*) {});
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    for (const auto& c : cases) {
      dlg.sizeDisplay->selectAll();
      QTest::keyClicks(dlg.sizeDisplay, c.typed);
      QCOMPARE(dlg.slider->value(), c.position);
      QCOMPARE(dlg.sizeDisplay->text(), c.typed);  // not rewritten under the user's fingers
      QVERIFY(dlg.sizeProblem->isHidden());
    }
    dlg.slider->setFocus();
    QTest::keyClick(dlg.slider, Qt::Key_Home);
    QCOMPARE(dlg.slider->value(), 1);
    QCOMPARE(dlg.sizeDisplay->text(), QString(" 10.00KB"));
  }

  void BadTypedSizeIsReportedKeptAndRefusedByOk() {
    const struct {
      QString typed;
      QString says;
    } cases[] = {{"big", "Not a size"},    {"20 MB", "Out of range"},   {"0", "Out of range"},
                 {"5 KB", "Out of range"}, {"15 KB", "steps of 10 KB"}, {"1.5 GB", "Not a size"}};
    for (const auto& c : cases) {
      uitest::Messages m;
      SplitSendDialog dlg(*store_, false, nullptr, [](QWidget*) {});
      dlg.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dlg));
      dlg.ChooseFiles({file_});
      dlg.mailTo->setEditText("a@b.org");
      const int before = dlg.slider->value();
      dlg.sizeDisplay->selectAll();
      QTest::keyClicks(dlg.sizeDisplay, c.typed);
      QVERIFY2(dlg.sizeProblem->isVisible(), qPrintable(c.typed));
      QVERIFY2(dlg.sizeProblem->text().contains(c.says), qPrintable(dlg.sizeProblem->text()));
      QCOMPARE(dlg.sizeDisplay->text(), c.typed);
      QCOMPARE(dlg.slider->value(), before);
      QTest::mouseClick(dlg.ok, Qt::LeftButton);
      QCOMPARE(dlg.result(), int(QDialog::Rejected));
      QVERIFY(dlg.isVisible());
      QCOMPARE(m.Texts(), QStringList{dlg.sizeProblem->text()});
    }
  }

  void StoredSegSizeOutOfRangeStartsAtTheLargest() {
    for (uint32_t stored : {0u, 5000u}) {
      QVERIFY(store_->SetDword("SegSize", stored));
      SplitSendDialog dlg(*store_, false, nullptr, [](QWidget*) {});
      QCOMPARE(dlg.slider->value(), 1000);
    }
  }
};

QTEST_MAIN(SendDialogsTest)
#include "SendDialogs_test.moc"
