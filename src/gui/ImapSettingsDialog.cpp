#include "gui/ImapSettingsDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>
#include <cstdlib>

#include "gui/SettingsDialogParts.h"
#include "gui/UiSupport.h"

namespace dtlui {

namespace {

constexpr int kImplicitTlsPort = 993;
constexpr int kStartTlsPort = 143;

int DefaultPort(int security) { return security == 1 ? kStartTlsPort : kImplicitTlsPort; }

dtl::ImapSecurity Security(int index) {
  return index == 1 ? dtl::ImapSecurity::StartTls : dtl::ImapSecurity::ImplicitTls;
}

}  // namespace

dtl::ImapSettings ImapSettingsFromStore(const dtl::SettingsStore& store) {
  dtl::ImapSettings s;
  s.host = store.ImapServer();
  s.port = static_cast<int>(store.ImapPort());
  s.security = store.ImapStartTls() ? dtl::ImapSecurity::StartTls : dtl::ImapSecurity::ImplicitTls;
  s.user = store.ImapUserName();
  s.password = store.ImapPass();
  // The session reads DTL_CA_FILE itself when this is empty; the variable is taken here too so
  // the settings say which CAs are trusted.
  if (const char* ca = std::getenv("DTL_CA_FILE"); ca && *ca) s.caFile = ca;
  return s;
}

ImapTestDialog::ImapTestDialog(dtl::ImapSettings settings, std::string folder, QWidget* parent)
    : QDialog(parent), settings_(std::move(settings)), folder_(std::move(folder)) {
  setWindowTitle(tr("IMAP Test"));
  if (folder_.empty()) folder_ = "INBOX";
  // A server that never answers must not hold the test (or a waiting close) for a minute.
  settings_.connectTimeout = kWait;
  settings_.ioTimeout = kWait;
  status_ = new QLabel(tr("Testing..."), this);
  status_->setObjectName("status");
  status_->setWordWrap(true);
  status_->setMinimumWidth(300);
  stopButton = new QPushButton(tr("&Stop"), this);
  closeButton = new QPushButton(tr("&Close"), this);
  connect(stopButton, &QPushButton::clicked, this, &ImapTestDialog::stop);
  connect(closeButton, &QPushButton::clicked, this, &QDialog::reject);
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(stopButton);
  buttons->addWidget(closeButton);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(new QLabel(
      tr("Server: %1:%2, folder %3").arg(Q(settings_.host)).arg(settings_.port).arg(Q(folder_)),
      this));
  layout->addWidget(status_);
  layout->addLayout(buttons);
  connect(&runner_, &JobRunner::finished, this, [this] { stopButton->setEnabled(false); });
}

ImapTestDialog::~ImapTestDialog() { runner_.requestStop(); }

QString ImapTestDialog::StatusText() const { return status_->text(); }

void ImapTestDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (started_) return;
  started_ = true;
  runner_.start([this, settings = settings_, folder = folder_](std::stop_token stop) {
    dtl::ImapSession session(settings, stop);
    bool ok = false;
    QString text;
    dtl::Status opened = session.Open();
    if (!opened) {
      text = Q(opened.error().message);
    } else if (auto info = session.Examine(folder); !info) {
      text = Q(info.error().message);
    } else {
      ok = true;
      text = info->exists == 1 ? tr("Success: 1 message in %1.").arg(Q(folder))
                               : tr("Success: %1 messages in %2.").arg(info->exists).arg(Q(folder));
    }
    // The answer is known; a failed goodbye changes nothing about it.
    (void)session.Logout();
    if (!ok) text = stop.stop_requested() ? tr("Stopped.") : tr("Failure: %1").arg(text);
    runner_.post([this, ok, text] {
      if (stopped_) return;  // the user has been told already
      status_->setText(text);
      emit testFinished(ok, text);
    });
  });
}

