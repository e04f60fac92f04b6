// What the Segment Manager's tests over a web-mail inbox and over an IMAP folder share: sample
// file bytes, the answer to the "Save segments in:" question and a whole download run.
#pragma once

#include <QByteArray>
#include <QPushButton>
#include <QSignalSpy>
#include <QString>
#include <functional>
#include <utility>

#include "gui/DownloadDialog.h"
#include "gui/SegmentManagerDialog.h"

namespace uitest {

// `n` bytes that differ with `seed`.
inline QByteArray Sample(int n, int seed) {
  QByteArray b(n, 0);
  for (int i = 0; i < n; ++i) b[i] = static_cast<char>(((i + seed) * 7919) >> 3 ^ seed);
  return b;
}

// Answers the folder question of "Download" with `folder` (empty: cancel) while it lives, and
// counts the questions.
struct FolderAnswer {
  QString folder;
  int asked = 0;
  explicit FolderAnswer(QString f = {}) : folder(std::move(f)) {
    dtlui::SegmentManagerDialog::SetFolderPicker(
        [this](QWidget*, const QString& title, const QString&) {
          ++asked;
          return title == "Save segments in:" ? folder : QString();
        });
  }
  ~FolderAnswer() { dtlui::SegmentManagerDialog::SetFolderPicker({}); }
  FolderAnswer(const FolderAnswer&) = delete;
  FolderAnswer& operator=(const FolderAnswer&) = delete;
};

// Starts "Download" into `folder`, runs `during` once the download dialog is up, and returns the
// dialog's result; -1 when no dialog came or the run did not end within two minutes.
inline int Download(dtlui::SegmentManagerDialog& dlg, const QString& folder,
                    const std::function<void(dtlui::DownloadDialog&)>& during = {}) {
  FolderAnswer answer(folder);
  dlg.downloadButton->click();
  dtlui::DownloadDialog* download = dlg.downloadDialog();
  if (!download) return -1;
  QSignalSpy finished(download, &dtlui::DownloadDialog::runFinished);
  if (during) during(*download);
  if (finished.isEmpty() && !finished.wait(120000)) return -1;
  return finished.first().first().toInt();
}

}  // namespace uitest
