// The Account dialog: one mail account set up from its address. "Find Settings" looks the
// address's servers up (the account layer's discovery, on the dialog's JobRunner) and shows
// what was found and where from in fields the user may correct; "Sign in with browser…" gets an
// OAuth2 refresh token through the provider's consent page; "Test" tries both logins; OK keeps
// the account. Cancel keeps nothing, not even a token the sign-in got.
//
// The account layer is reached only through AccountServices, so the dialog can be driven by
// tests (and by the screenshot mode) with functions of their own. UI thread only.
#pragma once

#include <QDialog>
#include <functional>
#include <stop_token>
#include <string>

#include "account/AccountProfile.h"
#include "account/OAuthLogin.h"
#include "base/Error.h"
#include "gui/JobRunner.h"
#include "mail/AccessToken.h"

class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace dtl {
class SettingsStore;
struct NetworkEndpoints;
}  // namespace dtl

namespace dtlui {

// The secrets of an account as the dialog holds them until OK.
struct AccountSecrets {
  std::string password;     // the password login's (both servers use the same one)
  dtl::OAuthTokens tokens;  // what the browser sign-in gave; empty when none was made
};

// The outcome of trying both logins; each Status is the login's own (an Auth error's message
// says why the server refused).
struct AccountCheckOutcome {
  dtl::Status smtp;
  dtl::Status imap;
};

// What the dialog asks of the account layer. discover, check and signIn run on the dialog's
// worker thread and must end soon after their stop token is set (Cancelled then); store runs on
// the UI thread. A function left empty makes its button say it is not available.
struct AccountServices {
  // The servers of `address`, with where they were found (source, sourceDetail).
  std::function<dtl::Result<dtl::AccountProfile>(const std::string& address, std::stop_token)>
      discover;
  // Logs in to both servers of `profile` with `secrets` and logs out again.
  std::function<AccountCheckOutcome(const dtl::AccountProfile& profile,
                                    const AccountSecrets& secrets, std::stop_token)>
      check;
  // The browser sign-in of `profile`'s OAuth2 provider: calls `openUrl` (on the worker thread)
  // with the consent page's address, waits for the redirect and gives the tokens.
  std::function<dtl::Result<dtl::OAuthTokens>(
      const dtl::AccountProfile& profile,
      const std::function<void(const std::string& url)>& openUrl, std::stop_token)>
      signIn;
  // Keeps the account and its secrets (an OAuth2 account keeps the refresh token, a password
  // account the password). An error leaves the dialog open with its message.
  std::function<dtl::Status(const dtl::AccountProfile& profile, const AccountSecrets& secrets)>
      store;
};

// The services of the program's account layer over `store` (which must outlive them), their
// requests going where `endpoints` say (copied).
AccountServices CoreAccountServices(dtl::SettingsStore& store,
                                    const dtl::NetworkEndpoints& endpoints);

// The OAuth2 access tokens of the account in `store` for the desktop's sends and receives: the
// account layer's token source, whose "log in again" (Auth) errors are also handed to
// `loginExpired` on the UI thread, from the event loop. When the account cannot make tokens (no
// provider, no client id) every call gives that error. `store` must outlive the function;
// `loginExpired` is called only while the application runs.
dtl::AccessTokenFn DesktopAccessTokens(dtl::SettingsStore& store,
                                       const dtl::NetworkEndpoints& endpoints,
                                       std::function<void(const QString& message)> loginExpired);

// How the desktop tells the user to sign in again ("Settings > Account… > Sign in with
// browser…"), for the account layer's "log in again" messages.
QString SignInAction();

// The line that tells the user where `profile`'s servers came from.
QString SourceText(const dtl::AccountProfile& profile);

class AccountDialog : public QDialog {
  Q_OBJECT
 public:
  // Shows the account `store` holds now. `services` may lack functions (see AccountServices).
  AccountDialog(dtl::SettingsStore& store, AccountServices services, QWidget* parent = nullptr);
  // A job still running is stopped and waited for (each service ends soon after a stop).
  ~AccountDialog() override;

  // The account as the fields show it.
  dtl::AccountProfile Shown() const;
  // Fills the fields from `profile` (and its source line), as a finished Find does.
  void ShowProfile(const dtl::AccountProfile& profile);
  // True while Find, Sign in or Test runs.
  bool Busy() const { return runner_.isRunning(); }
  // True once the browser sign-in gave a refresh token (kept on OK).
  bool SignedIn() const { return !secrets_.tokens.refreshToken.empty(); }

  // The fields and buttons, for the tests and the screenshot mode.
  QLineEdit* address;
  QPushButton *findButton, *stopButton;
  QLabel* source;  // where the servers came from, or why nothing was found
  QLineEdit *smtpHost, *smtpUser, *imapHost, *imapUser, *password;
  QSpinBox *smtpPort, *imapPort;
  QComboBox *smtpSecurity, *imapSecurity;  // 0 SSL/TLS, 1 STARTTLS
  QComboBox* login;                        // 0 password, 1 OAuth2
  QLabel* passwordLabel;
  QPushButton* signInButton;
  QLabel* signInStatus;             // "Waiting for the browser…", "Signed in.", or why not
  QPushButton* cancelSignInButton;  // shown while the sign-in waits for the browser
  QPushButton* testButton;
  QLabel *smtpResult, *imapResult;  // "SMTP: OK", "IMAP: refused — why"
  QLabel* notes;

 signals:
  // A job's outcome is shown (for tests and callers that wait). The buttons come back a moment
  // later, once the job's thread has ended (Busy() false).
  void findFinished(bool found);
  void signInFinished(bool signedIn);
  void testFinished();

 public slots:
  // Looks the address up (Enter in the address field does the same).
  void find();
  // Opens the provider's consent page in the desktop's browser and waits for its redirect.
  void signIn();
  // Tries both logins with the values shown.
  void test();
  // Stops the job under way; its late outcome is dropped.
  void stop();
  // Keeps the account through the services; stays open with a message when that fails.
  void accept() override;
  void reject() override;

 private:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void loginChanged(int index);
  void smtpSecurityChanged(int index);
  void imapSecurityChanged(int index);
  void jobEnded();
  enum class Job { None, Find, SignIn, Test };
  // Runs `job` unless one runs already; false then.
  bool startJob(Job kind, JobRunner::Job job);

  dtl::SettingsStore& store_;
  QFormLayout* loginForm_ = nullptr;
  Job job_ = Job::None;  // the job running, for the line that says it stopped
  int jobId_ = 0;        // a stopped job's late outcome carries an old id and is dropped
  int shownSmtpSecurity_ = 0, shownImapSecurity_ = 0;

  AccountServices services_;
  AccountSecrets secrets_;
  dtl::ProfileSource shownSource_ = dtl::ProfileSource::User;
  std::string shownSourceDetail_;
  std::string shownProvider_;
  std::string shownName_;
  JobRunner runner_;  // last: a job ends before the members it uses
};

}  // namespace dtlui
