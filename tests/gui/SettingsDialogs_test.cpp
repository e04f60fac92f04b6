// The SMTP and IMAP Server Settings, Advanced Settings, Server Test, IMAP Test and Encryption
// Settings dialogs. (The IMAP Test against a real server: MailboxReceive_test.)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>
#include <QLineEdit>
#include <QPointer>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <atomic>
#include <chrono>
#include <thread>

#include "gui/AdvancedSettingsDialog.h"
#include "gui/EncryptionSettingsDialog.h"
#include "gui/ImapSettingsDialog.h"
#include "gui/ServerTestDialog.h"
#include "gui/SmtpSettingsDialog.h"
#include "gui/UiTestSupport.h"

using namespace dtlui;

class SettingsDialogsTest : public QObject {
  Q_OBJECT
  QTemporaryDir home_;
  std::unique_ptr<dtl::SettingsStore> store_;

  QString RunServerTest(ServerTestDialog* dlg) {
    QSignalSpy done(dlg, &ServerTestDialog::testFinished);
    dlg->show();
    if (!done.wait(30000)) return "no result";
    return dlg->StatusText();
  }

 private slots:
  void initTestCase() { uitest::IsolateEnvironment(home_); }
  void init() {
    QFile::remove(home_.path() + "/settings.reg");
    store_ = std::make_unique<dtl::SettingsStore>((home_.path() + "/settings.reg").toStdString());
  }

  void FirstRunShowsDefaults() {
    SmtpSettingsDialog smtp(*store_);
    QCOMPARE(smtp.server->text(), QString());
    QCOMPARE(smtp.port->value(), 25);
    QVERIFY(!smtp.ssl->isChecked());
    AdvancedSettingsDialog advanced(*store_);
    QCOMPARE(advanced.port->value(), 25);
    EncryptionSettingsDialog enc(*store_);
    QCOMPARE(enc.method->currentIndex(), 0);
  }

  void InvalidStoredValuesShowAsDefaults() {
    for (uint32_t port : {0u, 70000u}) {
      QVERIFY(store_->SetDword("SMTPPort", port));
      QVERIFY(store_->SetDword("Port", port));
      QCOMPARE(SmtpSettingsDialog(*store_).port->value(), 25);
      QCOMPARE(AdvancedSettingsDialog(*store_).port->value(), 25);
    }
    QVERIFY(store_->SetDword("SSL", 2));
    QVERIFY(!SmtpSettingsDialog(*store_).ssl->isChecked());
    QVERIFY(store_->SetDword("EncMethod", 3));
    QCOMPARE(EncryptionSettingsDialog(*store_).method->currentIndex(), 0);
  }

  void OkWritesEveryValue() {
    SmtpSettingsDialog smtp(*store_);
    smtp.server->setText("smtp.example.org");
    smtp.port->setValue(465);
    smtp.user->setText("me");
    smtp.password->setText("secret");
    smtp.ssl->setChecked(true);
    smtp.accept();
    QCOMPARE(smtp.result(), QDialog::Accepted);
    QCOMPARE(store_->SmtpServer(), std::string("smtp.example.org"));
    QCOMPARE(store_->SmtpPort(), 465u);
    QCOMPARE(store_->SmtpPass(), std::string("secret"));
    QCOMPARE(store_->GetDword("SSL"), 1u);
    EncryptionSettingsDialog enc(*store_);
    enc.method->setCurrentIndex(1);
    enc.accept();
    QCOMPARE(store_->EncMethod(), 2u);
  }

  void ResetIsWrittenAtOnceSoCancelKeepsIt() {
    QVERIFY(store_->SetString("UserName", "profile"));
    QVERIFY(store_->SetString("MX", "mx.example.org"));
    QVERIFY(store_->SetDword("Port", 2525));
    AdvancedSettingsDialog dlg(*store_);
    QCOMPARE(dlg.mx->text(), QString("mx.example.org"));
    dlg.Reset();
    dlg.reject();
    QCOMPARE(store_->UserName(), std::string());
    QCOMPARE(store_->Mx(), std::string());
    QCOMPARE(store_->Port(), 25u);
  }

  // The box shows the stored choice, OK writes the box, Cancel leaves the store alone; what it
  // writes is exactly what the send run reads (1 allows, anything else refuses).
  void PlainLoginBoxRoundTripsTheSetting() {
    struct Case {
      const char* name;
      uint32_t stored;
      bool shown;
      bool tick;
      bool ok;
      uint32_t after;
    };
    const Case cases[] = {
        {"off by default, ticked, OK", 0, false, true, true, 1},
        {"on, unticked, OK", 1, true, false, true, 0},
        {"off, ticked, Cancel", 0, false, true, false, 0},
        {"on, left alone, OK", 1, true, true, true, 1},
    };
    for (const Case& c : cases) {
      init();
      if (c.stored) QVERIFY(store_->SetDword("AllowPlainLogin", c.stored));
      AdvancedSettingsDialog dlg(*store_);
      QVERIFY2(dlg.allowPlainLogin->isChecked() == c.shown, c.name);
      QVERIFY2(dlg.allowPlainLogin->text().contains("unencrypted connection"), c.name);
      dlg.allowPlainLogin->setChecked(c.tick);
      if (c.ok)
        dlg.accept();
      else
        dlg.reject();
      QVERIFY2(store_->GetDword("AllowPlainLogin") == c.after, c.name);
      // A fresh store reads the file, so the value is on disk and not only in memory.
      QVERIFY2(dtl::SettingsStore((home_.path() + "/settings.reg").toStdString())
                       .GetDword("AllowPlainLogin") == c.after,
               c.name);
    }
  }

