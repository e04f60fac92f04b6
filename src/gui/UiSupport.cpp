#include "gui/UiSupport.h"

#include <QCoreApplication>
#include <QDesktopServices>
#include <QFileInfo>
#include <QMessageBox>
#include <cstring>

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

void OpenExternal(const QUrl& url) {
  if (Opener()) return Opener()(url);
  QDesktopServices::openUrl(url);
}

QString ResourcePath(const QString& name) {
  const QString installed = Q(dtl::GetProgramFolder()) + name;
  if (QFileInfo::exists(installed)) return installed;
#ifdef DTL_RESOURCE_DIR
  const QString source = QStringLiteral(DTL_RESOURCE_DIR "/") + name;
  if (QFileInfo::exists(source)) return source;
#endif
  return installed;
}

QIcon ResourceIcon(const QString& name) {
  const QString path = ResourcePath("icons/" + name + ".png");
  return QFileInfo::exists(path) ? QIcon(path) : QIcon();
}

QPixmap ResourcePixmap(const QString& name) { return QPixmap(ResourcePath(name)); }

QString SystemErrorText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

}  // namespace dtlui
