// The Split File dialog and the Merge/Merging dialogs, driving real files through a split and
// back.
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QSet>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QTimer>

#include "archive/SegmentRecovery.h"
#include "gui/ConfirmReplaceDialog.h"
#include "gui/MergeDialog.h"
#include "gui/MergingDialog.h"
#include "gui/SplitFileDialog.h"
#include "gui/UiTestSupport.h"
#include "gui/widgets/ColorBandSlider.h"

using namespace dtlui;

class SplitMergeDialogsTest : public QObject {
  Q_OBJECT
  QTemporaryDir home_;
  QString base_;
  std::unique_ptr<dtl::SettingsStore> store_;

  static QByteArray Sample(int n) {
    QByteArray b(n, 0);
    for (int i = 0; i < n; ++i) b[i] = static_cast<char>((i * 7919) >> 3);
    return b;
  }
  // Splits `source` into `folder` (segments of 10000 bytes) and returns whether it completed.
  bool Split(const QString& source, const QString& folder, const QString& password = {}) {
    SplitFileDialog dlg(*store_);
    dlg.ChooseSource(source);
    dlg.ChooseFolder(folder);
    dlg.slider->setValue(1);
    dlg.password->setText(password);
    QSignalSpy finished(&dlg, &SplitFileDialog::splitFinished);
    dlg.splitButton->click();
    return finished.wait(60000) && finished.first().first().toBool();
  }

 private slots:
  void initTestCase() { base_ = uitest::IsolateEnvironment(home_); }
  void init() {
    QFile::remove(base_ + "/settings.reg");
    store_ = std::make_unique<dtl::SettingsStore>((base_ + "/settings.reg").toStdString());
  }

  void SplitIsEnabledOnlyWithSourceAndFolder() {
    uitest::Messages m;
    const QString empty = base_ + "/empty.bin";
    uitest::WriteFile(empty, {});
    SplitFileDialog dlg(*store_);
    QCOMPARE(dlg.sizeDisplay->text(), QString(" 10.00MB"));
    dlg.ChooseSource(empty);
    QCOMPARE(m.Texts(), QStringList{QString("The file %1 size is too small (0)").arg(empty)});
    QCOMPARE(dlg.source->text(), QString());
    dlg.ChooseSource(base_ + "/missing.bin");
    QCOMPARE(m.shown.size(), 2);
    QCOMPARE(m.shown.last().first, MsgIcon::Error);
    dlg.ChooseFolder(base_);
    QVERIFY(!dlg.splitButton->isEnabled());
    uitest::WriteFile(base_ + "/one.bin", "1");
    dlg.ChooseSource(base_ + "/one.bin");
    QVERIFY(dlg.splitButton->isEnabled());
  }

  // Split File's Recovery Data field starts at the RecoveryPercent setting, takes typing, goes
  // into the run's parameters and is kept when "Split" is pressed (there is no OK).
  void RecoveryFieldRoundTripsTheSettingIntoTheSplit() {
    struct Case {
      const char* name;
      int stored;         // RecoveryPercent before; -1: never set
      const char* typed;  // typed over the number; nullptr: left alone
      bool split;         // "Split" pressed, else the dialog closed
      int shown;
      unsigned params;  // Params().recoveryPercent
      uint32_t after;   // the setting afterwards
    };
    const Case cases[] = {
        {"off by default", -1, nullptr, true, 0, 0, 0},
        {"starts at the stored share", 20, nullptr, false, 20, 20, 20},
        {"typed share is split with and kept", 20, "15", true, 20, 15, 15},
        {"digit past 100 is not taken", 0, "101", true, 0, 10, 10},
        {"closing keeps the setting", 20, "35", false, 20, 35, 20},
    };
    uitest::WriteFile(base_ + "/field.bin", Sample(3000));
    for (const auto& c : cases) {
      init();
      if (c.stored >= 0)
        QVERIFY(store_->SetDword("RecoveryPercent", static_cast<uint32_t>(c.stored)));
      const QString folder = base_ + "/field-" + QString(c.name).replace(' ', '-');
      QDir().mkpath(folder);
      SplitFileDialog dlg(*store_);
      QVERIFY2(dlg.recovery->value() == c.shown, c.name);
      if (c.typed) {
        dlg.recovery->setFocus();
        dlg.recovery->selectAll();
        QTest::keyClicks(dlg.recovery, c.typed);
      }
      dlg.ChooseSource(base_ + "/field.bin");
      dlg.ChooseFolder(folder);
      QVERIFY2(dlg.Params().recoveryPercent == c.params,
               qPrintable(QString("%1: %2").arg(c.name).arg(dlg.Params().recoveryPercent)));
      if (c.split) {
        QSignalSpy finished(&dlg, &SplitFileDialog::splitFinished);
        dlg.splitButton->click();
        QVERIFY2(!dlg.recovery->isEnabled(), c.name);  // not changed under a running split
        QVERIFY2(finished.wait(60000) && finished.first().first().toBool(), c.name);
        QVERIFY2(dlg.recovery->isEnabled(), c.name);
      } else {
        dlg.closeButton->click();
      }
      QVERIFY2(store_->RecoveryPercent() == c.after,
               qPrintable(QString("%1: stored %2").arg(c.name).arg(store_->RecoveryPercent())));
      SplitFileDialog again(*store_);
      QVERIFY2(again.recovery->value() == static_cast<int>(c.after), c.name);
    }
  }

