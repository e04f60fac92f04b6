// The typed segment size beside the slider. The slider counts positions of 10 KB (1..1000, so
// 10 KB..10 MB); a typed size is read with the units the size display uses, decimal: "KB" is
// 1,000 bytes and "MB" 1,000,000 bytes, a bare number is bytes ("1.5 MB", "800 KB", "10000000").
#pragma once

#include <QString>

class QLabel;
class QLineEdit;
class QSlider;

namespace dtlui {

// A typed size read as a slider position, or, when it is none, the text that says why
// (position 0): not a size, out of 10 KB..10 MB, or not a whole number of 10 KB steps.
struct TypedSegmentSize {
  int position = 0;
  QString problem;
};
TypedSegmentSize ReadSegmentSize(const QString& text);

// Ties `text` and `slider` together: typing a good size moves the slider, moving the slider
// writes its size; a bad size stays as typed and `problem` (hidden otherwise) says what is wrong
// with it. Both widgets stay owned by their parent. SegmentSizeProblem() is that text now.
void BindSegmentSize(QLineEdit* text, QSlider* slider, QLabel* problem);
QString SegmentSizeProblem(const QLineEdit* text);

}  // namespace dtlui
