#include "gui/MergeDialog.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/MergingDialog.h"
#include "gui/UiSupport.h"
#include "gui/widgets/FileDrop.h"

namespace dtlui {
namespace {

QString WithSlash(QString folder) {
  if (!folder.isEmpty() && !folder.endsWith('/')) folder += '/';
  return folder;
}

// The program's own folder is not writable once installed, so the download folder is the
// proposal. QStandardPaths would fall back to a "Downloads" folder that may not exist and does
// not read the variable from the environment, hence the few lines of our own.
QString UserDownloadFolder() {
  const QString home = QDir::homePath();
  const auto expand = [&home](QString value) {
    if (value == "$HOME" || value.startsWith("$HOME/")) value = home + value.mid(5);
    return value;
  };
  const auto usable = [](const QString& path) {
    return QDir::isAbsolutePath(path) && QFileInfo(path).isDir();
  };
  const QString fromEnvironment = expand(qEnvironmentVariable("XDG_DOWNLOAD_DIR"));
  if (usable(fromEnvironment)) return QDir::cleanPath(fromEnvironment);

  QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
  if (!QDir::isAbsolutePath(config)) config = home + "/.config";
  QFile dirs(config + "/user-dirs.dirs");
  if (dirs.open(QIODevice::ReadOnly | QIODevice::Text)) {
    static const QString key = "XDG_DOWNLOAD_DIR=";
    while (!dirs.atEnd()) {
      const QString line = QString::fromUtf8(dirs.readLine()).trimmed();
      if (!line.startsWith(key)) continue;
      QString value = line.mid(key.size());
      if (value.size() >= 2 && value.startsWith('"') && value.endsWith('"'))
        value = value.mid(1, value.size() - 2);
      value = expand(value);
      if (usable(value)) return QDir::cleanPath(value);
    }
  }
  return home;
}

}  // namespace

MergeDialog::MergeDialog(dtl::SettingsStore& store, QWidget* parent)
    : QDialog(parent), store_(store) {
  setWindowTitle(tr("Merge Segments"));
  files = new QLineEdit(this);
  files->setMinimumWidth(320);
  files->setPlaceholderText(tr("Type, paste or drop descriptors; separate several with \", \""));
  saveFolder = new QLineEdit(this);
  password = new QLineEdit(this);
  password->setEchoMode(QLineEdit::Password);
  mergeButton = new QPushButton(tr("&Merge"), this);
  mergeButton->setEnabled(false);
  browseFiles = new QPushButton(tr("Browse..."), this);
  browseFolder = new QPushButton(tr("Browse..."), this);
  auto* close = new QPushButton(tr("&Close"), this);
  result = new QLabel(this);
  result->setWordWrap(true);
  result->setTextInteractionFlags(Qt::TextSelectableByMouse);
  result->hide();
  showInFolder = new QPushButton(tr("&Show in Folder"), this);
  showInFolder->setToolTip(tr("Show the folder with the rebuilt file in the file manager"));
  showInFolder->hide();
  for (auto* b : {mergeButton, browseFiles, browseFolder, close, showInFolder})
    b->setAutoDefault(false);

  QString folder = Q(store_.SavePath());
  if (folder.isEmpty()) folder = UserDownloadFolder();
  saveFolder->setText(folder);

  connect(browseFiles, &QPushButton::clicked, this, [this] {
    const QStringList chosen =
        QFileDialog::getOpenFileNames(this, tr("Choose the descriptors"), {}, DescriptorFilter());
    if (!chosen.isEmpty()) ChooseFiles(chosen);
  });
  connect(browseFolder, &QPushButton::clicked, this, [this] {
    const QString f =
        QFileDialog::getExistingDirectory(this, tr("Save segments in:"), saveFolder->text());
    if (!f.isEmpty()) ChooseSaveFolder(f);
  });
  // Typed descriptors count as soon as they are there, so Merge enables while typing; a
  // path that names nothing is reported by the merge as a browsed one would be.
  connect(files, &QLineEdit::textEdited, this, [this](const QString& text) {
    descriptors_.clear();
    for (const QString& piece : text.split(", ", Qt::SkipEmptyParts))
      if (!piece.trimmed().isEmpty()) descriptors_ << piece.trimmed();
    mergeButton->setEnabled(!descriptors_.isEmpty());
  });
  AcceptFileDrops(files, [this](const QStringList& paths) { ChooseFiles(paths); });
  // A typed folder is the user's choice as much as a browsed one.
  connect(saveFolder, &QLineEdit::editingFinished, this, [this] {
    const QString typed = saveFolder->text().trimmed();
    if (!typed.isEmpty() && typed != remembered_) ChooseSaveFolder(typed);
  });
  connect(mergeButton, &QPushButton::clicked, this, &MergeDialog::merge);
  connect(close, &QPushButton::clicked, this, &QDialog::reject);
  connect(showInFolder, &QPushButton::clicked, this, [this] {
    // A desktop without a file manager must not look like a button that does nothing.
    if (!OpenFolder(rebuiltFolder_))
      ShowMessage(this, MsgIcon::Error,
                  tr("The folder %1 could not be opened: the desktop has no program for it.")
                      .arg(QDir::toNativeSeparators(rebuiltFolder_)));
  });

  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(tr("DTL File/s :"), this), 0, 0);
  grid->addWidget(files, 0, 1);
  grid->addWidget(browseFiles, 0, 2);
  grid->addWidget(new QLabel(tr("Save in:"), this), 1, 0);
  grid->addWidget(saveFolder, 1, 1);
  grid->addWidget(browseFolder, 1, 2);
  grid->addWidget(new QLabel(tr("Decryption Password (optional):"), this), 2, 0);
  grid->addWidget(password, 2, 1, 1, 2);
  grid->addWidget(result, 3, 1, 1, 2);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(showInFolder);
  buttons->addStretch();
  buttons->addWidget(mergeButton);
  buttons->addWidget(close);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(buttons);
}

