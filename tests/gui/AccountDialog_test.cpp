// The Account dialog (finding an address's servers, correcting them, the browser sign-in, the
// login test, keeping the account), the desktop's OAuth2 token source, and the main window's
// first-run offer and sign-in prompt.
#include <QComboBox>
#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "account/AccountStore.h"
#include "account/AutoconfigFixture.h"
#include "browser/NetworkEndpoints.h"
#include "fixtures/oauth_server.h"
#include "gui/AccountDialog.h"
#include "gui/Application.h"
#include "gui/MainWindow.h"
#include "gui/UiTestSupport.h"

using namespace dtlui;

namespace {

// A gate a fake service waits at until the test opens it or the job is stopped.
struct Gate {
  std::mutex m;
  std::condition_variable_any cv;
  bool open = false;
  std::atomic<bool> entered{false};
  // False when the stop came first.
  bool Wait(std::stop_token stop) {
    entered = true;
    std::unique_lock lock(m);
    return cv.wait(lock, stop, [this] { return open; });
  }
  void Open() {
    {
      std::lock_guard lock(m);
      open = true;
    }
    cv.notify_all();
  }
};

dtl::AccountProfile Sample(dtl::ProfileSource source = dtl::ProfileSource::BuiltIn) {
  dtl::AccountProfile p;
  p.address = "ann@example.org";
  p.displayName = "Example Mail";
  p.smtp = {"smtp.example.org", 465, dtl::ServerSecurity::ImplicitTls, "ann@example.org"};
  p.imap = {"imap.example.org", 143, dtl::ServerSecurity::StartTls, "ann@example.org"};
  p.source = source;
  p.sourceDetail =
      "https://autoconfig.example.org/mail/config-v1.1.xml?emailaddress=ann%40example.org";
  return p;
}

AccountServices FoundServices(dtl::AccountProfile found) {
  AccountServices s;
  s.discover = [found](const std::string&, std::stop_token) {
    return dtl::Result<dtl::AccountProfile>(found);
  };
  return s;
}

void TypeInto(QWidget* field, const QString& text) {
  field->setFocus();
  QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(field, Qt::Key_Delete);
  QTest::keyClicks(field, text);
}

}  // namespace

class AccountDialogTest : public QObject {
  Q_OBJECT
  QTemporaryDir home_;
  QString base_;
  std::unique_ptr<dtl::SettingsStore> store_;
  dtl::NetworkEndpoints endpoints_;

  QString SettingsPath() const { return base_ + "/settings.reg"; }
  // Types the address and presses Enter; true when the find ended with `found`.
  bool FindByEnter(AccountDialog& dlg, const QString& typed, bool found = true) {
    QSignalSpy done(&dlg, &AccountDialog::findFinished);
    TypeInto(dlg.address, typed);
    QTest::keyClick(dlg.address, Qt::Key_Return);
    if (done.isEmpty() && !done.wait(10000)) return false;
    // The buttons come back once the job's thread has ended, a moment after its answer shows.
    if (!QTest::qWaitFor([&dlg] { return !dlg.Busy(); }, 10000)) return false;
    return done.first().first().toBool() == found;
  }

 private slots:
  void initTestCase() { base_ = uitest::IsolateEnvironment(home_); }
  void init() {
    QFile::remove(SettingsPath());
    store_ = std::make_unique<dtl::SettingsStore>(SettingsPath().toStdString());
  }

  void EnterInTheAddressFieldFillsTheFieldsFromTheDiscovery() {
    std::string asked;
    AccountServices s;
    s.discover = [&asked](const std::string& address, std::stop_token) {
      asked = address;
      return dtl::Result<dtl::AccountProfile>(Sample());
    };
    AccountDialog dlg(*store_, s);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QVERIFY(FindByEnter(dlg, "ann@example.org"));
    QCOMPARE(asked, std::string("ann@example.org"));
    QVERIFY(dlg.isVisible());  // Enter looked up the address; it did not press OK
    QCOMPARE(dlg.smtpHost->text(), QString("smtp.example.org"));
    QCOMPARE(dlg.smtpPort->value(), 465);
    QCOMPARE(dlg.smtpSecurity->currentIndex(), 0);
    QCOMPARE(dlg.imapHost->text(), QString("imap.example.org"));
    QCOMPARE(dlg.imapPort->value(), 143);
    QCOMPARE(dlg.imapSecurity->currentIndex(), 1);
    QCOMPARE(dlg.smtpUser->text(), QString("ann@example.org"));
    QCOMPARE(dlg.imapUser->text(), QString("ann@example.org"));
    QCOMPARE(dlg.source->text(), QString("Found in the program's list of providers"));
  }

