// The SMTP Server Settings, Advanced Settings, Server Test and Encryption Settings dialogs.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

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
    QSignalSpy done(dlg, &ServerTestDialog::Finished);
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
      store_->SetDword("SMTPPort", port);
      store_->SetDword("Port", port);
      QCOMPARE(SmtpSettingsDialog(*store_).port->value(), 25);
      QCOMPARE(AdvancedSettingsDialog(*store_).port->value(), 25);
    }
    store_->SetDword("SSL", 2);
    QVERIFY(!SmtpSettingsDialog(*store_).ssl->isChecked());
    store_->SetDword("EncMethod", 3);
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
    store_->SetString("UserName", "profile");
    store_->SetString("MX", "mx.example.org");
    store_->SetDword("Port", 2525);
    AdvancedSettingsDialog dlg(*store_);
    QCOMPARE(dlg.mx->text(), QString("mx.example.org"));
    dlg.Reset();
    dlg.reject();
    QCOMPARE(store_->UserName(), std::string());
    QCOMPARE(store_->Mx(), std::string());
    QCOMPARE(store_->Port(), 25u);
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

  void ClosingTheServerTestEarlyIsSafe() {
    QTcpServer silent;  // accepts but never greets
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    auto* test = new ServerTestDialog("127.0.0.1", silent.serverPort(), {}, {}, false);
    test->show();
    delete test;  // the detached worker's late result must find no dialog
  }
};

QTEST_MAIN(SettingsDialogsTest)
#include "SettingsDialogs_test.moc"
