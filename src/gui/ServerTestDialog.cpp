#include "gui/ServerTestDialog.h"

#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>
#include <mutex>
#include <thread>

#include "gui/UiSupport.h"
#include "mail/ServerTest.h"

namespace dtlui {

// What the detached worker shares with the dialog: the dialog clears `dialog` when it goes, so
// the worker never posts to an object that no longer exists.
struct ServerTestDialog::Link {
  std::mutex mutex;
  ServerTestDialog* dialog = nullptr;
};

ServerTestDialog::ServerTestDialog(const std::string& host, int port, const std::string& user,
                               const std::string& password, bool ssl, QWidget* parent)
    : QDialog(parent), link_(std::make_shared<Link>()) {
  setWindowTitle("Server Test");
  settings_.host = host;
  settings_.port = port == 0 ? 25 : port;
  settings_.user = user;
  settings_.password = password;
  settings_.ssl = ssl;
  settings_.connectTimeout = kWait;
  settings_.replyTimeout = kWait;
  link_->dialog = this;
  status_ = new QLabel("Testing...", this);
  status_->setObjectName("status");
  status_->setMinimumWidth(220);
  auto* close = new QPushButton("&Close", this);
  connect(close, &QPushButton::clicked, this, &QDialog::reject);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(QString("Server: %1:%2").arg(Q(host)).arg(settings_.port), this));
  layout->addWidget(status_);
  layout->addWidget(close, 0, Qt::AlignRight);
}

ServerTestDialog::~ServerTestDialog() {
  std::lock_guard lock(link_->mutex);
  link_->dialog = nullptr;
}

QString ServerTestDialog::StatusText() const { return status_->text(); }

void ServerTestDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (started_) return;
  started_ = true;
  std::thread([link = link_, settings = settings_] {
    const QString result = Q(dtl::ServerTest(settings));
    std::lock_guard lock(link->mutex);
    if (!link->dialog) return;
    // Queued: the label is only touched on the UI thread; a dialog deleted before delivery
    // takes the pending call with it.
    QMetaObject::invokeMethod(
        link->dialog,
        [dlg = link->dialog, result] {
          dlg->status_->setText(result);
          emit dlg->Finished(result);
        },
        Qt::QueuedConnection);
  }).detach();
}

}  // namespace dtlui