  void TheSourceLineSaysWhereTheServersCameFrom_data() {
    QTest::addColumn<int>("source");
    QTest::addColumn<QString>("expected");
    QTest::newRow("built-in table")
        << int(dtl::ProfileSource::BuiltIn) << "Found in the program's list of providers";
    QTest::newRow("autoconfig host")
        << int(dtl::ProfileSource::Autoconfig)
        << "Found in the autoconfig document at https://autoconfig.example.org/mail/"
           "config-v1.1.xml?emailaddress=ann%40example.org";
    QTest::newRow("well-known autoconfig")
        << int(dtl::ProfileSource::WellKnownAutoconfig)
        << "Found in the autoconfig document at https://autoconfig.example.org/mail/"
           "config-v1.1.xml?emailaddress=ann%40example.org";
    QTest::newRow("SRV records") << int(dtl::ProfileSource::Srv)
                                 << "Found in the DNS SRV records of example.org";
  }
  void TheSourceLineSaysWhereTheServersCameFrom() {
    QFETCH(int, source);
    QFETCH(QString, expected);
    AccountDialog dlg(*store_, FoundServices(Sample(dtl::ProfileSource(source))));
    dlg.show();
    QVERIFY(FindByEnter(dlg, "ann@example.org"));
    QCOMPARE(dlg.source->text(), expected);
  }

  void FindAgainstTheRealDiscoveryReadsTheDomainsAutoconfigDocument() {
    dtltest::AutoconfigPki pki;
    QVERIFY2(pki.ok(), pki.output().c_str());
    dtltest::AutoconfigServer server(pki);
    QVERIFY2(server.running(), server.error().c_str());
    server.Route("autoconfig.example.test/mail/config-v1.1.xml", 200,
                 "<?xml version=\"1.0\"?><clientConfig version=\"1.1\">"
                 "<emailProvider id=\"example.test\"><domain>example.test</domain>"
                 "<incomingServer type=\"imap\"><hostname>imap.example.test</hostname>"
                 "<port>993</port><socketType>SSL</socketType>"
                 "<username>%EMAILLOCALPART%</username>"
                 "<authentication>password-cleartext</authentication></incomingServer>"
                 "<outgoingServer type=\"smtp\"><hostname>smtp.example.test</hostname>"
                 "<port>587</port><socketType>STARTTLS</socketType>"
                 "<username>%EMAILADDRESS%</username>"
                 "<authentication>password-cleartext</authentication></outgoingServer>"
                 "</emailProvider></clientConfig>\n");
    const dtl::NetworkEndpoints endpoints = server.Endpoints();
    AccountDialog dlg(*store_, CoreAccountServices(*store_, endpoints));
    dlg.show();
    QSignalSpy done(&dlg, &AccountDialog::findFinished);
    TypeInto(dlg.address, "ann@example.test");
    QTest::keyClick(dlg.address, Qt::Key_Enter);
    QVERIFY(done.wait(30000));
    QVERIFY2(done.first().first().toBool(), qPrintable(dlg.source->text()));
    QVERIFY2(dlg.source->text().startsWith("Found in the autoconfig document at "
                                           "https://autoconfig.example.test/mail/config-v1.1.xml"),
             qPrintable(dlg.source->text()));
    QCOMPARE(dlg.imapHost->text(), QString("imap.example.test"));
    QCOMPARE(dlg.imapUser->text(), QString("ann"));
    QCOMPARE(dlg.smtpHost->text(), QString("smtp.example.test"));
    QCOMPARE(dlg.smtpPort->value(), 587);
    QCOMPARE(dlg.smtpSecurity->currentIndex(), 1);
  }

