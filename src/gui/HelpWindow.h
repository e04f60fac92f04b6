// The program's help: the installed documentation (docs/*.md, installed to
// <prefix>/share/drovetail/doc/ and staged the same way in the build tree) in a window of its
// own, drawn from the Markdown by a QTextBrowser, with the list of the installed pages beside it.
// Links between the pages open here, with Back and Forward; web links open in the desktop's browser
// (dtlui::OpenExternal); any other link (a local file outside the help, a script) is refused
// silently.
//
// UI thread only.
#pragma once

#include <QString>
#include <QUrl>
#include <QWidget>

class QListWidget;
class QTextBrowser;
class QToolButton;

namespace dtlui {

class HelpWindow : public QWidget {
  Q_OBJECT
 public:
  // A top-level window (parent: the window it belongs to, or null), starting on desktop.md.
  explicit HelpWindow(QWidget* parent = nullptr);

  // The installed help page `page` ("desktop.md"): ResourcePath("doc/" + page).
  static QString PagePath(const QString& page);
  // Shows the help page `page` ("desktop.md", "sending.md", ...). A page that is not installed
  // shows a short note naming where it was looked for instead.
  void showPage(const QString& page);
  // The address of the last help page shown (a file: address).
  QUrl currentPage() const;
  QTextBrowser* browser() const { return text_; }
  // The pages' list: one entry per installed page, titled by its first heading.
  QListWidget* pages() const { return pages_; }

 private:
  void open(const QUrl& url);
  void follow(const QUrl& link);

  // Marks the list entry of the page shown.
  void markPage(const QUrl& page);

  QListWidget* pages_;
  QTextBrowser* text_;
  QToolButton *back_, *forward_, *contents_;
};

}  // namespace dtlui
