// A small spinning busy indicator (the animation of the Merging dialog). Look only.
#pragma once

#include <QTimer>
#include <QWidget>

namespace dtlui {

class BusyIndicator : public QWidget {
  Q_OBJECT
 public:
  explicit BusyIndicator(QWidget* parent = nullptr);
  void Start();
  void Stop();
  bool Running() const { return timer_.isActive(); }
  QSize sizeHint() const override { return {40, 40}; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QTimer timer_;
  int step_ = 0;
};

}  // namespace dtlui
