#pragma once

#include "gui/SplitSendDialog.h"

namespace dtlui {

// The Plain Transfer dialog: each chosen file mailed whole and unchanged.
class PlainTransferDialog : public SplitSendDialog {
  Q_OBJECT
 public:
  explicit PlainTransferDialog(dtl::SettingsStore& store, QWidget* parent = nullptr)
      : SplitSendDialog(store, true, parent) {}
};

}  // namespace dtlui