  void AFailedFindSaysWhyAndKeepsTheFields() {
    AccountServices s;
    s.discover = [](const std::string&, std::stop_token) {
      return dtl::Result<dtl::AccountProfile>(
          dtl::Error(dtl::ErrorCode::NotFound, "no settings found for nowhere.example"));
    };
    AccountDialog dlg(*store_, s);
    dlg.show();
    TypeInto(dlg.smtpHost, "smtp.mine.example");
    QVERIFY(FindByEnter(dlg, "bob@nowhere.example", false));
    QCOMPARE(
        dlg.source->text(),
        QString("Nothing found for bob@nowhere.example: no settings found for nowhere.example"));
    QCOMPARE(dlg.smtpHost->text(), QString("smtp.mine.example"));
  }

  void AnAddressWithoutDomainIsNotLookedUp() {
    bool asked = false;
    AccountServices s;
    s.discover = [&asked](const std::string&, std::stop_token) {
      asked = true;
      return dtl::Result<dtl::AccountProfile>(Sample());
    };
    AccountDialog dlg(*store_, s);
    dlg.show();
    QVERIFY(FindByEnter(dlg, "ann@", false));
    QVERIFY(!asked);
    QCOMPARE(dlg.source->text(), QString("Type an address such as name@example.org."));
  }

  void EveryFieldTakesTyping() {
    AccountDialog dlg(*store_, FoundServices(Sample()));
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QVERIFY(FindByEnter(dlg, "ann@example.org"));
    TypeInto(dlg.smtpHost, "mail.corrected.example");
    TypeInto(dlg.smtpPort, "2465");
    TypeInto(dlg.smtpUser, "ann");
    TypeInto(dlg.imapHost, "imap.corrected.example");
    TypeInto(dlg.imapPort, "1993");
    TypeInto(dlg.imapUser, "ann.b");
    TypeInto(dlg.password, "typed secret");
    dlg.imapSecurity->setFocus();
    QTest::keyClick(dlg.imapSecurity, Qt::Key_Up);  // STARTTLS -> SSL/TLS
    const dtl::AccountProfile shown = dlg.Shown();
    QCOMPARE(shown.smtp.host, std::string("mail.corrected.example"));
    QCOMPARE(shown.smtp.port, 2465);
    QCOMPARE(shown.smtp.user, std::string("ann"));
    QCOMPARE(shown.imap.host, std::string("imap.corrected.example"));
    QCOMPARE(shown.imap.user, std::string("ann.b"));
    QVERIFY(shown.imap.security == dtl::ServerSecurity::ImplicitTls);
    // A port the user chose stays when the security changes.
    QCOMPARE(shown.imap.port, 1993);
    QCOMPARE(dlg.password->text(), QString("typed secret"));
  }

  void ChangingTheSecurityMovesOnlyAStandardPort_data() {
    QTest::addColumn<int>("from");
    QTest::addColumn<int>("to");
    QTest::newRow("SMTP 465 -> 587") << 465 << 587;
    QTest::newRow("SMTP own port stays") << 2525 << 2525;
  }
  void ChangingTheSecurityMovesOnlyAStandardPort() {
    QFETCH(int, from);
    QFETCH(int, to);
    AccountDialog dlg(*store_, {});
    dlg.show();
    dlg.smtpSecurity->setCurrentIndex(0);
    dlg.smtpPort->setValue(from);
    dlg.smtpSecurity->setFocus();
    QTest::keyClick(dlg.smtpSecurity, Qt::Key_Down);  // SSL/TLS -> STARTTLS
    QCOMPARE(dlg.smtpSecurity->currentIndex(), 1);
    QCOMPARE(dlg.smtpPort->value(), to);
  }

