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

class QWidget;

namespace dtlui {

inline constexpr const char* kTitle = "Drovetail";
// The product's web site (help pages, the Websites menu) and the sibling product's address as
// its tab shows it.
inline constexpr const char* kProductUrl = "https://www.drovetail.example/";
inline constexpr const char* kSiblingUrl = "www.orvanto.example";

enum class MsgIcon { Information, Error, Question };
enum class MsgButtons { Ok, YesNo, YesNoCancel };
enum class MsgAnswer { Ok, Yes, No, Cancel };

// Shows a modal message box titled "Drovetail" (or hands it to the hook) and returns the answer.
MsgAnswer ShowMessage(QWidget* parent, MsgIcon icon, const QString& text, MsgButtons buttons = MsgButtons::Ok);

// Replaces the message boxes (empty function: real boxes again). Returns the previous hook.
using MessageHook = std::function<MsgAnswer(MsgIcon, const QString& text, MsgButtons)>;
MessageHook SetMessageHook(MessageHook hook);

// Opens a web address, a mailto: address or a local folder in the desktop; failures ignored.
void OpenExternal(const QUrl& url);
using OpenHook = std::function<void(const QUrl&)>;
OpenHook SetOpenHook(OpenHook hook);

// The program's files installed beside it ("home.html", "icons/send.png", ...): the program
// folder's copy, or the source tree's resources/ folder when running from a build tree.
QString ResourcePath(const QString& name);
// An icon from icons/<name>.png; an empty icon when missing.
QIcon ResourceIcon(const QString& name);
QPixmap ResourcePixmap(const QString& name);

inline QString Q(std::string_view s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }
inline std::string S(const QString& s) { return s.toUtf8().toStdString(); }

// The system's text for the last file error, for messages titled "Drovetail".
QString SystemErrorText(int error);

}  // namespace dtlui