  // Split File with recovery data writes the recovery files beside the segments and counts their
  // blocks under the bar; the Merge dialog then rebuilds a segment deleted from that folder.
  // At 0 % nothing but the segments is written, and no word is said.
  void SplitWithRecoveryDataWritesTheRecoveryFilesBesideTheSegments() {
    const QByteArray data = Sample(45000);  // the descriptor and four segments
    uitest::WriteFile(base_ + "/take.wav", data);
    const QStringList segments = {"take.wav.001.doc", "take.wav.002.doc", "take.wav.003.doc",
                                  "take.wav.004.doc", "take.wav.dtl.doc"};
    struct Case {
      const char* name;
      int percent;
      QStringList recovery;  // beside the segments
      QString status;
    };
    const Case cases[] = {
        {"none at 0%", 0, {}, {}},
        {"10% of five files is one block",
         10,
         {"take.wav.par2", "take.wav.vol00+01.par2"},
         "Recovery data written beside the segments: 1 recovery block."},
        {"50% is three blocks",
         50,
         {"take.wav.par2", "take.wav.vol00+01.par2", "take.wav.vol01+01.par2",
          "take.wav.vol02+01.par2"},
         "Recovery data written beside the segments: 3 recovery blocks."},
    };
    for (const auto& c : cases) {
      const QString folder = base_ + "/take-" + QString::number(c.percent);
      QDir().mkpath(folder);
      SplitFileDialog dlg(*store_);
      dlg.ChooseSource(base_ + "/take.wav");
      dlg.ChooseFolder(folder);
      dlg.slider->setValue(1);
      dlg.recovery->setValue(c.percent);
      QSignalSpy finished(&dlg, &SplitFileDialog::splitFinished);
      dlg.splitButton->click();
      QVERIFY2(finished.wait(60000) && finished.first().first().toBool(), c.name);
      QStringList expected = segments + c.recovery;
      expected.sort();
      QCOMPARE(QDir(folder).entryList(QDir::Files | QDir::Hidden, QDir::Name), expected);
      // The count of the set comes first; the recovery line, when any, follows it.
      const QString count = QString("5 segments written to %1.").arg(folder);
      QCOMPARE(dlg.status->text(), c.status.isEmpty() ? count : count + "\n" + c.status);
      QCOMPARE(dlg.progress->maximum(), 1);  // not left running busy
      if (c.recovery.isEmpty()) continue;

      QVERIFY(QFile::remove(folder + "/take.wav.002.doc"));
      uitest::Messages m;
      MergeDialog merge(*store_);
      merge.ChooseFiles({folder + "/take.wav.dtl.doc"});
      merge.saveFolder->setText(folder + "-out");
      QDir().mkpath(folder + "-out");
      merge.merge();
      QCOMPARE(m.Texts(), QStringList{"Repaired from recovery data: take.wav.002.doc"});
      QCOMPARE(uitest::ReadFile(folder + "-out/take.wav"), data);
    }
  }

  void SmallFileGivesOneDescriptorInAFolderWithoutTrailingSlash() {
    QDir().mkpath(base_ + "/small");
    uitest::WriteFile(base_ + "/note.txt", "hello");
    QVERIFY(Split(base_ + "/note.txt", base_ + "/small"));
    QCOMPARE(QDir(base_ + "/small").entryList(QDir::Files), QStringList{"note.txt.dtl.doc"});
  }

