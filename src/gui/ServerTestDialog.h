// The Server Test dialog: checks on its JobRunner that an SMTP server greets with 220
// (dtl::ServerTest) and shows "Testing...", then "Success." or "Failure.".
//
// "&Close" closes at once. The test cannot be interrupted, so deleting the dialog waits for it;
// deleteWhenDone() lets a closed dialog go without waiting. The connect and reply waits are kept
// short (kWait each) so a dead server does not hold either up for long.
#pragma once

#include <QDialog>
#include <chrono>
#include <memory>

#include "gui/JobRunner.h"
#include "mail/SmtpClient.h"

class QLabel;

namespace dtlui {

class ServerTestDialog : public QDialog {
  Q_OBJECT
 public:
  static constexpr std::chrono::seconds kWait{15};

  // Port 0 becomes 25. The test starts when the dialog is shown.
  ServerTestDialog(const std::string& host, int port, const std::string& user,
                   const std::string& password, bool ssl, QWidget* parent = nullptr);
  ~ServerTestDialog() override;
  QString StatusText() const;
  const dtl::SmtpSettings& Settings() const { return settings_; }
  // Deletes the dialog from the event loop once its test is over (at the next turn when none
  // runs), so whoever is done with it never waits for a dead server.
  void deleteWhenDone();

 signals:
  // The test is over; `result` is the status shown ("Success." or "Failure.").
  void testFinished(const QString& result);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  dtl::SmtpSettings settings_;
  bool started_ = false;
  QLabel* status_;
  JobRunner runner_;
};

}  // namespace dtlui
