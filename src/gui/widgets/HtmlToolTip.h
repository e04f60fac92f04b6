// A tool tip that shows a bold title, HTML text and a clickable link at a screen position; it
// closes when clicked outside. Used for the panes' Quick Help. Look only.
#pragma once

#include <QFrame>
#include <QString>
#include <QUrl>

class QLabel;

namespace dtlui {

class HtmlToolTip : public QFrame {
  Q_OBJECT
 public:
  explicit HtmlToolTip(QWidget* parent = nullptr);
  void setContent(const QString& title, const QString& html, const QUrl& link,
                  const QString& linkText);
  // Shows the tip with its top-left corner at `globalPos`.
  void showAt(const QPoint& globalPos);
  QString title() const;
  QString html() const;

 private:
  QLabel* title_;
  QLabel* body_;
  QLabel* link_;
};

}  // namespace dtlui
