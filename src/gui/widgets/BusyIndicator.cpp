#include "gui/widgets/BusyIndicator.h"

#include <QPainter>
#include <cmath>

namespace dtlui {

namespace {
constexpr int kDots = 10;
}

BusyIndicator::BusyIndicator(QWidget* parent) : QWidget(parent) {
  timer_.setInterval(90);
  connect(&timer_, &QTimer::timeout, this, [this] {
    step_ = (step_ + 1) % kDots;
    update();
  });
}

void BusyIndicator::Start() { timer_.start(); }
void BusyIndicator::Stop() {
  timer_.stop();
  update();
}

void BusyIndicator::paintEvent(QPaintEvent*) {
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing);
  const double r = std::min(width(), height()) / 2.0 - 4;
  const QPointF c(width() / 2.0, height() / 2.0);
  p.setPen(Qt::NoPen);
  for (int i = 0; i < kDots; ++i) {
    const double a = 2 * M_PI * i / kDots;
    // The dot at the current step is darkest; the trail fades behind it.
    const int age = (step_ - i + kDots) % kDots;
    QColor colour(0x2f, 0x6f, 0xa8);
    colour.setAlphaF(Running() ? 1.0 - age * 0.085 : 0.25);
    p.setBrush(colour);
    p.drawEllipse(c + QPointF(r * std::cos(a), r * std::sin(a)), 3.2, 3.2);
  }
}

}  // namespace dtlui