  // A stopped split is part of a set that would merge "successfully" into the start of the file:
  // its pieces are removed and the dialog says so until the next run.
  void StopRemovesThePiecesWrittenSaysSoAndResetsTheButton() {
    QDir().mkpath(base_ + "/stopped");
    uitest::WriteFile(base_ + "/ten.bin", Sample(100000));
    SplitFileDialog dlg(*store_);
    dlg.ChooseSource(base_ + "/ten.bin");
    dlg.ChooseFolder(base_ + "/stopped");
    dlg.slider->setValue(1);
    QSignalSpy finished(&dlg, &SplitFileDialog::splitFinished);
    dlg.splitButton->click();
    QCOMPARE(dlg.splitButton->text(), QString("Stop"));
    QVERIFY(!dlg.closeButton->isEnabled());
    dlg.splitButton->click();
    QCOMPARE(dlg.splitButton->text(), QString("Stopping..."));
    QVERIFY(!dlg.splitButton->isEnabled());
    QVERIFY(finished.wait(60000));
    QCOMPARE(finished.first().first().toBool(), false);
    QCOMPARE(dlg.splitButton->text(), QString("Split"));
    QVERIFY(dlg.splitButton->isEnabled() && dlg.closeButton->isEnabled());
    QCOMPARE(dlg.progress->value(), 0);
    QCOMPARE(QDir(base_ + "/stopped").entryList(QDir::Files | QDir::Hidden), QStringList());
    QVERIFY2(
        dlg.status->text().startsWith("Stopped: the ") && dlg.status->text().endsWith(" removed."),
        qPrintable(dlg.status->text()));

    // A run to the end leaves the whole set and no word about the earlier stop.
    dlg.splitButton->click();
    QVERIFY(finished.wait(60000));
    QCOMPARE(finished.last().first().toBool(), true);
    QCOMPARE(QDir(base_ + "/stopped").entryList(QDir::Files).size(), 10);
    QVERIFY2(dlg.status->text().endsWith(" segments written to " + base_ + "/stopped."),
             qPrintable(dlg.status->text()));
  }

  void MergeRebuildsTheSplitFileAndRemembersTheFolder() {
    const QByteArray data = Sample(34567);
    QDir().mkpath(base_ + "/segments");
    QDir().mkpath(base_ + "/out");
    uitest::WriteFile(base_ + "/movie.avi", data);
    QVERIFY(Split(base_ + "/movie.avi", base_ + "/segments", "pw"));
    QCOMPARE(QDir(base_ + "/segments").entryList(QDir::Files).size(), 4);

    uitest::Messages m;
    MergeDialog dlg(*store_);
    QVERIFY(!dlg.mergeButton->isEnabled());
    dlg.ChooseFiles({base_ + "/segments/movie.avi.dtl.doc"});
    QCOMPARE(dlg.files->text(), QString("movie.avi.dtl.doc"));
    QVERIFY(dlg.mergeButton->isEnabled());
    dlg.ChooseSaveFolder(base_ + "/out");
    QCOMPARE(store_->SavePath(), (base_ + "/out").toStdString());
    QCOMPARE(dlg.SaveFolderForMerge(), base_ + "/out/");
    dlg.password->setText("pw");
    dlg.merge();  // the Merging dialog runs modally and closes itself at the end
    QCOMPARE(m.Texts(), QStringList());
    QCOMPARE(uitest::ReadFile(base_ + "/out/movie.avi"), data);
    // Nothing opens unasked: the dialog names the file and opens its folder on request.
    QCOMPARE(m.opened, QList<QUrl>());
    QCOMPARE(dlg.result->text(), "Rebuilt: " + base_ + "/out/movie.avi");
    dlg.show();
    QTest::mouseClick(dlg.showInFolder, Qt::LeftButton);
    QCOMPARE(m.opened, QList<QUrl>{QUrl::fromLocalFile(base_ + "/out")});

    MergeDialog again(*store_);
    again.show();
    QCOMPARE(again.saveFolder->text(), base_ + "/out/");
  }

