#include "gui/widgets/SegmentSizeField.h"

#include <QLabel>
#include <QLineEdit>
#include <QRegularExpression>
#include <QSlider>
#include <cmath>
#include <memory>

#include "archive/SegmentRecord.h"
#include "gui/UiSupport.h"
#include "send/SendRequest.h"

namespace dtlui {
namespace {

constexpr int kMinPosition = 1;
constexpr int kMaxPosition = 1000;
const char* const kProblemProperty = "dtlSegmentSizeProblem";

}  // namespace

TypedSegmentSize ReadSegmentSize(const QString& text) {
  static const QRegularExpression form(
      R"(^\s*(\d+(?:[.,]\d+)?|[.,]\d+)\s*(b|bytes?|kb|k|mb|m)?\s*$)",
      QRegularExpression::CaseInsensitiveOption);
  const auto match = form.match(text);
  if (!match.hasMatch())
    return {0, QObject::tr("Not a size: type one like 1.5 MB, 800 KB or 10000000 (bytes).")};
  QString number = match.captured(1);
  number.replace(',', '.');
  const QString unit = match.captured(2).toLower();
  double scale = 1;
  if (unit.startsWith('k'))
    scale = 1e3;
  else if (unit.startsWith('m'))
    scale = 1e6;
  const double bytes = number.toDouble() * scale;
  // Counted in steps so "1.5 MB" is 150 steps and not 149.99999 of them.
  const double steps = bytes / static_cast<double>(dtl::kSegmentUnit);
  const double whole = std::round(steps);
  const QString range = QObject::tr("Out of range: a segment is 10 KB to 10 MB.");
  if (steps < kMinPosition - 1e-6 || steps > kMaxPosition + 1e-6) return {0, range};
  if (std::fabs(steps - whole) > 1e-6)
    return {0, QObject::tr("Not a whole number of 10 KB: segments come in steps of 10 KB.")};
  return {static_cast<int>(whole), {}};
}

void BindSegmentSize(QLineEdit* text, QSlider* slider, QLabel* problem) {
  text->setReadOnly(false);
  text->setToolTip(QObject::tr("Segment size: type one like 1.5 MB, 800 KB or 10000000 (bytes)"));
  problem->setStyleSheet("color: #b00020;");
  problem->setWordWrap(true);
  problem->hide();
  const auto show = [text, problem](const QString& why) {
    text->setProperty(kProblemProperty, why);
    problem->setText(why);
    problem->setVisible(!why.isEmpty());
    text->setStyleSheet(why.isEmpty() ? QString() : QStringLiteral("color: #b00020;"));
  };
  // The slider writes its size only when the user moved it; while the text drives it, the
  // typed text stays as typed so the cursor and the user's own spelling are left alone.
  auto typing = std::make_shared<bool>(false);
  QObject::connect(slider, &QSlider::valueChanged, text, [text, typing, show](int v) {
    if (*typing) return;
    text->setText(Q(dtl::SizeDisplayText(static_cast<uint32_t>(v))));
    show({});
  });
  QObject::connect(text, &QLineEdit::textEdited, slider, [slider, typing, show](const QString& t) {
    const TypedSegmentSize size = ReadSegmentSize(t);
    show(size.problem);
    if (size.position == 0) return;
    *typing = true;
    slider->setValue(size.position);
    *typing = false;
  });
  // Once the user leaves the box a good size is written the way the slider writes it.
  QObject::connect(text, &QLineEdit::editingFinished, slider, [text, slider] {
    if (!SegmentSizeProblem(text).isEmpty()) return;
    text->setText(Q(dtl::SizeDisplayText(static_cast<uint32_t>(slider->value()))));
  });
}

QString SegmentSizeProblem(const QLineEdit* text) {
  return text->property(kProblemProperty).toString();
}

}  // namespace dtlui
