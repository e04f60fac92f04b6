#include "gui/UiSupport.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QSpinBox>
#include <QStandardPaths>
#include <algorithm>
#include <cstring>

#include "archive/SegmentRecovery.h"
#include "base/ProgramFolder.h"

namespace dtlui {
namespace {

MessageHook& Hook() {
  static MessageHook hook;
  return hook;
}
OpenHook& Opener() {
  static OpenHook hook;
  return hook;
}

// The program's data folder inside a share/ folder.
constexpr const char* kDataDir = "drovetail/";

}  // namespace

MessageHook SetMessageHook(MessageHook hook) { return std::exchange(Hook(), std::move(hook)); }
OpenHook SetOpenHook(OpenHook hook) { return std::exchange(Opener(), std::move(hook)); }

MsgAnswer ShowMessage(QWidget* parent, MsgIcon icon, const QString& text, MsgButtons buttons) {
  if (Hook()) return Hook()(icon, text, buttons);
  QMessageBox box(parent);
  box.setWindowTitle(QCoreApplication::translate("UiSupport", "Drovetail"));
  box.setText(text);
  box.setIcon(icon == MsgIcon::Error      ? QMessageBox::Critical
              : icon == MsgIcon::Question ? QMessageBox::Question
                                          : QMessageBox::Information);
  switch (buttons) {
    case MsgButtons::Ok: box.setStandardButtons(QMessageBox::Ok); break;
    case MsgButtons::YesNo: box.setStandardButtons(QMessageBox::Yes | QMessageBox::No); break;
    case MsgButtons::YesNoCancel:
      box.setStandardButtons(QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel);
      break;
  }
  switch (box.exec()) {
    case QMessageBox::Yes: return MsgAnswer::Yes;
    case QMessageBox::No: return MsgAnswer::No;
    case QMessageBox::Cancel: return MsgAnswer::Cancel;
    default: return MsgAnswer::Ok;
  }
}

QMessageBox* ShowNotice(QWidget* parent, MsgIcon icon, const QString& text) {
  if (Hook()) {
    Hook()(icon, text, MsgButtons::Ok);
    return nullptr;
  }
  auto* box = new QMessageBox(parent);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowModality(Qt::NonModal);
  box->setWindowTitle(QCoreApplication::translate("UiSupport", "Drovetail"));
  box->setText(text);
  box->setIcon(icon == MsgIcon::Error      ? QMessageBox::Critical
               : icon == MsgIcon::Question ? QMessageBox::Question
                                           : QMessageBox::Information);
  box->setStandardButtons(QMessageBox::Ok);
  box->show();
  return box;
}

namespace {
bool Launch(const QUrl& url) {
  if (Opener()) return Opener()(url);
  return QDesktopServices::openUrl(url);
}
}  // namespace

bool IsWebAddress(const QUrl& url) {
  const QString scheme = url.scheme().toLower();
  return url.isValid() && (scheme == "http" || scheme == "https") && !url.host().isEmpty();
}

bool OpenExternal(const QUrl& url) {
  if (!IsWebAddress(url)) return false;
  (void)Launch(url);  // a web page's link that the desktop cannot open is not the caller's failure
  return true;
}

bool OpenFolder(const QString& path) { return Launch(QUrl::fromLocalFile(path)); }

void OpenMailDraft(const QUrl& url) {
  if (url.scheme().toLower() == "mailto") (void)Launch(url);
}

QString ResourcePath(const QString& name) {
  // Relative to the program first, so an unpacked or uninstalled tree (build/bin beside
  // build/share) uses its own pages even when another copy is installed system-wide.
  const QString beside =
      QDir::cleanPath(Q(dtl::GetProgramFolder()) + "../share/" + kDataDir + name);
  if (QFileInfo::exists(beside)) return beside;
  const QString found =
      QStandardPaths::locate(QStandardPaths::GenericDataLocation, QLatin1String(kDataDir) + name);
  return found.isEmpty() ? beside : found;
}

QString DesktopIconPath() {
  const QString icon = QStringLiteral("icons/hicolor/64x64/apps/drovetail.png");
  const QString beside = QDir::cleanPath(Q(dtl::GetProgramFolder()) + "../share/" + icon);
  if (QFileInfo::exists(beside)) return beside;
  const QString found = QStandardPaths::locate(QStandardPaths::GenericDataLocation, icon);
  return found.isEmpty() ? QStringLiteral("drovetail") : found;
}

QIcon ResourceIcon(const QString& name) {
  const QString path = ":/icons/" + name + ".png";
  return QFileInfo::exists(path) ? QIcon(path) : QIcon();
}

QPixmap ResourcePixmap(const QString& name) { return QPixmap(":/" + name); }

QString SystemErrorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

QSpinBox* RecoveryPercentBox(QWidget* parent, uint32_t percent) {
  auto* box = new QSpinBox(parent);
  box->setRange(0, static_cast<int>(dtl::kMaxRecoveryPercent));
  box->setSuffix(QStringLiteral("%"));
  // A plain QSpinBox takes a partly typed number ("1" on the way to "15"); a stricter validator
  // would refuse the keystrokes in between.
  box->setValue(static_cast<int>(std::min<uint32_t>(percent, dtl::kMaxRecoveryPercent)));
  box->setToolTip(QCoreApplication::translate(
      "dtlui",
      "Recovery data made with the segments: lost or damaged segments up to this "
      "share can be rebuilt. 0% makes none."));
  return box;
}

}  // namespace dtlui