  // Descriptors and the save folder may be typed (or pasted, or the descriptors dropped); Merge
  // then works from them, and the typed folder is the remembered one as a browsed one is.
  void MergeTakesTypedPastedAndDroppedDescriptorsAndATypedFolder() {
    const QByteArray data = Sample(23456);
    QDir().mkpath(base_ + "/typed-segments");
    uitest::WriteFile(base_ + "/clip.avi", data);
    QVERIFY(Split(base_ + "/clip.avi", base_ + "/typed-segments"));
    const QString descriptor = base_ + "/typed-segments/clip.avi.dtl.doc";
    enum How { Type, Paste, Drop };
    const struct {
      const char* name;
      How how;
    } cases[] = {{"typed", Type}, {"pasted", Paste}, {"dropped", Drop}};
    for (const auto& c : cases) {
      const QString out = base_ + "/typed-out-" + c.name;
      QDir().mkpath(out);
      uitest::Messages m;
      MergeDialog dlg(*store_);
      dlg.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dlg));
      QVERIFY(!dlg.mergeButton->isEnabled());
      if (c.how == Type)
        QTest::keyClicks(dlg.files, descriptor);
      else if (c.how == Paste)
        uitest::Paste(dlg.files, descriptor);
      else
        QVERIFY2(uitest::DropFiles(dlg.files, {descriptor}), c.name);
      QCOMPARE(dlg.Descriptors(), QStringList{descriptor});
      QVERIFY(dlg.mergeButton->isEnabled());
      dlg.saveFolder->selectAll();
      QTest::keyClicks(dlg.saveFolder, out);
      QTest::mouseClick(dlg.mergeButton, Qt::LeftButton);  // runs the Merging dialog to its end
      QCOMPARE(m.Texts(), QStringList());
      QCOMPARE(uitest::ReadFile(out + "/clip.avi"), data);
      QCOMPARE(store_->SavePath(), out.toStdString());