QString MergeDialog::DescriptorFilter() {
  // Split File writes its descriptor as NAME.dtl.doc; a download stores it as NAME.dtl. A
  // recovery file stands for its file's descriptor, which may be the very file that was lost;
  // its own entry keeps the many volume files out of the usual list.
  return tr("DTL Files (*.dtl *.dtl.doc);;Recovery Files (*.par2 *.par2.doc)");
}

void MergeDialog::SetDescriptor(const QString& path) {
  if (path.size() <= 2) return;
  descriptors_ = {path};
  ShowDescriptors();
}

void MergeDialog::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (initialised_) return;
  initialised_ = true;
  saveFolder->setText(WithSlash(saveFolder->text()));
  remembered_ = saveFolder->text();
}

void MergeDialog::ChooseFiles(const QStringList& paths) {
  descriptors_ = paths;
  ShowDescriptors();
}

void MergeDialog::ShowDescriptors() {
  QStringList names;
  for (const auto& d : descriptors_) names << QFileInfo(d).fileName();
  files->setText(names.join(", "));
  mergeButton->setEnabled(!descriptors_.isEmpty());
}

void MergeDialog::ChooseSaveFolder(const QString& folder) {
  // The chosen folder is used now whether or not it can be remembered.
  (void)store_.SetString("savepath", S(folder));
  saveFolder->setText(WithSlash(folder));
  remembered_ = saveFolder->text();
}

QString MergeDialog::SaveFolderForMerge() const { return WithSlash(saveFolder->text()); }

void MergeDialog::merge() {
  // Merge may be clicked without leaving the field: what is typed there is the folder.
  if (const QString typed = saveFolder->text().trimmed(); !typed.isEmpty() && typed != remembered_)
    ChooseSaveFolder(typed);
  MergingDialog merging(this);
  merging.SetFolderAndPassword(SaveFolderForMerge(), password->text());
  for (const auto& d : descriptors_) merging.AddDescriptor(d);
  merging.SetOpenFolderWhenDone(false);  // "Show in Folder" below instead
  result->hide();
  showInFolder->hide();
  merging.exec();
  const QStringList& rebuilt = merging.RebuiltFiles();
  if (!rebuilt.isEmpty()) {
    QStringList shown;
    for (const auto& f : rebuilt) shown << QDir::toNativeSeparators(f);
    result->setText(rebuilt.size() == 1 ? tr("Rebuilt: %1").arg(shown.first())
                                        : tr("Rebuilt %1 files: %2")
                                              .arg(rebuilt.size())
                                              .arg(shown.join(", ")));
    rebuiltFolder_ = QFileInfo(rebuilt.first()).absolutePath();
    showInFolder->show();
  } else if (merging.Cancelled()) {
    result->setText(tr("Merge cancelled: no file was rebuilt."));
  } else {
    // The merge's own error said why; this line keeps the dialog from looking like a success.
    result->setText(tr("No file was rebuilt."));
  }
  result->show();
}

}  // namespace dtlui
