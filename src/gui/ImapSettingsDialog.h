// The IMAP Server Settings dialog: server, port, security (implicit TLS or STARTTLS), user
// name, password and folder, read from the settings store when it opens and written on OK.
// "Test..." runs the IMAP Test dialog on the values shown: it logs in and opens the folder.
#pragma once

#include <QDialog>
#include <QPointer>
#include <string>

#include "base/SettingsStore.h"
#include "gui/JobRunner.h"
#include "receive/ImapSession.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace dtlui {

// The mailbox the stored IMAP settings name (the CA from DTL_CA_FILE, else the system's).
dtl::ImapSettings ImapSettingsFromStore(const dtl::SettingsStore& store);

// The IMAP Test dialog: on its JobRunner, logs in to the server and opens the folder read-only
// (dtl::ImapSession: Open() then Examine()), showing "Testing..." and then the outcome: the
// folder's message count, or the server's or the connection's error.
//
// "&Stop" ends the test for the user at once ("Stopped."); its worker lets go within a moment
// (a connect under way within kWait), and a late answer is dropped. "&Close" stops it too and
// hides the dialog at once. Deleting the dialog waits
// for the test; deleteWhenDone() lets a closed dialog go without waiting. UI thread only.
class ImapTestDialog : public QDialog {
  Q_OBJECT
 public:
  static constexpr std::chrono::seconds kWait{15};

  // The test starts when the dialog is first shown. An empty folder is INBOX.
  ImapTestDialog(dtl::ImapSettings settings, std::string folder, QWidget* parent = nullptr);
  ~ImapTestDialog() override;

  QString StatusText() const;
  bool Running() const { return runner_.isRunning(); }
  const dtl::ImapSettings& Settings() const { return settings_; }
  // Deletes the dialog from the event loop once its test is over (at the next turn when none
  // runs), so whoever is done with it never waits for a dead server.
  void deleteWhenDone();

  QPushButton *stopButton, *closeButton;

 signals:
  // The test is over: `ok` when the folder opened; `text` is the status shown.
  void testFinished(bool ok, const QString& text);

 public slots:
  void stop();
  void reject() override;

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  dtl::ImapSettings settings_;
  std::string folder_;
  bool started_ = false;
  bool stopped_ = false;
  QLabel* status_;
  JobRunner runner_;  // last: the test ends before the members it uses
};

class ImapSettingsDialog : public QDialog {
  Q_OBJECT
 public:
  ImapSettingsDialog(dtl::SettingsStore& store, QWidget* parent = nullptr);
  // A test still running is let go, never waited for.
  ~ImapSettingsDialog() override;
  // Writes every value; stays open (no message) when the store cannot be written.
  void accept() override;
  // The IMAP Test dialog for the values shown (the caller shows it and owns it).
  ImapTestDialog* MakeTest();
  // The settings the values shown give.
  dtl::ImapSettings Shown() const;

  QLineEdit *server, *user, *password, *folder;
  QSpinBox* port;
  QComboBox* security;  // 0 implicit TLS, 1 STARTTLS: the stored IMAPSecurity
  QPushButton* testButton;

 private:
  void securityChanged(int index);

  dtl::SettingsStore& store_;
  int shownSecurity_ = 0;
  QPointer<ImapTestDialog> test_;  // the last test run
};

}  // namespace dtlui
