// The Server Test dialog: checks on a worker thread that an SMTP server greets with 220
// (dtl::ServerTest) and shows "Testing...", then "Success." or "Failure.".
//
// The worker is detached: "&Close" closes at once, and a result that arrives after the dialog
// is gone is dropped. The connect and reply waits are kept short (kWait each) so a dead server
// does not keep a worker around for long.
#pragma once

#include <QDialog>
#include <chrono>
#include <memory>

#include "mail/SmtpClient.h"

class QLabel;

namespace dtlui {

class ServerTestDialog : public QDialog {
  Q_OBJECT
 public:
  static constexpr std::chrono::seconds kWait{15};

  // Port 0 becomes 25. The test starts when the dialog is shown.
  ServerTestDialog(const std::string& host, int port, const std::string& user, const std::string& password,
                 bool ssl, QWidget* parent = nullptr);
  ~ServerTestDialog() override;
  QString StatusText() const;
  const dtl::SmtpSettings& Settings() const { return settings_; }

 signals:
  void Finished(const QString& result);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  struct Link;
  dtl::SmtpSettings settings_;
  std::shared_ptr<Link> link_;
  bool started_ = false;
  QLabel* status_;
};

}  // namespace dtlui
