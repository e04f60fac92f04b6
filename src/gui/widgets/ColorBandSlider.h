// A horizontal slider that paints its range in colour bands under the groove: positions up to
// the band edge in one colour, the rest in a band that shades from a second colour to a third.
// Look only; the value is QSlider's.
#pragma once

#include <QColor>
#include <QSlider>

namespace dtlui {

class ColorBandSlider : public QSlider {
  Q_OBJECT
 public:
  explicit ColorBandSlider(QWidget* parent = nullptr);
  // Positions minimum()..edge get `low`; edge+1..maximum() shade from `from` to `to`.
  void SetBands(int edge, QColor low, QColor from, QColor to);
  int BandEdge() const { return edge_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  int edge_ = 700;
  QColor low_{0x6c, 0xb0, 0x5a}, from_{0xe8, 0xc5, 0x3a}, to_{0xd0, 0x4a, 0x3a};
};

}  // namespace dtlui
