// The SMTP Server Settings, Advanced Settings, Server Test and Encryption Settings dialogs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QCheckBox>
#include <QComboBox>
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
