#include "gui/widgets/HtmlToolTip.h"

#include <QGuiApplication>
#include <QLabel>
#include <QScreen>
#include <QTextDocument>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>

namespace dtlui {

HtmlToolTip::HtmlToolTip(QWidget* parent) : QFrame(parent, Qt::Popup) {
  setFrameShape(QFrame::Box);
  setStyleSheet("dtlui--HtmlToolTip { background: #fffbe6; border: 1px solid #b9a560; }");
  setMaximumWidth(kMaxWidth);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(10, 8, 10, 8);
  title_ = new QLabel(this);
  title_->setTextFormat(Qt::PlainText);
  title_->setWordWrap(true);
  title_->setStyleSheet("font-weight: bold; color: #2f4f6f;");
  body_ = new QLabel(this);
  body_->setTextFormat(Qt::RichText);
  body_->setWordWrap(true);
  link_ = new QLabel(this);
  link_->setTextFormat(Qt::RichText);
  // The link leads into the program (its help window), never to the desktop's browser.
  link_->setOpenExternalLinks(false);
  link_->setTextInteractionFlags(Qt::LinksAccessibleByMouse | Qt::LinksAccessibleByKeyboard);
  connect(link_, &QLabel::linkActivated, this, [this] {
    hide();
    emit linkActivated();
  });
  layout->addWidget(title_);
  layout->addWidget(body_);
  layout->addWidget(link_);
}

void HtmlToolTip::setContent(const QString& title, const QString& html, const QString& linkText) {
  title_->setText(title);
  body_->setText(html);
  link_->setText(QString("<a href=\"#more\">%1</a>").arg(linkText.toHtmlEscaped()));
  // A wrapping label asks for a narrow width of its own liking: the tip takes the width the
  // text has unwrapped (its own line breaks kept), up to kMaxWidth, and lets the height follow.
  QTextDocument unwrapped;
  unwrapped.setDefaultFont(body_->font());
  unwrapped.setDocumentMargin(0);
  unwrapped.setHtml(html);
  const QMargins margins = layout()->contentsMargins() + contentsMargins();
  const int natural = static_cast<int>(std::ceil(unwrapped.idealWidth())) + margins.left() +
                      margins.right() + 2;  // rounding of the label's own layout
  const int width = std::min(kMaxWidth, std::max(natural, layout()->sizeHint().width()));
  const int height = layout()->hasHeightForWidth() ? layout()->totalHeightForWidth(width)
                                                   : layout()->sizeHint().height();
  resize(width, height);
}

void HtmlToolTip::showAt(const QPoint& globalPos) {
  QPoint at = globalPos;
  if (const QScreen* screen = QGuiApplication::screenAt(globalPos)) {
    const QRect area = screen->availableGeometry();
    at.setX(std::max(area.left(), std::min(at.x(), area.right() + 1 - width())));
    at.setY(std::max(area.top(), std::min(at.y(), area.bottom() + 1 - height())));
  }
  move(at);
  show();
}

QString HtmlToolTip::title() const { return title_->text(); }
QString HtmlToolTip::html() const { return body_->text(); }

}  // namespace dtlui
