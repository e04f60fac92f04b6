// An editable combo box that remembers its last entries in the settings store's profile
// section (the browser's address box, the send dialogs' "Mail To:" box). The rules live in
// dtl::HistoryList; this class shows its items and forwards the box's text.
//
// Call order: construct, SetMaxHistoryItems(), LoadHistory(), then AddToHistory()/SaveHistory()
// when an entry is used. The list keeps the order entries were added (never sorted).
#pragma once

#include <QComboBox>
#include <memory>

#include "base/HistoryList.h"

namespace dtlui {

class HistoryCombo : public QComboBox {
  Q_OBJECT
 public:
  // `store` must outlive the box.
  HistoryCombo(dtl::SettingsStore& store, QWidget* parent = nullptr);

  void SetMaxHistoryItems(int n);
  // Fills the list from the profile; selects the remembered text's item or, when there is
  // none, puts the text into the edit field. Returns the remembered text.
  QString LoadHistory(const QString& prefix, bool rememberCurrent = true,
                      const QString& currentKey = {});
  // Puts the text at the top (trimmed; a blank text is ignored) and selects it; returns its
  // position, or -1.
  int AddToHistory(const QString& text);
  // Writes the list (and the remembered text) to the profile.
  void SaveHistory(bool addCurrentText = true);

  const dtl::HistoryList& History() const { return history_; }

 private:
  void ShowItems();

  dtl::HistoryList history_;
};

}  // namespace dtlui
