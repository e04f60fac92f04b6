#include "gui/HistoryCombo.h"

#include <QLineEdit>

#include "gui/UiSupport.h"

namespace dtlui {

HistoryCombo::HistoryCombo(dtl::SettingsStore& store, QWidget* parent)
    : QComboBox(parent), history_(store) {
  setEditable(true);
  // The history decides what is listed; the box must not add typed texts on its own.
  setInsertPolicy(QComboBox::NoInsert);
  setDuplicatesEnabled(false);
}

void HistoryCombo::SetMaxHistoryItems(int n) {
  history_.SetMaxItems(static_cast<size_t>(std::max(0, n)));
  ShowItems();
}

QString HistoryCombo::LoadHistory(const QString& prefix, bool rememberCurrent,
                                  const QString& currentKey) {
  const QString remembered = Q(history_.Load(S(prefix), rememberCurrent, S(currentKey)));
  ShowItems();
  if (!remembered.isEmpty()) {
    const int at = findText(remembered, Qt::MatchExactly | Qt::MatchCaseSensitive);
    if (at >= 0)
      setCurrentIndex(at);
    else
      setEditText(remembered);
  } else {
    setEditText({});
  }
  return remembered;
}

int HistoryCombo::AddToHistory(const QString& text) {
  if (history_.Add(S(text)) < 0) return -1;
  ShowItems();
  setCurrentIndex(0);
  return 0;
}

void HistoryCombo::SaveHistory(bool addCurrentText) {
  const QString text = currentText();
  // History is a convenience: the box goes on with what was typed even if it is not remembered.
  (void)history_.Save(S(text), addCurrentText);
  ShowItems();
  setEditText(addCurrentText ? text.trimmed() : text);
}

void HistoryCombo::ShowItems() {
  const QString text = currentText();
  QSignalBlocker block(this);
  clear();
  for (const auto& item : history_.Items()) addItem(Q(item));
  setCurrentIndex(-1);
  setEditText(text);
}

}  // namespace dtlui
