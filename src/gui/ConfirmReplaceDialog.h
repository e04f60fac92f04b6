// Confirm File Replace: asks what to do with a segment file that already exists in the download
// folder. Five answers become the download's replace mode: "Overwrite All", "Overwrite",
// "Skip All", "Skip", and "Cancel" (which skips this and every later existing file). A prompt
// nobody answers overwrites: a timer ticks once a second through dtl::ReplaceCountdown, showing
// "Delaying %d seconds before overwrite.", and the tick that finds the count run out answers
// "Overwrite" (about 31 seconds after the prompt opened).
//
// Call order: construct with the file's name, then open() or exec(); answered() carries the
// mode once, Mode() keeps it. Escape and the close box answer as "Cancel" does. UI thread only.
#pragma once

#include <QDialog>
#include <QTimer>

#include "receive/DownloadEngine.h"

class QLabel;
class QLineEdit;
class QPushButton;

namespace dtlui {

class ConfirmReplaceDialog : public QDialog {
  Q_OBJECT
 public:
  // `tickMs` is the countdown's second (tests shorten it or call tick() themselves).
  explicit ConfirmReplaceDialog(const QString& fileName, QWidget* parent = nullptr,
                                int tickMs = 1000);

  // The answer; Overwrite until one is given.
  dtl::ReplaceMode Mode() const { return mode_; }
  bool Answered() const { return answered_; }
  const QTimer& Timer() const { return timer_; }

  QLineEdit* fileName;
  QLabel* countdownText;
  QPushButton *overwriteAllButton, *overwriteButton, *skipAllButton, *skipButton, *cancelButton;

 signals:
  void answered(dtl::ReplaceMode mode);

 public slots:
  // One second of the countdown passed.
  void tick();
  void reject() override;

 private:
  void Answer(dtl::ReplaceMode mode);

  dtl::ReplaceCountdown countdown_;
  QTimer timer_;
  dtl::ReplaceMode mode_ = dtl::ReplaceMode::Overwrite;
  bool answered_ = false;
};

}  // namespace dtlui
