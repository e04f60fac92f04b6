// The About box: the product icon, name, version line and OK.
#pragma once

#include <QDialog>

namespace dtlui {

class AboutDialog : public QDialog {
  Q_OBJECT
 public:
  explicit AboutDialog(QWidget* parent = nullptr);
};

}  // namespace dtlui
