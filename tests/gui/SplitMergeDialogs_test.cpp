// The Split File dialog and the Merge/Merging dialogs, driving real files through a split and
// back.
#include <QDir>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "gui/MergeDialog.h"
#include "gui/SplitFileDialog.h"
#include "gui/widgets/ColorBandSlider.h"
#include "gui/UiTestSupport.h"

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

  void SmallFileGivesOneDescriptorInAFolderWithoutTrailingSlash() {
    QDir().mkpath(base_ + "/small");
    uitest::WriteFile(base_ + "/note.txt", "hello");
    QVERIFY(Split(base_ + "/note.txt", base_ + "/small"));
    QCOMPARE(QDir(base_ + "/small").entryList(QDir::Files), QStringList{"note.txt.dtl.doc"});
  }

  void StopKeepsThePiecesWrittenAndResetsTheButton() {
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
    QCOMPARE(dlg.splitButton->text(), QString("Split"));
    QVERIFY(dlg.splitButton->isEnabled() && dlg.closeButton->isEnabled());
    QCOMPARE(dlg.progress->value(), 0);
    const int written = QDir(base_ + "/stopped").entryList(QDir::Files).size();
    QVERIFY2(written >= 1 && written < 10, qPrintable(QString::number(written)));
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
    QCOMPARE(m.opened, QList<QUrl>{QUrl::fromLocalFile(base_ + "/out/")});

    MergeDialog again(*store_);
    again.show();
    QCOMPARE(again.saveFolder->text(), base_ + "/out/");
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
    QCOMPARE(m.Texts(), QStringList{QString("Unable to unzip %1, either the file is corrupt or you entered the wrong "
                                            "password.").arg(base_ + "/locked/secret.bin.dtl.doc")});
    QCOMPARE(m.opened.size(), 0);
  }

  void SaveFolderDefaultsToTheProgramFolder() {
    MergeDialog dlg(*store_);
    dlg.SetDescriptor("ab");  // two characters: ignored
    dlg.show();
    QVERIFY(dlg.saveFolder->text().endsWith('/'));
    QVERIFY(!dlg.saveFolder->text().isEmpty());
    QVERIFY(!dlg.mergeButton->isEnabled());
  }
};

QTEST_MAIN(SplitMergeDialogsTest)
#include "SplitMergeDialogs_test.moc"
