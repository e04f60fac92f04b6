// The About box: the product icon, name, version line and OK.
#pragma once

#include <QDialog>

namespace dtlui {

class CAboutDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CAboutDlg(QWidget* parent = nullptr);
};

}  // namespace dtlui