  void OAuth2HidesThePasswordAndOffersTheSignIn() {
    AccountDialog dlg(*store_, {});
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    QVERIFY(dlg.password->isVisible());
    QVERIFY(!dlg.signInButton->isVisible());
    dlg.login->setFocus();
    QTest::keyClick(dlg.login, Qt::Key_Down);
    QCOMPARE(dlg.login->currentIndex(), 1);
    QVERIFY(!dlg.password->isVisible());
    QVERIFY(!dlg.passwordLabel->isVisible());
    QVERIFY(dlg.signInButton->isVisible());
    QTest::keyClick(dlg.login, Qt::Key_Up);
    QVERIFY(dlg.password->isVisible());
  }

  void AProviderThatWantsOAuth2ShowsNoPassword() {
    dtl::AccountProfile found = Sample();
    found.login = dtl::LoginKind::OAuth2;
    found.oauthProvider = "microsoft";
    found.notes = {"Outlook.com takes OAuth2 logins only"};
    AccountDialog dlg(*store_, FoundServices(found));
    dlg.show();
    QVERIFY(FindByEnter(dlg, "ann@example.org"));
    QCOMPARE(dlg.login->currentIndex(), 1);
    QVERIFY(!dlg.password->isVisible());
    QVERIFY(dlg.notes->isVisible());
    QCOMPARE(dlg.notes->text(), QString("Outlook.com takes OAuth2 logins only"));
  }

  void SignInOpensTheConsentPageAndWaitsForTheBrowser() {
    uitest::Messages messages;
    Gate browser;
    std::string provider;
    AccountServices s = FoundServices([] {
      dtl::AccountProfile p = Sample();
      p.login = dtl::LoginKind::OAuth2;
      p.oauthProvider = "google";
      return p;
    }());
    s.signIn = [&](const dtl::AccountProfile& p,
                   const std::function<void(const std::string&)>& openUrl,
                   std::stop_token stop) -> dtl::Result<dtl::OAuthTokens> {
      provider = p.oauthProvider;
      openUrl("https://accounts.example/consent?client_id=x&state=s");
      if (!browser.Wait(stop)) return dtl::Error::Cancelled();
      dtl::OAuthTokens t;
      t.accessToken = "access-1";
      t.refreshToken = "refresh-1";
      return t;
    };
    AccountDialog dlg(*store_, s);
    dlg.show();
    QVERIFY(FindByEnter(dlg, "ann@example.org"));
    QSignalSpy signedIn(&dlg, &AccountDialog::signInFinished);
    QTest::mouseClick(dlg.signInButton, Qt::LeftButton);
    QTRY_COMPARE(messages.opened.size(), 1);
    QCOMPARE(messages.opened.first(), QUrl("https://accounts.example/consent?client_id=x&state=s"));
    QCOMPARE(dlg.signInStatus->text(), QString("Waiting for the browser…"));
    QVERIFY(dlg.cancelSignInButton->isVisible());
    QCOMPARE(provider, std::string("google"));
    browser.Open();
    QVERIFY(signedIn.wait(10000));
    QCOMPARE(signedIn.first().first().toBool(), true);
    QCOMPARE(dlg.signInStatus->text(), QString("Signed in."));
    QVERIFY(dlg.SignedIn());
    QTRY_VERIFY(!dlg.Busy());
    QVERIFY(!dlg.cancelSignInButton->isVisible());
  }

