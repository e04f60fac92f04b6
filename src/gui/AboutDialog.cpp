#include "gui/AboutDialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "gui/UiSupport.h"

namespace dtlui {

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent) {
  setWindowTitle(tr("About Drovetail"));
  auto* icon = new QLabel(this);
  icon->setPixmap(ResourcePixmap("icons/drovetail.png")
                      .scaled(48, 48, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  auto* text = new QLabel(
      tr("<b>Drovetail</b> version %1<br>Store and share files on your web-mail account.<br>"
         "Files are cut into segments, zipped, encrypted and mailed.")
          .arg(DTL_VERSION),
      this);
  text->setObjectName("versionLine");
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, this);
  connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
  auto* row = new QHBoxLayout;
  row->addWidget(icon, 0, Qt::AlignTop);
  row->addWidget(text, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addWidget(buttons);
}

}  // namespace dtlui
