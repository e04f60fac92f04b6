#include "gui/widgets/ColorBandSlider.h"

#include <QLinearGradient>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionSlider>

namespace dtlui {

ColorBandSlider::ColorBandSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {
  setTickPosition(QSlider::TicksBelow);
}

void ColorBandSlider::SetBands(int edge, QColor low, QColor from, QColor to) {
  edge_ = edge;
  low_ = low;
  from_ = from;
  to_ = to;
  update();
}

void ColorBandSlider::paintEvent(QPaintEvent*) {
  QStyleOptionSlider opt;
  initStyleOption(&opt);
  const QRect groove =
      style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove, this);
  const int span = std::max(1, maximum() - minimum());
  // Positions map onto the groove the way the handle's centre travels over it.
  const int handle = style()->pixelMetric(QStyle::PM_SliderLength, &opt, this);
  const int left = groove.left() + handle / 2, width = std::max(1, groove.width() - handle);
  const int edgeX = left + width * std::clamp(edge_ - minimum(), 0, span) / span;
  const QRect band(groove.left(), groove.center().y() - 3, groove.width(), 6);
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(low_);
  p.drawRoundedRect(QRect(band.left(), band.top(), edgeX - band.left(), band.height()), 3, 3);
  QLinearGradient shade(edgeX, 0, band.right(), 0);
  shade.setColorAt(0, from_);
  shade.setColorAt(1, to_);
  p.setBrush(shade);
  p.drawRoundedRect(QRect(edgeX, band.top(), band.right() - edgeX, band.height()), 3, 3);
  // The bands take the groove's place; the style draws the ticks and the handle over them.
  opt.subControls = QStyle::SC_SliderHandle | QStyle::SC_SliderTickmarks;
  style()->drawComplexControl(QStyle::CC_Slider, &opt, &p, this);
}

}  // namespace dtlui