  void SignInAgainstTheRealCodeFlowKeepsTheRefreshTokenOnOk() {
    dtltest::ProviderPki pki;
    QVERIFY2(pki.ok(), pki.output().c_str());
    dtltest::OAuthServer oauth(&pki, {"--client-id", "cid"});
    QVERIFY2(oauth.running(), oauth.error().c_str());
    QVERIFY(store_->SetString("OAuth2Provider", "custom"));
    QVERIFY(store_->SetString("OAuth2AuthorizeUrl", oauth.AuthorizeUrl()));
    QVERIFY(store_->SetString("OAuth2TokenUrl", oauth.TokenUrl()));
    QVERIFY(store_->SetString("OAuth2Scope", "mail offline"));
    QVERIFY(store_->SetString("OAuth2ClientId", "cid"));
    QVERIFY(store_->SetDword("IMAPAuth", 1));
    // The system browser, played on a thread of its own: it consents and follows the redirect
    // back to the program's loopback listener.
    std::thread browser;
    std::atomic<int> consentStatus{0};
    SetOpenHook([&](const QUrl& url) {
      browser = std::thread([&oauth, &consentStatus, url = url.toEncoded().toStdString()] {
        auto consent = oauth.Request(url);
        consentStatus = consent.status;
        (void)oauth.Request(consent.location);
      });
      return true;
    });
    const dtl::NetworkEndpoints endpoints = oauth.Endpoints();
    AccountDialog dlg(*store_, CoreAccountServices(*store_, endpoints));
    dlg.show();
    TypeInto(dlg.address, "joe@example.com");
    TypeInto(dlg.imapUser, "joe@example.com");
    QCOMPARE(dlg.login->currentIndex(), 1);
    QSignalSpy signedIn(&dlg, &AccountDialog::signInFinished);
    QTest::mouseClick(dlg.signInButton, Qt::LeftButton);
    const bool done = signedIn.wait(30000);
    if (browser.joinable()) browser.join();
    SetOpenHook({});
    QVERIFY(done);
    QVERIFY2(signedIn.first().first().toBool(), qPrintable(dlg.signInStatus->text()));
    QCOMPARE(consentStatus.load(), 302);
    QTRY_VERIFY(!dlg.Busy());
    // Nothing is kept before OK.
    QCOMPARE(store_->GetString("OAuth2RefreshToken"), std::string());
    QTest::mouseClick(dlg.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok),
                      Qt::LeftButton);
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    const dtl::SettingsStore readBack(SettingsPath().toStdString());
    QVERIFY(!readBack.GetString("OAuth2RefreshToken").empty());
    QCOMPARE(readBack.GetString("OAuth2User"), std::string("joe@example.com"));
    QCOMPARE(readBack.GetDword("SMTPAuth"), 1u);
  }

  void CancelEndsTheWaitForTheBrowser() {
    uitest::Messages messages;
    Gate never;
    AccountServices s;
    s.signIn = [&never](const dtl::AccountProfile&,
                        const std::function<void(const std::string&)>& openUrl,
                        std::stop_token stop) -> dtl::Result<dtl::OAuthTokens> {
      openUrl("https://accounts.example/consent");
      never.Wait(stop);
      return dtl::Error::Cancelled();
    };
    AccountDialog dlg(*store_, s);
    dlg.show();
    dlg.login->setCurrentIndex(1);
    QSignalSpy signedIn(&dlg, &AccountDialog::signInFinished);
    QTest::mouseClick(dlg.signInButton, Qt::LeftButton);
    QTRY_VERIFY(never.entered.load());
    QTest::mouseClick(dlg.cancelSignInButton, Qt::LeftButton);
    QCOMPARE(signedIn.size(), 1);
    QCOMPARE(signedIn.first().first().toBool(), false);
    QCOMPARE(dlg.signInStatus->text(), QString("Sign-in cancelled."));
    QTRY_VERIFY(!dlg.Busy());
    QVERIFY(!dlg.SignedIn());
    QVERIFY(dlg.signInButton->isEnabled());
  }

  void TestShowsEachLoginsOutcome_data() {
    QTest::addColumn<int>("smtpCode");  // -1: the login worked
    QTest::addColumn<int>("imapCode");
    QTest::addColumn<QString>("smtpLine");
    QTest::addColumn<QString>("imapLine");
    QTest::newRow("both work") << -1 << -1 << "SMTP: OK"
                               << "IMAP: OK";
    QTest::newRow("IMAP refused") << -1 << int(dtl::ErrorCode::Auth) << "SMTP: OK"
                                  << "IMAP: refused — the reason";
    QTest::newRow("SMTP unreachable")
        << int(dtl::ErrorCode::Network) << -1 << "SMTP: failed — the reason"
        << "IMAP: OK";
  }
  void TestShowsEachLoginsOutcome() {
    QFETCH(int, smtpCode);
    QFETCH(int, imapCode);
    QFETCH(QString, smtpLine);
    QFETCH(QString, imapLine);
    const auto status = [](int code) {
      return code < 0 ? dtl::Status() : dtl::Status(dtl::Error(dtl::ErrorCode(code), "the reason"));
    };
    std::string passwordUsed;
    AccountServices s = FoundServices(Sample());
    s.check = [&](const dtl::AccountProfile&, const AccountSecrets& secrets, std::stop_token) {
      passwordUsed = secrets.password;
      return AccountCheckOutcome{status(smtpCode), status(imapCode)};
    };
    AccountDialog dlg(*store_, s);
    dlg.show();
    QVERIFY(FindByEnter(dlg, "ann@example.org"));
    TypeInto(dlg.password, "pw");
    QSignalSpy tested(&dlg, &AccountDialog::testFinished);
    QTest::mouseClick(dlg.testButton, Qt::LeftButton);
    QVERIFY(tested.wait(10000));
    QCOMPARE(dlg.smtpResult->text(), smtpLine);
    QCOMPARE(dlg.imapResult->text(), imapLine);
    QCOMPARE(passwordUsed, std::string("pw"));
  }

  void OkKeepsTheAccountInTheSettings() {
    AccountServices s = CoreAccountServices(*store_, endpoints_);
    s.discover = FoundServices(Sample()).discover;
    AccountDialog dlg(*store_, s);
    dlg.show();
    QVERIFY(FindByEnter(dlg, "ann@example.org"));
    TypeInto(dlg.password, "app password");
    TypeInto(dlg.imapPort, "1143");
    QTest::mouseClick(dlg.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok),
                      Qt::LeftButton);
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    const dtl::SettingsStore readBack(SettingsPath().toStdString());
    QCOMPARE(readBack.FromAddress(), std::string("ann@example.org"));
    QCOMPARE(readBack.SmtpServer(), std::string("smtp.example.org"));
    QCOMPARE(readBack.SmtpPort(), 465u);
    QVERIFY(readBack.Ssl());
    QCOMPARE(readBack.SmtpUserName(), std::string("ann@example.org"));
    QCOMPARE(readBack.ImapServer(), std::string("imap.example.org"));
    QCOMPARE(readBack.ImapPort(), 1143u);
    QVERIFY(readBack.ImapStartTls());
    QCOMPARE(readBack.ImapUserName(), std::string("ann@example.org"));
    QCOMPARE(readBack.SmtpPass(), std::string("app password"));
    QCOMPARE(readBack.ImapPass(), std::string("app password"));
    QCOMPARE(readBack.GetDword("SMTPAuth"), 0u);
    QCOMPARE(readBack.GetDword("IMAPAuth"), 0u);
  }

  void OkAfterASignInKeepsTheTokenAndTheOAuth2Login() {
    dtl::AccountProfile found = Sample();
    found.login = dtl::LoginKind::OAuth2;
    found.oauthProvider = "google";
    AccountServices s = CoreAccountServices(*store_, endpoints_);
    s.discover = FoundServices(found).discover;
    s.signIn = [](const dtl::AccountProfile&, const std::function<void(const std::string&)>&,
                  std::stop_token) -> dtl::Result<dtl::OAuthTokens> {
      dtl::OAuthTokens t;
      t.accessToken = "access-1";
      t.refreshToken = "refresh-1";
      return t;
    };
    AccountDialog dlg(*store_, s);
    dlg.show();
    QVERIFY(FindByEnter(dlg, "ann@example.org"));
    QSignalSpy signedIn(&dlg, &AccountDialog::signInFinished);
    QTest::mouseClick(dlg.signInButton, Qt::LeftButton);
    QVERIFY(signedIn.wait(10000));
    QTRY_VERIFY(!dlg.Busy());
    dlg.accept();
    QCOMPARE(dlg.result(), int(QDialog::Accepted));
    const dtl::SettingsStore readBack(SettingsPath().toStdString());
    QCOMPARE(readBack.GetDword("SMTPAuth"), 1u);
    QCOMPARE(readBack.GetDword("IMAPAuth"), 1u);
    QCOMPARE(readBack.GetString("OAuth2Provider"), std::string("google"));
    QCOMPARE(readBack.GetString("OAuth2User"), std::string("ann@example.org"));
    QCOMPARE(readBack.GetString("OAuth2RefreshToken"), std::string("refresh-1"));
    QCOMPARE(readBack.SmtpPass(), std::string());
  }

  void CancelKeepsNothing() {
    QVERIFY(store_->SetString("SMTPServer", "smtp.before.example"));
    const QByteArray before = uitest::ReadFile(SettingsPath());
    AccountServices s = CoreAccountServices(*store_, endpoints_);
    s.discover = FoundServices(Sample()).discover;
    s.signIn = [](const dtl::AccountProfile&, const std::function<void(const std::string&)>&,
                  std::stop_token) -> dtl::Result<dtl::OAuthTokens> {
      dtl::OAuthTokens t;
      t.refreshToken = "refresh-never-kept";
      return t;
    };
    AccountDialog dlg(*store_, s);
    dlg.show();
    QVERIFY(FindByEnter(dlg, "ann@example.org"));
    TypeInto(dlg.password, "not kept");
    dlg.login->setCurrentIndex(1);
    QSignalSpy signedIn(&dlg, &AccountDialog::signInFinished);
    QTest::mouseClick(dlg.signInButton, Qt::LeftButton);
    QVERIFY(signedIn.wait(10000));
    QTRY_VERIFY(!dlg.Busy());
    QTest::mouseClick(dlg.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Cancel),
                      Qt::LeftButton);
    QCOMPARE(dlg.result(), int(QDialog::Rejected));
    QCOMPARE(uitest::ReadFile(SettingsPath()), before);
  }

  void ClosingWhileFindRunsStopsItPromptly() {
    Gate never;
    std::atomic<bool> sawStop{false};
    AccountServices s;
    s.discover = [&](const std::string&, std::stop_token stop) -> dtl::Result<dtl::AccountProfile> {
      if (!never.Wait(stop)) sawStop = true;
      return dtl::Error::Cancelled();
    };
    auto* dlg = new AccountDialog(*store_, s);
    dlg->show();
    TypeInto(dlg->address, "ann@example.org");
    QTest::mouseClick(dlg->findButton, Qt::LeftButton);
    QTRY_VERIFY(never.entered.load());
    QVERIFY(dlg->Busy());
    QCOMPARE(dlg->source->text(), QString("Looking up the settings of ann@example.org…"));
    QElapsedTimer clock;
    clock.start();
    QTest::keyClick(dlg, Qt::Key_Escape);
    QVERIFY(!dlg->isVisible());
    QCOMPARE(dlg->source->text(), QString("Stopped."));
    delete dlg;
    QVERIFY(sawStop.load());
    QVERIFY2(clock.elapsed() < 5000, "closing waited for the lookup");
  }

  void StopEndsTheFindAndDropsItsLateAnswer() {
    Gate late;
    AccountServices s;
    s.discover = [&late](const std::string&, std::stop_token) {
      // Ignores the stop (a lookup in a library call): its answer comes after all.
      late.Wait({});
      return dtl::Result<dtl::AccountProfile>(Sample());
    };
    AccountDialog dlg(*store_, s);
    dlg.show();
    TypeInto(dlg.address, "ann@example.org");
    QTest::mouseClick(dlg.findButton, Qt::LeftButton);
    QTRY_VERIFY(late.entered.load());
    QTest::mouseClick(dlg.stopButton, Qt::LeftButton);
    QCOMPARE(dlg.source->text(), QString("Stopped."));
    late.Open();
    QTRY_VERIFY(!dlg.Busy());
    QCOMPARE(dlg.source->text(), QString("Stopped."));
    QCOMPARE(dlg.smtpHost->text(), QString());
    QVERIFY(dlg.findButton->isEnabled());
  }

  void TheDialogShowsTheAccountTheSettingsHold() {
    QVERIFY(store_->SetString("FromAddress", "kept@example.net"));
    QVERIFY(store_->SetString("SMTPServer", "smtp.example.net"));
    QVERIFY(store_->SetDword("SMTPPort", 587));
    QVERIFY(store_->SetString("SMTPPass", "kept secret"));
    QVERIFY(store_->SetString("IMAPServer", "imap.example.net"));
    QVERIFY(store_->SetDword("IMAPPort", 993));
    AccountDialog dlg(*store_, {});
    QCOMPARE(dlg.address->text(), QString("kept@example.net"));
    QCOMPARE(dlg.smtpHost->text(), QString("smtp.example.net"));
    QCOMPARE(dlg.smtpPort->value(), 587);
    QCOMPARE(dlg.smtpSecurity->currentIndex(), 1);
    QCOMPARE(dlg.imapHost->text(), QString("imap.example.net"));
    QCOMPARE(dlg.password->text(), QString("kept secret"));
    QCOMPARE(dlg.source->text(), QString("The settings in use now"));
  }

  void AnExpiredLoginReachesTheUiThread() {
    // A Google account whose refresh token is gone: the token source says "log in again".
    QVERIFY(store_->SetString("OAuth2Provider", "google"));
    QVERIFY(store_->SetString("GoogleClientId", "client-id"));
    QVERIFY(store_->SetString("OAuth2User", "ann@example.org"));
    QStringList told;
    dtl::AccessTokenFn tokens =
        DesktopAccessTokens(*store_, endpoints_, [&told](const QString& text) { told << text; });
    dtl::Result<std::string> got = dtl::Error(dtl::ErrorCode::Failed, "not called");
    std::thread worker([&] { got = tokens(false); });
    worker.join();
    QVERIFY(!got);
    QCOMPARE(int(got.error().code), int(dtl::ErrorCode::Auth));
    QTRY_COMPARE(told.size(), 1);
    QVERIFY2(told.first().contains(SignInAction()), qPrintable(told.first()));
  }

  void TheFirstRunOffersTheAccountDialogOnce() {
    uitest::Messages answers;
    for (int run = 0; run < 2; ++run) {
      Application app(*store_, {});
      QVERIFY(app.start({}));
      QVERIFY(app.Frame()->isVisible());
      // Offered on the first start only; the window is not held by a dialog either time.
      QCOMPARE(app.Frame()->accountPrompt()->isVisible(), run == 0);
      QCOMPARE(app.Frame()->accountPromptButton()->text(), QString("Set Up Account…"));
      app.shutdown();
    }
  }

  void ConfiguredServersAreNotOfferedASetup() {
    QVERIFY(store_->SetString("IMAPServer", "imap.example.net"));
    Application app(*store_, {});
    QVERIFY(app.start({}));
    QVERIFY(app.Frame()->isVisible());
    QVERIFY(!app.Frame()->accountPrompt()->isVisible());
    // An expired login shows its sign-in there instead.
    app.Frame()->showSignInNeeded("The OAuth2 login for ann@example.org is no longer valid");
    QVERIFY(app.Frame()->accountPrompt()->isVisible());
    QCOMPARE(app.Frame()->accountPromptButton()->text(), QString("Sign in…"));
    QCOMPARE(app.Frame()->accountPromptText()->text(),
             QString("The OAuth2 login for ann@example.org is no longer valid"));
    // Its button opens the Account dialog with the sign-in started (here it stops at once: no
    // OAuth2 client is set up).
    QVERIFY(store_->SetDword("IMAPAuth", 1));
    QString told;
    QElapsedTimer clock;
    clock.start();
    std::function<void()> watch = [&] {
      auto* dlg = qobject_cast<AccountDialog*>(QApplication::activeModalWidget());
      const bool over = dlg && !dlg->Busy() && !dlg->signInStatus->text().isEmpty() &&
                        dlg->signInStatus->text() != "Waiting for the browser…";
      if (over || clock.elapsed() > 20000) {
        if (dlg) told = dlg->signInStatus->text();
        if (QWidget* modal = QApplication::activeModalWidget()) modal->close();
        return;
      }
      QTimer::singleShot(20, watch);
    };
    QTimer::singleShot(0, watch);
    QTest::mouseClick(app.Frame()->accountPromptButton(), Qt::LeftButton);
    QVERIFY2(told.startsWith("Not signed in: "), qPrintable(told));
    uitest::Messages answers;
    app.shutdown();
  }
};

QTEST_MAIN(AccountDialogTest)
#include "AccountDialog_test.moc"
