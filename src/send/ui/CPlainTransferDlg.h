#pragma once

#include "send/ui/CSplitSendDlg.h"

namespace dtlui {

// The Plain Transfer dialog: each chosen file mailed whole and unchanged.
class CPlainTransferDlg : public CSplitSendDlg {
  Q_OBJECT
 public:
  explicit CPlainTransferDlg(dtl::SettingsStore& store, QWidget* parent = nullptr)
      : CSplitSendDlg(store, true, parent) {}
};

}  // namespace dtlui