void ImapTestDialog::stop() {
  if (!runner_.isRunning() || stopped_) return;
  // The worker lets go within a moment (a connect under way takes up to kWait); the answer is
  // given now and whatever comes later is dropped.
  runner_.requestStop();
  stopped_ = true;
  stopButton->setEnabled(false);
  status_->setText(tr("Stopped."));
  emit testFinished(false, status_->text());
}

void ImapTestDialog::reject() {
  stop();
  QDialog::reject();
}

void ImapTestDialog::deleteWhenDone() {
  if (runner_.isRunning())
    connect(&runner_, &JobRunner::finished, this, &QObject::deleteLater);
  else
    deleteLater();
}

ImapSettingsDialog::ImapSettingsDialog(dtl::SettingsStore& store, QWidget* parent)
    : QDialog(parent), store_(store) {
  setWindowTitle(tr("IMAP Server Settings"));
  server = Edit(this, store_.ImapServer(), 200);
  port = PortBox(this, store_.ImapPort());
  security = new QComboBox(this);
  security->addItems({tr("Implicit TLS"), tr("STARTTLS")});
  shownSecurity_ = store_.ImapStartTls() ? 1 : 0;
  security->setCurrentIndex(shownSecurity_);
  user = Edit(this, store_.ImapUserName(), 199);
  password = Edit(this, store_.ImapPass(), 200, true);
  folder = Edit(this, store_.ImapFolder(), 200);
  connect(security, &QComboBox::currentIndexChanged, this, &ImapSettingsDialog::securityChanged);
  testButton = new QPushButton(tr("Test..."), this);
  testButton->setAutoDefault(false);
  connect(testButton, &QPushButton::clicked, this, [this] {
    ImapTestDialog* test = MakeTest();
    test_ = test;
    test->exec();
    test->deleteWhenDone();
  });
  auto* form = new QFormLayout;
  form->addRow(tr("IMAP Server:"), server);
  form->addRow(tr("Port:"), port);
  form->addRow(tr("Security:"), security);
  form->addRow(tr("User Name:"), user);
  form->addRow(tr("Password:"), password);
  form->addRow(tr("Folder:"), folder);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(testButton, 0, Qt::AlignLeft);
  layout->addWidget(OkCancel(this));
}

ImapSettingsDialog::~ImapSettingsDialog() {
  // A test still waiting for a dead server would hold this dialog's end (and the window that
  // closed it) until its time-out: it goes on its own instead.
  if (test_) {
    test_->setParent(nullptr);
    test_->deleteWhenDone();
  }
}

// Only the other mode's standard port moves: a port the user chose stays.
void ImapSettingsDialog::securityChanged(int index) {
  if (port->value() == DefaultPort(shownSecurity_)) port->setValue(DefaultPort(index));
  shownSecurity_ = index;
}

dtl::ImapSettings ImapSettingsDialog::Shown() const {
  dtl::ImapSettings s = ImapSettingsFromStore(store_);
  s.host = S(server->text().trimmed());
  s.port = port->value();
  s.security = Security(security->currentIndex());
  s.user = S(user->text());
  s.password = S(password->text());
  return s;
}

ImapTestDialog* ImapSettingsDialog::MakeTest() {
  return new ImapTestDialog(Shown(), S(folder->text()), this);
}

void ImapSettingsDialog::accept() {
  const QString box = folder->text().isEmpty() ? QStringLiteral("INBOX") : folder->text();
  const bool ok = store_.SetString("IMAPServer", S(server->text().trimmed())) &&
                  store_.SetDword("IMAPPort", static_cast<uint32_t>(port->value())) &&
                  store_.SetDword("IMAPSecurity", security->currentIndex() == 1 ? 1 : 0) &&
                  store_.SetString("IMAPUserName", S(user->text())) &&
                  store_.SetString("IMAPPass", S(password->text())) &&
                  store_.SetString("IMAPFolder", S(box));
  if (ok) QDialog::accept();
}

}  // namespace dtlui
