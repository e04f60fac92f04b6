#include "gui/widgets/HtmlToolTip.h"

#include <QLabel>
#include <QVBoxLayout>

namespace dtlui {

HtmlToolTip::HtmlToolTip(QWidget* parent) : QFrame(parent, Qt::Popup) {
  setFrameShape(QFrame::Box);
  setStyleSheet("dtlui--HtmlToolTip { background: #fffbe6; border: 1px solid #b9a560; }");
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(10, 8, 10, 8);
  title_ = new QLabel(this);
  title_->setStyleSheet("font-weight: bold; color: #2f4f6f;");
  body_ = new QLabel(this);
  body_->setTextFormat(Qt::RichText);
  link_ = new QLabel(this);
  link_->setTextFormat(Qt::RichText);
  link_->setOpenExternalLinks(true);
  layout->addWidget(title_);
  layout->addWidget(body_);
  layout->addWidget(link_);
}

void HtmlToolTip::setContent(const QString& title, const QString& html, const QUrl& link,
                             const QString& linkText) {
  title_->setText(title);
  body_->setText(html);
  link_->setText(QString("<a href=\"%1\">%2</a>")
                     .arg(link.toString().toHtmlEscaped(), linkText.toHtmlEscaped()));
  adjustSize();
}

void HtmlToolTip::showAt(const QPoint& globalPos) {
  move(globalPos);
  show();
}

QString HtmlToolTip::title() const { return title_->text(); }
QString HtmlToolTip::html() const { return body_->text(); }

}  // namespace dtlui