  void ImapSettingsShowTheDefaultsAndMaskThePassword() {
    ImapSettingsDialog dlg(*store_);
    QCOMPARE(dlg.server->text(), QString());
    QCOMPARE(dlg.port->value(), 993);
    QCOMPARE(dlg.security->currentIndex(), 0);
    QCOMPARE(dlg.security->currentText(), QString("Implicit TLS"));
    QCOMPARE(dlg.security->itemText(1), QString("STARTTLS"));
    QCOMPARE(dlg.folder->text(), QString("INBOX"));
    QCOMPARE(dlg.password->echoMode(), QLineEdit::Password);
    QCOMPARE(dlg.user->echoMode(), QLineEdit::Normal);
  }

  // OK writes every value under its key and a new dialog shows them again; Cancel writes
  // nothing; an emptied folder is stored as INBOX.
  void ImapSettingsAreStoredByOkAndShownAgain() {
    struct Case {
      const char* name;
      bool ok;
      QString folder, storedFolder;
    };
    const Case cases[] = {
        {"OK", true, "Archiv/Entw\u00fcrfe 2026", "Archiv/Entw\u00fcrfe 2026"},
        {"OK with no folder", true, "", "INBOX"},
        {"Cancel", false, "Elsewhere", "INBOX"},
    };
    for (const Case& c : cases) {
      init();
      {
        ImapSettingsDialog dlg(*store_);
        dlg.server->setText(" imap.example.org ");
        dlg.security->setCurrentIndex(1);
        dlg.port->setValue(1143);
        dlg.user->setText("me@example.org");
        dlg.password->setText("s3cret pass");
        dlg.folder->setText(c.folder);
        if (c.ok)
          dlg.accept();
        else
          dlg.reject();
      }
      // A fresh store reads the file, so the values are on disk and not only in memory.
      const dtl::SettingsStore disk((home_.path() + "/settings.reg").toStdString());
      QVERIFY2(disk.ImapServer() == (c.ok ? "imap.example.org" : ""), c.name);
      QVERIFY2(disk.ImapPort() == (c.ok ? 1143u : 993u), c.name);
      QVERIFY2(disk.GetDword("IMAPSecurity") == (c.ok ? 1u : 0u), c.name);
      QVERIFY2(disk.ImapUserName() == (c.ok ? "me@example.org" : ""), c.name);
      QVERIFY2(disk.ImapPass() == (c.ok ? "s3cret pass" : ""), c.name);
      QVERIFY2(Q(disk.ImapFolder()) == c.storedFolder, c.name);
      ImapSettingsDialog again(*store_);
      QVERIFY2(again.server->text() == (c.ok ? "imap.example.org" : ""), c.name);
      QVERIFY2(again.security->currentIndex() == (c.ok ? 1 : 0), c.name);
      QVERIFY2(again.port->value() == (c.ok ? 1143 : 993), c.name);
      QVERIFY2(again.password->text() == (c.ok ? "s3cret pass" : ""), c.name);
      QVERIFY2(again.folder->text() == c.storedFolder, c.name);
      const dtl::ImapSettings shown = again.Shown();
      QVERIFY2(shown.security == (c.ok ? dtl::ImapSecurity::StartTls
                                       : dtl::ImapSecurity::ImplicitTls),
               c.name);
    }
  }

  // Switching the security moves the port between the two standard ones; a port the user chose
  // stays where it is.
  void ImapPortFollowsTheSecurity() {
    struct Case {
      const char* name;
      int port;
      QList<int> switches;
      int after;
    };
    const Case cases[] = {
        {"993 to STARTTLS", 993, {1}, 143},
        {"and back", 993, {1, 0}, 993},
        {"own port kept", 2993, {1}, 2993},
        {"own port kept both ways", 1143, {1, 0}, 1143},
        {"143 under implicit TLS is the user's", 143, {1}, 143},
    };
    for (const Case& c : cases) {
      ImapSettingsDialog dlg(*store_);
      dlg.port->setValue(c.port);
      for (int to : c.switches) dlg.security->setCurrentIndex(to);
      QVERIFY2(dlg.port->value() == c.after, c.name);
    }
  }

