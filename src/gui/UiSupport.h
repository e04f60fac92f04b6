// What every window of the desktop program shares: message boxes titled "Drovetail", opening
// web addresses and folders in the desktop, the program's own images, and string conversion
// between the core (UTF-8 std::string) and Qt.
//
// Message boxes and desktop launches go through replaceable hooks so the tests and the
// screenshot mode can answer them without a modal loop. UI thread only.
#pragma once

#include <QIcon>
#include <QPixmap>
#include <QString>
#include <QUrl>
#include <functional>
#include <string>
#include <string_view>

class QMessageBox;
class QSpinBox;
class QWidget;

namespace dtlui {

inline constexpr const char* kTitle = "Drovetail";
// The sibling product's name as its tab shows it until the SiblingSite setting names its site.
inline constexpr const char* kSiblingUrl = "www.orvanto.example";

enum class MsgIcon { Information, Error, Question };
enum class MsgButtons { Ok, YesNo, YesNoCancel };
enum class MsgAnswer { Ok, Yes, No, Cancel };

// Shows a modal message box titled "Drovetail" (or hands it to the hook) and returns the answer.
MsgAnswer ShowMessage(QWidget* parent, MsgIcon icon, const QString& text,
                      MsgButtons buttons = MsgButtons::Ok);

// Shows a message box titled "Drovetail" with an OK button that does not block: the window
// behind it stays usable (Stop stays reachable) and the box deletes itself when closed. Returns
// it so the caller can tell whether it is still up; null when the hook took the message.
QMessageBox* ShowNotice(QWidget* parent, MsgIcon icon, const QString& text);

// Replaces the message boxes (empty function: real boxes again). Returns the previous hook.
using MessageHook = std::function<MsgAnswer(MsgIcon, const QString& text, MsgButtons)>;
MessageHook SetMessageHook(MessageHook hook);

// Whether `url` is an http or https address with a host.
bool IsWebAddress(const QUrl& url);
// Opens a web address (http or https) in the desktop's web browser; failures ignored. Pages
// hand their links here, so any other scheme (file:, javascript:, data:, ...) is refused
// silently and false returned.
bool OpenExternal(const QUrl& url);
// Opens a local folder the program itself names (the merge's save folder) in the desktop.
// False when the desktop (or the hook) could not open it: the caller tells the user.
bool OpenFolder(const QString& path);
// Opens the desktop's mail program on a mailto: address the program itself composed; any other
// scheme is refused.
void OpenMailDraft(const QUrl& url);
// Replaces the desktop launch of the three above (empty function: the desktop again); the hook
// sees only what passed their checks and answers whether the launch worked. Returns the
// previous hook.
using OpenHook = std::function<bool(const QUrl&)>;
OpenHook SetOpenHook(OpenHook hook);

// An installed data file of the program ("home.html", "verb1.html"): <program folder>/../share/
// drovetail/NAME when it exists (an installed or a build tree), else the first drovetail/NAME in
// the XDG data folders ($XDG_DATA_HOME, $XDG_DATA_DIRS). When neither exists, the first path,
// so a caller's "file not found" names the expected place.
QString ResourcePath(const QString& name);
// The program's icon as an image file for desktop entries: the hicolor theme's 64x64
// drovetail.png found like ResourcePath; the theme name "drovetail" when no file is found.
QString DesktopIconPath();
// An icon compiled into the program (":/icons/<name>.png"); an empty icon when missing.
QIcon ResourceIcon(const QString& name);
// A picture compiled into the program (":/<name>", e.g. "icons/drovetail.png"); null when missing.
QPixmap ResourcePixmap(const QString& name);

inline QString Q(std::string_view s) {
  return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}
inline std::string S(const QString& s) { return s.toUtf8().toStdString(); }

// The system's text for the last file error, for messages titled "Drovetail".
QString SystemErrorText(int error);

// The "Recovery data" field of the two split dialogs: 0..100 with a "%" suffix, starting at
// `percent` (clamped), its tool tip saying what the share buys. Owned by `parent`.
QSpinBox* RecoveryPercentBox(QWidget* parent, uint32_t percent);

}  // namespace dtlui
