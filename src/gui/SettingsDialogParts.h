// Controls the settings dialogs share: limited edits, port boxes, OK/Cancel, the server test.
#pragma once

#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QSpinBox>
#include <string>

#include "gui/ServerTestDialog.h"
#include "gui/UiSupport.h"

namespace dtlui {

inline QLineEdit* Edit(QWidget* parent, const std::string& text, int maxChars,
                       bool secret = false) {
  auto* e = new QLineEdit(Q(text), parent);
  e->setMaxLength(maxChars);
  if (secret) e->setEchoMode(QLineEdit::Password);
  e->setMinimumWidth(240);
  return e;
}

inline QSpinBox* PortBox(QWidget* parent, uint32_t value) {
  auto* s = new QSpinBox(parent);
  s->setRange(1, 65535);
  s->setValue(static_cast<int>(value));
  return s;
}

inline QDialogButtonBox* OkCancel(QDialog* dlg) {
  auto* b = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, dlg);
  QObject::connect(b, &QDialogButtonBox::accepted, dlg, &QDialog::accept);
  QObject::connect(b, &QDialogButtonBox::rejected, dlg, &QDialog::reject);
  return b;
}

// Shows the test modally; the dialog goes once closed and its test is over (never waiting for it).
inline void RunServerTest(ServerTestDialog* dlg) {
  dlg->exec();
  dlg->deleteWhenDone();
}

}  // namespace dtlui
