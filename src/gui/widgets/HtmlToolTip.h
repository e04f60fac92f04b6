// A tool tip that shows a bold title, HTML text and one "more help" link at a screen position;
// it closes when clicked outside. Used for the panes' Quick Help. The tip is never wider than
// kMaxWidth: the text wraps, so a long help text grows the tip downwards, not off the screen.
#pragma once

#include <QFrame>
#include <QString>

class QLabel;

namespace dtlui {

class HtmlToolTip : public QFrame {
  Q_OBJECT
 public:
  static constexpr int kMaxWidth = 600;

  explicit HtmlToolTip(QWidget* parent = nullptr);
  // The title (plain text), the body (rich text, without a title or link of its own) and the
  // link's words; the tip takes the size the wrapped text needs, at most kMaxWidth wide.
  void setContent(const QString& title, const QString& html, const QString& linkText);
  // Shows the tip with its top-left corner at `globalPos`, moved in so that it stays on the
  // screen there.
  void showAt(const QPoint& globalPos);
  QString title() const;
  QString html() const;
  QLabel* linkLabel() const { return link_; }

 signals:
  // The user clicked the link; the tip has closed itself.
  void linkActivated();

 private:
  QLabel* title_;
  QLabel* body_;
  QLabel* link_;
};

}  // namespace dtlui
