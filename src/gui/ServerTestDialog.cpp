#include "gui/ServerTestDialog.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/UiSupport.h"
#include "mail/ServerTest.h"

namespace dtlui {

ServerTestDialog::ServerTestDialog(const std::string& host, int port, const std::string& user,
                                   const std::string& password, bool ssl, QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(tr("Server Test"));
  settings_.host = host;
  settings_.port = port == 0 ? 25 : port;
  settings_.user = user;
  settings_.password = password;
  settings_.ssl = ssl;
  settings_.connectTimeout = kWait;
  settings_.replyTimeout = kWait;
  status_ = new QLabel(tr("Testing..."), this);
  status_->setObjectName("status");
  status_->setMinimumWidth(220);
  auto* close = new QPushButton(tr("&Close"), this);
  connect(close, &QPushButton::clicked, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(tr("Server: %1:%2").arg(Q(host)).arg(settings_.port), this));
  layout->addWidget(status_);
  layout->addWidget(close, 0, Qt::AlignRight);
}

ServerTestDialog::~ServerTestDialog() = default;

QString ServerTestDialog::StatusText() const { return status_->text(); }

void ServerTestDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (started_) return;
  started_ = true;
  runner_.start([this, settings = settings_](std::stop_token) {
    // The test has no stop: it ends within its connect and reply waits.
    const QString result = Q(dtl::ServerTest(settings));
    runner_.post([this, result] {
      status_->setText(result);
      emit testFinished(result);
    });
  });
}

void ServerTestDialog::deleteWhenDone() {
  if (runner_.isRunning())
    connect(&runner_, &JobRunner::finished, this, &QObject::deleteLater);
  else
    deleteLater();
}

}  // namespace dtlui
