#include "gui/AccountDialog.h"

#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QUrl>
#include <QVBoxLayout>

#include "account/AccessTokens.h"
#include "account/AccountCheck.h"
#include "account/AccountDiscovery.h"
#include "account/AccountStore.h"
#include "account/OAuthProviders.h"
#include "base/SettingsStore.h"
#include "browser/NetworkEndpoints.h"
#include "gui/SettingsDialogParts.h"
#include "gui/UiSupport.h"

namespace dtlui {

namespace {

constexpr int kSmtpTlsPort = 465;
constexpr int kSmtpStartTlsPort = 587;
constexpr int kImapTlsPort = 993;
constexpr int kImapStartTlsPort = 143;

int SecurityIndex(dtl::ServerSecurity s) { return s == dtl::ServerSecurity::StartTls ? 1 : 0; }
dtl::ServerSecurity SecurityOf(int index) {
  return index == 1 ? dtl::ServerSecurity::StartTls : dtl::ServerSecurity::ImplicitTls;
}

QComboBox* SecurityBox(QWidget* parent) {
  auto* box = new QComboBox(parent);
  box->addItems({QObject::tr("SSL/TLS"), QObject::tr("STARTTLS")});
  return box;
}

QPushButton* Button(const QString& text, QWidget* parent) {
  auto* b = new QPushButton(text, parent);
  // Enter in a field belongs to the field (the address) or to OK, never to a side button.
  b->setAutoDefault(false);
  return b;
}

QString Domain(const std::string& address) {
  const auto at = address.rfind('@');
  return at == std::string::npos ? Q(address) : Q(std::string_view(address).substr(at + 1));
}

// One server's line of the Test: "SMTP: OK", "IMAP: refused — why".
QString CheckLine(const QString& server, const dtl::Status& status) {
  if (status) return QObject::tr("%1: OK").arg(server);
  const dtl::Error& e = status.error();
  switch (e.code) {
    case dtl::ErrorCode::Auth:
    case dtl::ErrorCode::Refused: return QObject::tr("%1: refused — %2").arg(server, Q(e.message));
    case dtl::ErrorCode::Cancelled: return QObject::tr("%1: stopped").arg(server);
    default: return QObject::tr("%1: failed — %2").arg(server, Q(e.message));
  }
}

dtl::Error NotAvailable(const QString& what) {
  return dtl::Error(dtl::ErrorCode::Unsupported, S(QObject::tr("%1 is not available").arg(what)));
}

}  // namespace

dtl::AccessTokenFn DesktopAccessTokens(dtl::SettingsStore& store,
                                       const dtl::NetworkEndpoints& endpoints,
                                       std::function<void(const QString&)> loginExpired) {
  auto made = dtl::MakeAccessTokenSourceFromSettings(store, endpoints, S(SignInAction()));
  dtl::AccessTokenFn source;
  if (made) {
    source = std::move(*made);
  } else {
    source = [error = made.error()](bool) { return dtl::Result<std::string>(error); };
  }
  return [source = std::move(source), loginExpired = std::move(loginExpired)](bool renew) {
    dtl::Result<std::string> token = source(renew);
    // The login runs on a worker; the user hears of it from the UI thread. qApp outlives every
    // window, so the call is never posted to an object that is gone.
    if (!token && token.error().code == dtl::ErrorCode::Auth && loginExpired && qApp)
      QMetaObject::invokeMethod(
          qApp, [loginExpired, text = Q(token.error().message)] { loginExpired(text); },
          Qt::QueuedConnection);
    return token;
  };
}

QString SignInAction() { return QObject::tr("Settings > Account… > Sign in with browser…"); }

QString SourceText(const dtl::AccountProfile& profile) {
  switch (profile.source) {
    case dtl::ProfileSource::BuiltIn:
      return QObject::tr("Found in the program's list of providers");
    case dtl::ProfileSource::Autoconfig:
    case dtl::ProfileSource::WellKnownAutoconfig:
      return QObject::tr("Found in the autoconfig document at %1").arg(Q(profile.sourceDetail));
    case dtl::ProfileSource::Srv:
      return QObject::tr("Found in the DNS SRV records of %1").arg(Domain(profile.address));
    case dtl::ProfileSource::Settings: return QObject::tr("The settings in use now");
    case dtl::ProfileSource::User: break;
  }
  return QObject::tr("Typed in");
}

AccountDialog::AccountDialog(dtl::SettingsStore& store, AccountServices services, QWidget* parent)
    : QDialog(parent), store_(store), services_(std::move(services)) {
  setWindowTitle(tr("Account"));
  address = Edit(this, "", 200);
  address->setPlaceholderText(tr("name@example.org"));
  address->installEventFilter(this);
  findButton = Button(tr("&Find Settings"), this);
  stopButton = Button(tr("S&top"), this);
  stopButton->setEnabled(false);
  source = new QLabel(tr("Type the address and press Find Settings."), this);
  source->setObjectName("source");
  source->setWordWrap(true);
  source->setTextInteractionFlags(Qt::TextSelectableByMouse);

  smtpHost = Edit(this, "", 200);
  smtpPort = PortBox(this, kSmtpTlsPort);
  smtpSecurity = SecurityBox(this);
  smtpUser = Edit(this, "", 199);
  imapHost = Edit(this, "", 200);
  imapPort = PortBox(this, kImapTlsPort);
  imapSecurity = SecurityBox(this);
  imapUser = Edit(this, "", 199);
  login = new QComboBox(this);
  login->addItems({tr("Password"), tr("OAuth2 (sign in with the browser)")});
  password = Edit(this, "", 200, true);
  passwordLabel = new QLabel(tr("Password:"), this);
  signInButton = Button(tr("Sign in with browser…"), this);
  cancelSignInButton = Button(tr("Cancel Sign-in"), this);
  cancelSignInButton->hide();
  signInStatus = new QLabel(this);
  signInStatus->setObjectName("signInStatus");
  signInStatus->setWordWrap(true);
  testButton = Button(tr("&Test"), this);
  smtpResult = new QLabel(this);
  smtpResult->setObjectName("smtpResult");
  smtpResult->setWordWrap(true);
  imapResult = new QLabel(this);
  imapResult->setObjectName("imapResult");
  imapResult->setWordWrap(true);
  notes = new QLabel(this);
  notes->setObjectName("notes");
  notes->setWordWrap(true);
  notes->hide();

  auto* find = new QHBoxLayout;
  find->addWidget(new QLabel(tr("E-mail address:"), this));
  find->addWidget(address, 1);
  find->addWidget(findButton);
  find->addWidget(stopButton);

  const auto serverGroup = [this](const QString& title, QLineEdit* host, QSpinBox* port,
                                  QComboBox* security, QLineEdit* user) {
    auto* group = new QGroupBox(title, this);
    auto* form = new QFormLayout(group);
    form->addRow(tr("Server:"), host);
    form->addRow(tr("Port:"), port);
    form->addRow(tr("Security:"), security);
    form->addRow(tr("User Name:"), user);
    return group;
  };
  auto* servers = new QHBoxLayout;
  servers->addWidget(serverGroup(tr("Sending (SMTP)"), smtpHost, smtpPort, smtpSecurity, smtpUser));
  servers->addWidget(
      serverGroup(tr("Receiving (IMAP)"), imapHost, imapPort, imapSecurity, imapUser));

  auto* signInRow = new QHBoxLayout;
  signInRow->addWidget(signInButton);
  signInRow->addWidget(signInStatus, 1);
  signInRow->addWidget(cancelSignInButton);
  loginForm_ = new QFormLayout;
  loginForm_->addRow(tr("Login:"), login);
  loginForm_->addRow(passwordLabel, password);
  loginForm_->addRow(QString(), signInRow);

  auto* testRow = new QHBoxLayout;
  testRow->addWidget(testButton);
  auto* results = new QVBoxLayout;
  results->addWidget(smtpResult);
  results->addWidget(imapResult);
  testRow->addLayout(results, 1);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(find);
  layout->addWidget(source);
  layout->addLayout(servers);
  layout->addLayout(loginForm_);
  layout->addWidget(notes);
  layout->addLayout(testRow);
  layout->addWidget(OkCancel(this));

  connect(findButton, &QPushButton::clicked, this, &AccountDialog::find);
  connect(stopButton, &QPushButton::clicked, this, &AccountDialog::stop);
  connect(signInButton, &QPushButton::clicked, this, &AccountDialog::signIn);
  connect(cancelSignInButton, &QPushButton::clicked, this, &AccountDialog::stop);
  connect(testButton, &QPushButton::clicked, this, &AccountDialog::test);
  connect(login, &QComboBox::currentIndexChanged, this, &AccountDialog::loginChanged);
  connect(smtpSecurity, &QComboBox::currentIndexChanged, this, &AccountDialog::smtpSecurityChanged);
  connect(imapSecurity, &QComboBox::currentIndexChanged, this, &AccountDialog::imapSecurityChanged);
  connect(&runner_, &JobRunner::finished, this, &AccountDialog::jobEnded);

  const dtl::AccountProfile current = dtl::ProfileFromSettings(store_);
  ShowProfile(current);
  // Both logins share one password field; the SMTP one is the account's unless only IMAP has one.
  password->setText(Q(store_.SmtpPass().empty() ? store_.ImapPass() : store_.SmtpPass()));
  // A first run has nothing worth a source line.
  if (current.smtp.host.empty() && current.imap.host.empty())
    source->setText(tr("Type the address and press Find Settings."));
  address->setFocus();
}

AccountDialog::~AccountDialog() {
  // The runner (declared last) goes first: it asks the job to stop and joins it, and every
  // service ends soon after a stop.
  runner_.requestStop();
}

bool AccountDialog::eventFilter(QObject* watched, QEvent* event) {
  // Enter in the address field looks it up instead of closing the dialog with OK.
  if (watched == address && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      find();
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void AccountDialog::ShowProfile(const dtl::AccountProfile& p) {
  if (!p.address.empty()) address->setText(Q(p.address));
  // The ports follow the security boxes only when the user changes them, not here.
  shownSmtpSecurity_ = SecurityIndex(p.smtp.security);
  shownImapSecurity_ = SecurityIndex(p.imap.security);
  smtpSecurity->setCurrentIndex(shownSmtpSecurity_);
  imapSecurity->setCurrentIndex(shownImapSecurity_);
  smtpHost->setText(Q(p.smtp.host));
  smtpPort->setValue(
      p.smtp.port > 0 ? p.smtp.port : (shownSmtpSecurity_ == 1 ? kSmtpStartTlsPort : kSmtpTlsPort));
  smtpUser->setText(Q(p.smtp.user));
  imapHost->setText(Q(p.imap.host));
  imapPort->setValue(
      p.imap.port > 0 ? p.imap.port : (shownImapSecurity_ == 1 ? kImapStartTlsPort : kImapTlsPort));
  imapUser->setText(Q(p.imap.user));
  login->setCurrentIndex(p.login == dtl::LoginKind::OAuth2 ? 1 : 0);
  loginChanged(login->currentIndex());
  shownSource_ = p.source;
  shownSourceDetail_ = p.sourceDetail;
  shownProvider_ = p.oauthProvider;
  shownName_ = p.displayName;
  source->setText(SourceText(p));
  QStringList lines;
  for (const std::string& n : p.notes) lines << Q(n);
  notes->setText(lines.join('\n'));
  notes->setVisible(!lines.isEmpty());
}

dtl::AccountProfile AccountDialog::Shown() const {
  dtl::AccountProfile p;
  p.address = S(address->text().trimmed());
  p.displayName = shownName_;
  p.smtp = {S(smtpHost->text().trimmed()), smtpPort->value(),
            SecurityOf(smtpSecurity->currentIndex()), S(smtpUser->text().trimmed())};
  p.imap = {S(imapHost->text().trimmed()), imapPort->value(),
            SecurityOf(imapSecurity->currentIndex()), S(imapUser->text().trimmed())};
  p.login = login->currentIndex() == 1 ? dtl::LoginKind::OAuth2 : dtl::LoginKind::Password;
  p.oauthProvider = shownProvider_;
  p.source = shownSource_;
  p.sourceDetail = shownSourceDetail_;
  return p;
}

void AccountDialog::loginChanged(int index) {
  const bool oauth = index == 1;
  loginForm_->setRowVisible(password, !oauth);
  signInButton->setVisible(oauth);
  signInStatus->setVisible(oauth);
  if (!oauth) cancelSignInButton->hide();
}

// Only the other mode's standard port moves: a port the user chose stays.
void AccountDialog::smtpSecurityChanged(int index) {
  const auto standard = [](int i) { return i == 1 ? kSmtpStartTlsPort : kSmtpTlsPort; };
  if (smtpPort->value() == standard(shownSmtpSecurity_)) smtpPort->setValue(standard(index));
  shownSmtpSecurity_ = index;
}

void AccountDialog::imapSecurityChanged(int index) {
  const auto standard = [](int i) { return i == 1 ? kImapStartTlsPort : kImapTlsPort; };
  if (imapPort->value() == standard(shownImapSecurity_)) imapPort->setValue(standard(index));
  shownImapSecurity_ = index;
}

bool AccountDialog::startJob(Job kind, JobRunner::Job job) {
  if (!runner_.start(std::move(job))) return false;
  job_ = kind;
  findButton->setEnabled(false);
  signInButton->setEnabled(false);
  testButton->setEnabled(false);
  stopButton->setEnabled(true);
  return true;
}

void AccountDialog::jobEnded() {
  job_ = Job::None;
  findButton->setEnabled(true);
  signInButton->setEnabled(true);
  testButton->setEnabled(true);
  stopButton->setEnabled(false);
  cancelSignInButton->hide();
}

void AccountDialog::find() {
  const std::string typed = S(address->text().trimmed());
  if (typed.find('@') == std::string::npos || typed.front() == '@' || typed.back() == '@') {
    source->setText(tr("Type an address such as name@example.org."));
    emit findFinished(false);
    return;
  }
  if (!services_.discover) {
    source->setText(tr("Nothing found for %1: %2")
                        .arg(Q(typed), Q(NotAvailable(tr("Finding settings")).message)));
    emit findFinished(false);
    return;
  }
  const int id = ++jobId_;
  const bool started =
      startJob(Job::Find, [this, id, typed, discover = services_.discover](std::stop_token stop) {
        dtl::Result<dtl::AccountProfile> found = discover(typed, stop);
        runner_.post([this, id, found = std::move(found), typed]() mutable {
          if (id != jobId_) return;  // stopped: the user has been told already
          if (!found) {
            source->setText(tr("Nothing found for %1: %2").arg(Q(typed), Q(found.error().message)));
            emit findFinished(false);
            return;
          }
          if (found->address.empty()) found->address = typed;
          ShowProfile(*found);
          emit findFinished(true);
        });
      });
  if (started) source->setText(tr("Looking up the settings of %1…").arg(Q(typed)));
}

void AccountDialog::signIn() {
  if (!services_.signIn) {
    signInStatus->setText(Q(NotAvailable(tr("Signing in")).message));
    emit signInFinished(false);
    return;
  }
  const int id = ++jobId_;
  const bool started = startJob(Job::SignIn, [this, id, profile = Shown(),
                                              signInFn = services_.signIn](std::stop_token stop) {
    // The consent page opens from the UI thread, where the desktop launch is made.
    const auto openUrl = [this](const std::string& url) {
      runner_.post([url] { OpenExternal(QUrl(Q(url))); });
    };
    dtl::Result<dtl::OAuthTokens> token = signInFn(profile, openUrl, stop);
    runner_.post([this, id, token = std::move(token)]() mutable {
      if (id != jobId_) return;
      if (!token) {
        signInStatus->setText(tr("Not signed in: %1").arg(Q(token.error().message)));
        emit signInFinished(false);
        return;
      }
      secrets_.tokens = std::move(*token);
      signInStatus->setText(tr("Signed in."));
      emit signInFinished(true);
    });
  });
  if (!started) return;
  signInStatus->setText(tr("Waiting for the browser…"));
  cancelSignInButton->show();
}

void AccountDialog::test() {
  if (!services_.check) {
    const dtl::Status none = NotAvailable(tr("The test"));
    smtpResult->setText(CheckLine(tr("SMTP"), none));
    imapResult->setText(CheckLine(tr("IMAP"), none));
    emit testFinished();
    return;
  }
  AccountSecrets secrets = secrets_;
  secrets.password = S(password->text());
  const int id = ++jobId_;
  const bool started = startJob(Job::Test, [this, id, profile = Shown(), secrets,
                                            check = services_.check](std::stop_token stop) {
    AccountCheckOutcome outcome = check(profile, secrets, stop);
    runner_.post([this, id, outcome = std::move(outcome)] {
      if (id != jobId_) return;
      smtpResult->setText(CheckLine(tr("SMTP"), outcome.smtp));
      imapResult->setText(CheckLine(tr("IMAP"), outcome.imap));
      emit testFinished();
    });
  });
  if (!started) return;
  smtpResult->setText(tr("SMTP: testing…"));
  imapResult->setText(tr("IMAP: testing…"));
}

void AccountDialog::stop() {
  if (!runner_.isRunning() || runner_.stopRequested()) return;
  runner_.requestStop();
  ++jobId_;  // the job's late outcome is dropped
  // Whichever job ran, its own line says it stopped.
  switch (job_) {
    case Job::SignIn:
      signInStatus->setText(tr("Sign-in cancelled."));
      cancelSignInButton->hide();
      emit signInFinished(false);
      break;
    case Job::Find:
      source->setText(tr("Stopped."));
      emit findFinished(false);
      break;
    case Job::Test:
      smtpResult->setText(tr("SMTP: stopped"));
      imapResult->setText(tr("IMAP: stopped"));
      emit testFinished();
      break;
    case Job::None: break;
  }
  stopButton->setEnabled(false);
}

void AccountDialog::accept() {
  stop();
  secrets_.password = S(password->text());
  const dtl::AccountProfile shown = Shown();
  if (services_.store) {
    if (dtl::Status kept = services_.store(shown, secrets_); !kept) {
      ShowMessage(this, MsgIcon::Error,
                  tr("The account could not be kept: %1").arg(Q(kept.error().message)));
      return;
    }
  }
  QDialog::accept();
}

void AccountDialog::reject() {
  stop();
  QDialog::reject();
}

AccountServices CoreAccountServices(dtl::SettingsStore& store,
                                    const dtl::NetworkEndpoints& endpoints) {
  AccountServices s;
  s.discover = [endpoints](const std::string& address, std::stop_token stop) {
    dtl::DiscoveryEnvironment env;
    env.endpoints = endpoints;
    return dtl::DiscoverAccount(address, env, {}, stop);
  };
  s.check = [&store, endpoints](const dtl::AccountProfile& profile, const AccountSecrets& secrets,
                                std::stop_token stop) {
    dtl::AccountCredentials credentials;
    if (profile.login == dtl::LoginKind::OAuth2) {
      if (!secrets.tokens.accessToken.empty()) {
        // The token the sign-in just gave is the one to try: the account is not kept yet, so
        // there is no refresh token in the store to renew it from.
        credentials.accessToken = [token = secrets.tokens.accessToken](bool) {
          return dtl::Result<std::string>(token);
        };
      } else {
        auto kept = dtl::MakeAccessTokenSourceFromSettings(store, endpoints, S(SignInAction()));
        if (!kept) return AccountCheckOutcome{kept.error(), kept.error()};
        credentials.accessToken = std::move(*kept);
      }
    } else {
      credentials.password = secrets.password;
    }
    dtl::AccountCheckSettings settings;
    settings.caFile = endpoints.caFile;
    dtl::AccountCheckResult r = dtl::TestAccountLogins(profile, credentials, settings, stop);
    return AccountCheckOutcome{std::move(r.smtp), std::move(r.imap)};
  };
  s.signIn = [&store, endpoints](const dtl::AccountProfile& profile,
                                 const std::function<void(const std::string&)>& openUrl,
                                 std::stop_token stop) -> dtl::Result<dtl::OAuthTokens> {
    // An address no provider is known for can still sign in with the custom provider's settings.
    const std::string id =
        profile.oauthProvider.empty() ? std::string(dtl::kOAuthCustom) : profile.oauthProvider;
    auto provider = dtl::LoadOAuthProvider(store, id);
    if (!provider) return provider.error();
    struct Relay : dtl::OAuthLoginObserver {
      const std::function<void(const std::string&)>& open;
      explicit Relay(const std::function<void(const std::string&)>& o) : open(o) {}
      void OnConsentUrl(const std::string& url) override { open(url); }
    } relay(openUrl);
    dtl::OAuthLoginParams params;
    params.provider = std::move(*provider);
    params.user = profile.imap.user.empty() ? profile.address : profile.imap.user;
    params.endpoints = endpoints;
    return dtl::OAuthLogin::Run(params, relay, stop);
  };
  s.store = [&store](const dtl::AccountProfile& profile, const AccountSecrets& secrets) {
    if (dtl::Status st = dtl::StoreProfile(store, profile); !st) return st;
    if (profile.login == dtl::LoginKind::Password)
      return dtl::StoreAccountPassword(store, secrets.password);
    // An OAuth2 account keeps the refresh token it had unless the user signed in again.
    if (secrets.tokens.refreshToken.empty()) return dtl::Status();
    const std::string id =
        profile.oauthProvider.empty() ? std::string(dtl::kOAuthCustom) : profile.oauthProvider;
    const std::string user = profile.imap.user.empty() ? profile.address : profile.imap.user;
    return dtl::StoreOAuthLogin(store, id, user, secrets.tokens);
  };
  return s;
}

}  // namespace dtlui