      MergeDialog again(*store_);
      again.show();
      QCOMPARE(again.saveFolder->text(), out + "/");
    }
  }

  void TypedSaveFolderIsRememberedWhenTheFieldIsLeft() {
    {
      MergeDialog dlg(*store_);
      dlg.show();
      QVERIFY(QTest::qWaitForWindowExposed(&dlg));
      dlg.saveFolder->selectAll();
      QTest::keyClicks(dlg.saveFolder, base_ + "/typed-folder");
      QTest::keyClick(dlg.saveFolder, Qt::Key_Return);
      QCOMPARE(store_->SavePath(), (base_ + "/typed-folder").toStdString());
    }
    MergeDialog again(*store_);
    again.show();
    QCOMPARE(again.saveFolder->text(), base_ + "/typed-folder/");
  }

  void MergeRefusesDropsOtherThanLocalFiles() {
    MergeDialog dlg(*store_);
    auto* web = new QMimeData;
    web->setUrls({QUrl("https://example.com/a.dtl")});
    QVERIFY(!uitest::DropOn(dlg.files, web));
    QVERIFY(dlg.Descriptors().isEmpty());
    QVERIFY(!dlg.mergeButton->isEnabled());
  }

  // The File Split size box reads typed sizes by the same rule as the send dialog's.
  void SplitFileTakesATypedSegmentSize() {
    SplitFileDialog dlg(*store_);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    dlg.sizeDisplay->selectAll();
    QTest::keyClicks(dlg.sizeDisplay, "250 KB");
    QCOMPARE(dlg.slider->value(), 25);
    QCOMPARE(dlg.Params().segmentSize, uint64_t(250000));
    dlg.sizeDisplay->selectAll();
    QTest::keyClicks(dlg.sizeDisplay, "11 MB");
    QVERIFY(dlg.sizeProblem->isVisible());
    QCOMPARE(dlg.slider->value(), 25);
  }

  // A file already under the rebuilt file's name is asked about with the Confirm File Replace
  // dialog, as a segment the download finds is: "Skip" keeps it, "Overwrite" replaces it.
  void MergeAsksBeforeReplacingAnExistingFile() {
    const QByteArray data = Sample(25000);
    QDir().mkpath(base_ + "/asked-segments");
    QDir().mkpath(base_ + "/asked-out");
    uitest::WriteFile(base_ + "/report.pdf", data);
    QVERIFY(Split(base_ + "/report.pdf", base_ + "/asked-segments"));
    for (bool overwrite : {false, true}) {
      uitest::WriteFile(base_ + "/asked-out/report.pdf", "the user's own report");
      QStringList asked;
      QSet<QObject*> answered;
      QTimer answerer;  // the question opens inside the Merging dialog's modal loop
      answerer.setInterval(20);
      connect(&answerer, &QTimer::timeout, this, [&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
          auto* q = qobject_cast<ConfirmReplaceDialog*>(w);
          if (!q || !q->isVisible() || answered.contains(q)) continue;
          answered.insert(q);
          asked << q->fileName->text();
          (overwrite ? q->overwriteButton : q->skipButton)->click();
        }
      });
      answerer.start();
      uitest::Messages m;
      MergeDialog dlg(*store_);
      dlg.ChooseFiles({base_ + "/asked-segments/report.pdf.dtl.doc"});
      dlg.saveFolder->setText(base_ + "/asked-out");
      dlg.merge();
      answerer.stop();
      QCOMPARE(asked, QStringList{"report.pdf"});
      QCOMPARE(m.Texts(), QStringList());
      QCOMPARE(uitest::ReadFile(base_ + "/asked-out/report.pdf"),
               overwrite ? data : QByteArray("the user's own report"));
      QCOMPARE(QDir(base_ + "/asked-out").entryList(QDir::Files | QDir::Hidden),
               QStringList{"report.pdf"});
    }
  }

  void WrongPasswordSaysUnableToUnzipAndOpensNoFolder() {
    QDir().mkpath(base_ + "/locked");
    uitest::WriteFile(base_ + "/secret.bin", Sample(15000));
    QVERIFY(Split(base_ + "/secret.bin", base_ + "/locked", "right"));
    uitest::Messages m;
    MergeDialog dlg(*store_);
    dlg.ChooseFiles({base_ + "/locked/secret.bin.dtl.doc"});
    dlg.saveFolder->setText(base_ + "/locked");
    dlg.password->setText("wrong");
    dlg.merge();
    QCOMPARE(m.Texts(),
             QStringList{
                 QString("Unable to unzip %1, either the file is corrupt or you entered the wrong "
                         "password.")
                     .arg(base_ + "/locked/secret.bin.dtl.doc")});
    QCOMPARE(m.opened.size(), 0);
    QCOMPARE(dlg.result->text(), QString("No file was rebuilt."));
    QVERIFY(!dlg.showInFolder->isVisibleTo(&dlg));
  }

  // Each end of a split and of a merge reads differently, and the folder buttons hand the
  // folder to the desktop's opener; an opener that fails is reported, not swallowed.
  void FinishedSplitAndMergeNameTheirFolderAndReportAnOpenerFailure() {
    QDir().mkpath(base_ + "/ends");
    QDir().mkpath(base_ + "/ends-out");
    const QByteArray data = Sample(30000);
    uitest::WriteFile(base_ + "/ends.bin", data);
    uitest::Messages m;
    SplitFileDialog split(*store_);
    split.show();
    QVERIFY(QTest::qWaitForWindowExposed(&split));
    split.ChooseSource(base_ + "/ends.bin");
    split.ChooseFolder(base_ + "/ends");
    split.slider->setValue(1);
    QVERIFY(!split.openFolder->isVisible());
    QSignalSpy finished(&split, &SplitFileDialog::splitFinished);
    QTest::mouseClick(split.splitButton, Qt::LeftButton);
    QVERIFY(finished.wait(60000));
    QVERIFY(finished.first().first().toBool());
    QCOMPARE(split.status->text(), "3 segments written to " + base_ + "/ends.");
    QCOMPARE(split.progress->value(), split.progress->maximum());  // not back at 0 % as a stop
    QVERIFY(split.openFolder->isVisible());

    struct Case {
      const char* name;
      bool works;
      QStringList messages;
    };
    const QString cannot = "The folder %1 could not be opened: the desktop has no program for it.";
    const Case cases[] = {
        {"an opened folder says nothing more", true, {}},
        {"a folder that cannot be opened is reported", false, {cannot.arg(base_ + "/ends")}},
    };
    for (const Case& c : cases) {
      m.shown.clear();
      m.opened.clear();
      m.openWorks = c.works;
      QTest::mouseClick(split.openFolder, Qt::LeftButton);
      QVERIFY2(m.opened == QList<QUrl>{QUrl::fromLocalFile(base_ + "/ends")}, c.name);
      QVERIFY2(m.Texts() == c.messages, c.name);
      if (!c.works) QCOMPARE(m.shown.first().first, MsgIcon::Error);
    }

    m.openWorks = true;
    MergeDialog merge(*store_);
    merge.show();
    QVERIFY(QTest::qWaitForWindowExposed(&merge));
    merge.ChooseFiles({base_ + "/ends/ends.bin.dtl.doc"});
    merge.saveFolder->setText(base_ + "/ends-out");
    QVERIFY(!merge.showInFolder->isVisible());
    merge.merge();
    QCOMPARE(uitest::ReadFile(base_ + "/ends-out/ends.bin"), data);
    QCOMPARE(merge.result->text(), "Rebuilt: " + base_ + "/ends-out/ends.bin");
    QVERIFY(merge.showInFolder->isVisible());
    for (const Case& c : cases) {
      m.shown.clear();
      m.opened.clear();
      m.openWorks = c.works;
      QTest::mouseClick(merge.showInFolder, Qt::LeftButton);
      QVERIFY2(m.opened == QList<QUrl>{QUrl::fromLocalFile(base_ + "/ends-out")}, c.name);
      const QStringList expected =
          c.works ? QStringList() : QStringList{cannot.arg(base_ + "/ends-out")};
      QVERIFY2(m.Texts() == expected, qPrintable(m.Texts().join("|")));
    }
  }

  // A stopped split reads differently from a finished one: empty bar, a reason, no folder button.
  void StoppedSplitNeverLooksFinished() {
    QDir().mkpath(base_ + "/halted");
    uitest::WriteFile(base_ + "/halted.bin", Sample(100000));
    SplitFileDialog dlg(*store_);
    dlg.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
    dlg.ChooseSource(base_ + "/halted.bin");
    dlg.ChooseFolder(base_ + "/halted");
    dlg.slider->setValue(1);
    QSignalSpy finished(&dlg, &SplitFileDialog::splitFinished);
    QTest::mouseClick(dlg.splitButton, Qt::LeftButton);
    QTest::mouseClick(dlg.splitButton, Qt::LeftButton);  // now "Stop"
    QVERIFY(finished.wait(60000));
    QCOMPARE(finished.first().first().toBool(), false);
    QVERIFY2(dlg.status->text().startsWith("Stopped: "), qPrintable(dlg.status->text()));
    QVERIFY(!dlg.status->text().contains("written to"));
    QCOMPARE(dlg.progress->value(), 0);
    QVERIFY(!dlg.openFolder->isVisible());
  }

  // What the merge rebuilt from recovery data gets its line in the Merging dialog, which says so
  // when that file's merge failed afterwards, and since the dialog closes itself, a message at
  // the end repeats the lines. The merge's events are fed to the dialog in the order the relay
  // hands them over ("file" a new file, "failed" a failure message, anything else a repair of
  // the names it lists); then a real merge runs to the end.
  void MergingDialogReportsRepairsPerFile() {
    const QByteArray data = Sample(25000);
    const QString segments = base_ + "/repaired-segments";
    QDir().mkpath(segments);
    uitest::WriteFile(base_ + "/clip.mov", data);
    QVERIFY(Split(base_ + "/clip.mov", segments));
    const QString incomplete = " (the file is still not complete)";
    struct Case {
      const char* name;
      QList<QStringList> events;
      QString lines;  // the dialog's repair lines; empty: hidden and no message at the end
    };
    const Case cases[] = {
        {"no repair says nothing more", {{"file"}}, {}},
        {"a repair names the rebuilt segments",
         {{"file"}, {"clip.mov.001", "clip.mov.003"}},
         "Repaired from recovery data: clip.mov.001, clip.mov.003"},
        {"an empty repair adds no line", {{"file"}, {}}, {}},
        {"two files get a line each",
         {{"file"}, {"clip.mov.001"}, {"file"}, {"other.bin.dtl"}},
         "Repaired from recovery data: clip.mov.001\nRepaired from recovery data: other.bin.dtl"},
        {"a failure after the repair marks its line",
         {{"file"}, {"clip.mov.001"}, {"failed"}, {"failed"}},
         "Repaired from recovery data: clip.mov.001" + incomplete},
        {"a failure of the next file leaves the line alone",
         {{"file"}, {"clip.mov.001"}, {"file"}, {"failed"}},
         "Repaired from recovery data: clip.mov.001"},
        {"a failure before any repair marks nothing",
         {{"file"}, {"failed"}, {"file"}, {"a.bin.002"}},
         "Repaired from recovery data: a.bin.002"},
    };
    for (const auto& c : cases) {
      const QString out = base_ + "/repaired-out-" + QString(c.name).replace(' ', '-');
      QDir().mkpath(out);
      uitest::Messages m;
      MergingDialog dlg;
      dlg.SetFolderAndPassword(out + "/", {});
      dlg.AddDescriptor(segments + "/clip.mov.dtl.doc");
      for (const QStringList& e : c.events) {
        if (e == QStringList{"file"})
          dlg.NextFile();
        else if (e == QStringList{"failed"})
          dlg.NoteFailure();
        else
          dlg.ShowRepaired(e);
      }
      QVERIFY2(dlg.repairs->text() == c.lines, qPrintable(dlg.repairs->text()));
      QVERIFY2(dlg.repairs->isVisibleTo(&dlg) == !c.lines.isEmpty(), c.name);
      dlg.exec();  // the merge itself goes through
      QCOMPARE(m.Texts(), c.lines.isEmpty() ? QStringList() : QStringList{c.lines});
      if (!c.lines.isEmpty()) QCOMPARE(m.shown.last().first, MsgIcon::Information);
      QCOMPARE(uitest::ReadFile(out + "/clip.mov"), data);
      // The dialog named where the file went, not where its segments were.
      QCOMPARE(dlg.fileName->text(), out + "/clip.mov");
      QCOMPARE(m.opened, QList<QUrl>{QUrl::fromLocalFile(out + "/")});
      QCOMPARE(dlg.RebuiltFiles(), QStringList{out + "/clip.mov"});
    }
  }

  // A whole merge from the Merge dialog over an offline split with recovery files beside it:
  // lost segments the blocks cover are rebuilt and named at the end; more than they cover is
  // the merge's error, naming how many blocks are short, and nothing lies under the file's name.
  void MergeRepairsLostSegmentsFromRecoveryFiles() {
    const QByteArray data = Sample(45000);  // the descriptor and four segments
    struct Case {
      const char* name;
      QStringList lost;
      QString report;  // the message at the end; empty: none
      bool complete;
    };
    const Case cases[] = {
        {"nothing lost: no word about recovery", {}, {}, true},
        {"one lost segment is rebuilt",
         {"song.wav.002.doc"},
         "Repaired from recovery data: song.wav.002.doc",
         true},
        {"the descriptor and the last segment are rebuilt",
         {"song.wav.dtl.doc", "song.wav.004.doc"},
         "Repaired from recovery data: song.wav.dtl.doc, song.wav.004.doc",
         true},
        {"more lost than blocks: an error, no file",
         {"song.wav.001.doc", "song.wav.002.doc", "song.wav.003.doc"},
         {},
         false},
        {"rebuilt but the password is wrong: an error, the line says so",
         {"song.wav.002.doc"},
         "Repaired from recovery data: song.wav.002.doc (the file is still not complete)",
         false},
    };
    uitest::WriteFile(base_ + "/song.wav", data);
    for (const auto& c : cases) {
      const QString tag = QString(c.name).replace(' ', '-').remove(':').remove(',');
      const QString segments = base_ + "/rec-" + tag, out = segments + "-out";
      QDir().mkpath(segments);
      QDir().mkpath(out);
      QVERIFY(Split(base_ + "/song.wav", segments));
      const std::vector<std::string> names = {"song.wav.dtl.doc", "song.wav.001.doc",
                                              "song.wav.002.doc", "song.wav.003.doc",
                                              "song.wav.004.doc"};
      const auto made = dtl::MakeSegmentRecovery(segments.toStdString(), names, "song.wav", 40);
      QVERIFY2(made && made->size() == 3, c.name);  // the set's description and two blocks
      for (const auto& lost : c.lost) QVERIFY(QFile::remove(segments + "/" + lost));

      uitest::Messages m;
      MergeDialog dlg(*store_);
      dlg.ChooseFiles({segments + "/song.wav.par2"});  // stands for the file's descriptor
      dlg.saveFolder->setText(out);
      if (!c.complete && !c.report.isEmpty()) dlg.password->setText("not the password");
      dlg.merge();
      if (c.complete) {
        QCOMPARE(m.Texts(), c.report.isEmpty() ? QStringList() : QStringList{c.report});
        if (!c.report.isEmpty()) QCOMPARE(m.shown.first().first, MsgIcon::Information);
        QCOMPARE(uitest::ReadFile(out + "/song.wav"), data);
      } else {
        // The merge's error first, then the repair line when there was a repair.
        QVERIFY2(m.shown.size() == (c.report.isEmpty() ? 1 : 2), qPrintable(m.Texts().join(" | ")));
        QCOMPARE(m.shown.first().first, MsgIcon::Error);
        QVERIFY2(m.Texts().first().contains(c.report.isEmpty() ? "1 more recovery blocks are needed"
                                                               : "Unable to unzip"),
                 qPrintable(m.Texts().first()));
        if (!c.report.isEmpty()) QCOMPARE(m.Texts().last(), c.report);
        QVERIFY(!QFile::exists(out + "/song.wav"));
      }
    }
  }

  // Without a saved folder the proposal is the user's download folder, never the program's
  // folder (which an installed program cannot write).
  void SaveFolderDefaultsToTheDownloadFolder() {
    const QString dirsFile = base_ + "/config/user-dirs.dirs";
    QDir().mkpath(base_ + "/Fetched");
    QDir().mkpath(base_ + "/FromEnv");
    const struct {
      const char* label;
      QByteArray environment;  // XDG_DOWNLOAD_DIR; empty: unset
      QByteArray dirs;         // user-dirs.dirs; empty: no such file
      QString expected;
    } cases[] = {
        {"user_dirs_file",
         {},
         "XDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_DOWNLOAD_DIR=\"$HOME/Fetched\"\n",
         base_ + "/Fetched/"},
        {"environment_first", (base_ + "/FromEnv").toUtf8(), "XDG_DOWNLOAD_DIR=\"$HOME/Fetched\"\n",
         base_ + "/FromEnv/"},
        {"absolute_path_in_file",
         {},
         "XDG_DOWNLOAD_DIR=\"" + (base_ + "/FromEnv").toUtf8() + "\"\n",
         base_ + "/FromEnv/"},
        {"named_folder_missing", {}, "XDG_DOWNLOAD_DIR=\"$HOME/Gone\"\n", base_ + "/"},
        {"nothing_names_one", {}, {}, base_ + "/"},
    };
    for (const auto& c : cases) {
      if (c.environment.isEmpty())
        qunsetenv("XDG_DOWNLOAD_DIR");
      else
        qputenv("XDG_DOWNLOAD_DIR", c.environment);
      QFile::remove(dirsFile);
      if (!c.dirs.isEmpty()) uitest::WriteFile(dirsFile, c.dirs);
      MergeDialog dlg(*store_);
      dlg.SetDescriptor("ab");  // two characters: ignored
      dlg.show();
      QVERIFY2(dlg.saveFolder->text() == c.expected,
               qPrintable(QString(c.label) + ": " + dlg.saveFolder->text()));
      QVERIFY(!dlg.mergeButton->isEnabled());
    }
    qunsetenv("XDG_DOWNLOAD_DIR");
    QFile::remove(dirsFile);
  }

  // Split File names its descriptor NAME.dtl.doc; the chooser must show it beside NAME.dtl, and
  // nothing else of a set; recovery files, which stand for a lost descriptor, in an entry of
  // their own.
  void DescriptorChooserShowsBothDescriptorNamings() {
    const QString folder = base_ + "/choose";
    QDir().mkpath(folder);
    for (const char* name :
         {"a.bin.dtl", "b.bin.dtl.doc", "b.bin.001.doc", "a.bin.001", "letter.doc"})
      uitest::WriteFile(folder + "/" + name, "x");
    for (const char* name : {"a.bin.par2", "b.bin.vol00+01.par2.doc", "c.par2.txt"})
      uitest::WriteFile(folder + "/" + name, "x");
    // Each entry of the filter, in order: the descriptors first, then the recovery files.
    const QStringList expected[] = {{"a.bin.dtl", "b.bin.dtl.doc"},
                                    {"a.bin.par2", "b.bin.vol00+01.par2.doc"}};
    auto patterns =
        QRegularExpression("\\(([^)]*)\\)").globalMatch(MergeDialog::DescriptorFilter());
    for (const QStringList& names : expected) {
      QVERIFY(patterns.hasNext());
      const QRegularExpressionMatch entry = patterns.next();
      QCOMPARE(QDir(folder).entryList(entry.captured(1).split(' ', Qt::SkipEmptyParts), QDir::Files,
                                      QDir::Name),
               names);
    }
    QVERIFY(!patterns.hasNext());
  }
};

QTEST_MAIN(SplitMergeDialogsTest)
#include "SplitMergeDialogs_test.moc"