  // A server that accepts but never greets: Stop answers at once and the test's worker lets go
  // long before the server's time-out; a closed dialog then goes by itself.
  void ImapTestStopsAtOnceAndGoesWhenItsWorkerEnds() {
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    dtl::ImapSettings settings;
    settings.host = "127.0.0.1";
    settings.port = silent.serverPort();
    settings.security = dtl::ImapSecurity::StartTls;
    QPointer<ImapTestDialog> test = new ImapTestDialog(settings, "");
    QCOMPARE(test->Settings().ioTimeout, std::chrono::milliseconds(ImapTestDialog::kWait));
    QSignalSpy finished(test.data(), &ImapTestDialog::testFinished);
    test->show();
    QCOMPARE(test->StatusText(), QString("Testing..."));
    QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), 10000);
    test->stopButton->click();
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.first().at(0).toBool(), false);
    QCOMPARE(test->StatusText(), QString("Stopped."));
    test->closeButton->click();
    QVERIFY(!test->isVisible());
    test->deleteWhenDone();
    QElapsedTimer sinceClose;
    sinceClose.start();
    QTRY_VERIFY_WITH_TIMEOUT(test.isNull(), 10000);  // the server still holds the connection
    QVERIFY2(sinceClose.elapsed() < 5000, qPrintable(QString::number(sinceClose.elapsed())));
    QCOMPARE(finished.size(), 1);  // the late failure was not reported
  }

  void ImapTestOfAClosedPortSaysWhy() {
    QTcpServer probe;  // a port known to be free once closed
    QVERIFY(probe.listen(QHostAddress::LocalHost));
    const quint16 port = probe.serverPort();
    probe.close();
    QVERIFY(store_->SetString("IMAPServer", "127.0.0.1").ok());
    ImapSettingsDialog dlg(*store_);
    dlg.port->setValue(port);
    dlg.folder->setText("");
    std::unique_ptr<ImapTestDialog> test(dlg.MakeTest());
    QSignalSpy finished(test.get(), &ImapTestDialog::testFinished);
    test->show();
    QVERIFY(finished.wait(30000));
    QCOMPARE(finished.first().at(0).toBool(), false);
    const QString text = test->StatusText();
    QVERIFY2(text.startsWith("Failure: could not connect to the IMAP server 127.0.0.1:" +
                             QString::number(port)),
             qPrintable(text));
  }

  void ServerTestOfEmptyMxFailsAtOnce() {
    AdvancedSettingsDialog dlg(*store_);
    std::unique_ptr<ServerTestDialog> test(dlg.MakeServerTest());
    QCOMPARE(test->StatusText(), QString("Testing..."));
    QCOMPARE(test->Settings().port, 25);
    QVERIFY(!test->Settings().ssl);
    QCOMPARE(RunServerTest(test.get()), QString("Failure."));
  }

  void ServerTestReportsSuccessForA220Greeting() {
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    connect(&server, &QTcpServer::newConnection, this, [&] {
      QTcpSocket* s = server.nextPendingConnection();
      s->write("220 test ESMTP\r\n");
      connect(s, &QTcpSocket::readyRead, s, [s] {
        s->readAll();
        s->write("221 bye\r\n");
      });
    });
    SmtpSettingsDialog dlg(*store_);
    dlg.server->setText("127.0.0.1");
    dlg.port->setValue(server.serverPort());
    std::unique_ptr<ServerTestDialog> test(dlg.MakeServerTest());
    QCOMPARE(RunServerTest(test.get()), QString("Success."));
  }

  // "&Close" must not wait for a server that never greets: the dialog hides at once and goes
  // (deleteWhenDone) once the test is over, here when the server drops the connection.
  void ClosingTheServerTestEarlyLetsTheDialogGoWhenTheTestEnds() {
    QTcpServer silent;  // accepts but never greets
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    QPointer<ServerTestDialog> test =
        new ServerTestDialog("127.0.0.1", silent.serverPort(), {}, {}, false);
    test->show();
    QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), 10000);
    test->reject();
    QVERIFY(!test->isVisible());
    test->deleteWhenDone();
    QVERIFY(!test.isNull());  // the test still runs
    silent.close();           // drops the waiting connection: the test fails and ends
    QTRY_VERIFY_WITH_TIMEOUT(test.isNull(), 30000);
  }

  // Deleting a dialog whose test runs waits for the test: its late result must find no freed
  // dialog. The server (on a thread of its own, as the UI thread blocks) lets go after a while.
  void DeletingARunningServerTestWaitsForIt() {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    QVERIFY(listener >= 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
    QVERIFY(::listen(listener, 4) == 0);
    QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) == 0);
    std::atomic<bool> dropped{false};
    std::jthread server([&] {
      const int s = ::accept(listener, nullptr, nullptr);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      dropped = true;
      if (s >= 0) ::close(s);
    });
    bool late = false;
    auto* test = new ServerTestDialog("127.0.0.1", ntohs(addr.sin_port), {}, {}, false);
    connect(test, &ServerTestDialog::testFinished, this, [&] { late = true; });
    test->show();
    delete test;
    QVERIFY(dropped.load());  // the test could only end once the server let go
    server.join();
    ::close(listener);
    QCoreApplication::sendPostedEvents();
    QVERIFY(!late);
  }
};

QTEST_MAIN(SettingsDialogsTest)
#include "SettingsDialogs_test.moc"
