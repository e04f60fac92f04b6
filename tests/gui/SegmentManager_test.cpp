// The Segment Manager, the download dialog and Confirm File Replace: the tree's tick counting as
// the user clicks, the replace question and its countdown, and whole runs against the web-mail
// fixture (crawl, download, auto merge) with the files checked byte for byte.
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QTreeWidget>
#include <atomic>
#include <memory>

#include "archive/OfflineSplit.h"
#include "archive/SegmentRecovery.h"
#include "base/SettingsStore.h"
#include "browser/CookieJar.h"
#include "gui/ConfirmReplaceDialog.h"
#include "gui/DownloadDialog.h"
#include "gui/SegmentManagerDialog.h"
#include "gui/SegmentManagerTestSupport.h"
#include "gui/SegmentSource.h"
#include "gui/UiTestSupport.h"
#include "receive/SegmentManagerModel.h"

#include "fixtures/provider_server.h"

using namespace dtlui;
using dtl::ReplaceMode;

Q_DECLARE_METATYPE(dtl::ReplaceMode)

namespace {

using uitest::Download;
using uitest::FolderAnswer;
using uitest::Sample;

QStringList TreeLines(const QTreeWidget* tree) {
  QStringList lines;
  for (int g = 0; g < tree->topLevelItemCount(); ++g) {
    const QTreeWidgetItem* top = tree->topLevelItem(g);
    lines << top->text(0) + (top->checkState(0) == Qt::Checked ? " [x]" : "");
    for (int s = 0; s < top->childCount(); ++s)
      lines << "  " + top->child(s)->text(0) +
                   (top->child(s)->checkState(0) == Qt::Checked ? " [x]" : "");
  }
  return lines;
}

// What a user's click on a box does: the tree toggles it and reports the change.
void Click(QTreeWidgetItem* item) {
  item->setCheckState(0, item->checkState(0) == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}

// A web-mail inbox served by the fixture (session cookie "SID=1") and a download folder.
struct Mailbox {
  QTemporaryDir work;
  QString inbox = work.path() + "/inbox", out = work.path() + "/out";
  std::unique_ptr<dtltest::ProviderServer> server;

  Mailbox() {
    QDir().mkpath(inbox);
    QDir().mkpath(out);
  }
  // Splits `bytes` as the file `name` into the inbox in pieces of 10,000 bytes (the names a
  // mailed split gives its segments).
  bool Add(const QString& name, const QByteArray& bytes, const QString& password = {}) {
    const QString source = work.path() + "/" + name;
    uitest::WriteFile(source, bytes);
    dtl::OfflineSplitParams p;
    p.source = source.toStdString();
    p.folder = inbox.toStdString();
    p.segmentSize = 10000;
    p.password = password.toStdString();
    dtl::OfflineSplitObserver quiet;
    return dtl::RunOfflineSplit(p, quiet, {}).ok();
  }
  bool Start(std::vector<std::string> args = {}) {
    args.insert(args.begin(), {"--cookie", "SID=1"});
    server = std::make_unique<dtltest::ProviderServer>(inbox.toStdString(), std::move(args));
    return server->running();
  }
  const char* Error() const {
    return server ? server->error().c_str() : "the fixture did not start";
  }
};

}  // namespace

class SegmentManagerTest : public QObject {
  Q_OBJECT
  QTemporaryDir home_;
  QString base_;
  std::unique_ptr<dtl::SettingsStore> store_;
  dtl::CookieJar cookies_;

  std::unique_ptr<SegmentManagerDialog> Manager(const QString& pageUrl = {},
                                                const dtl::NetworkEndpoints& ep = {},
                                                const QString& cookie = {}) {
    return std::make_unique<SegmentManagerDialog>(
        *store_, cookies_, ep, SegmentManagerDialog::Session{pageUrl, cookie, {}, {}}, nullptr,
        nullptr);
  }

  // A Segment Manager without a crawl, these records filed in order.
  std::unique_ptr<SegmentManagerDialog> Filed(std::initializer_list<dtl::DownloadItem> records) {
    auto dlg = Manager();
    for (const auto& r : records) dlg->File(r);
    return dlg;
  }

  // A Segment Manager over the fixture's inbox for `provider` (the fixture started when it is
  // not yet), its crawl finished; null when either failed.
  std::unique_ptr<SegmentManagerDialog> Crawled(Mailbox& box, int provider) {
    if (!box.server && !box.Start()) return nullptr;
    auto dlg =
        Manager(Q(dtltest::ProviderServer::PageUrl(provider)), box.server->Endpoints(), "SID=1");
    QSignalSpy done(dlg.get(), &SegmentManagerDialog::crawlFinished);
    dlg->show();
    if (!done.wait(60000)) return nullptr;
    return dlg;
  }

 private slots:
  void initTestCase() {
    base_ = uitest::IsolateEnvironment(home_);
    qRegisterMetaType<dtl::ReplaceMode>();
  }
  void init() {
    QFile::remove(base_ + "/settings.reg");
    store_ = std::make_unique<dtl::SettingsStore>((base_ + "/settings.reg").toStdString());
  }

  void SegmentsOfOneFileShareAGroupAndRepeatsAreDropped() {
    // The second movie.avi.001 is listed already.
    auto dlg = Filed({{"movie.avi.001", "k1"},
                      {"movie.avi.dtl", "k0"},
                      {"movie.avi.001", "k9"},
                      {"notes.txt.dtl", "k2"}});
    QCOMPARE(TreeLines(dlg->Tree()), (QStringList{"movie.avi", "  movie.avi.001", "  movie.avi.dtl",
                                                  "notes.txt", "  notes.txt.dtl"}));
    QVERIFY(!dlg->downloadButton->isEnabled());
    QVERIFY(!dlg->refreshButton->isEnabled());
    QVERIFY(!dlg->stopButton->isEnabled());
  }

  // Recovery files are listed under their file's row, and the row says how many recovery blocks
  // came with it, as the files' names announce them; the row follows files filed later.
  void RecoveryFilesShowTheirBlockCountOnTheFileRow() {
    struct Case {
      const char* name;
      std::vector<dtl::DownloadItem> records;
      QStringList lines;
    };
    const Case cases[] = {
        {"segments only: just the name",
         {{"movie.avi.dtl", "k0"}, {"movie.avi.001", "k1"}},
         {"movie.avi", "  movie.avi.dtl", "  movie.avi.001"}},
        {"blocks summed over the volumes",
         {{"movie.avi.dtl", "k0"},
          {"movie.avi.001", "k1"},
          {"movie.avi.par2", "r0"},
          {"movie.avi.vol00+01.par2", "r1"},
          {"movie.avi.vol01+02.par2", "r2"}},
         {"movie.avi — 3 recovery blocks", "  movie.avi.dtl", "  movie.avi.001", "  movie.avi.par2",
          "  movie.avi.vol00+01.par2", "  movie.avi.vol01+02.par2"}},
        {"one block",
         {{"movie.avi.dtl", "k0"}, {"movie.avi.vol00+01.par2", "r1"}},
         {"movie.avi — 1 recovery block", "  movie.avi.dtl", "  movie.avi.vol00+01.par2"}},
        {"the set's description alone brings none",
         {{"movie.avi.par2", "r0"}, {"movie.avi.dtl", "k0"}},
         {"movie.avi — 0 recovery blocks", "  movie.avi.par2", "  movie.avi.dtl"}},
        {"the row follows a volume filed later",
         {{"movie.avi.dtl", "k0"}, {"notes.txt.dtl", "n0"}, {"movie.avi.vol00+05.par2", "r1"}},
         {"movie.avi — 5 recovery blocks", "  movie.avi.dtl", "  movie.avi.vol00+05.par2",
          "notes.txt", "  notes.txt.dtl"}},
        {"ending case is no matter",
         {{"song.mp3.dtl", "k0"}, {"song.mp3.VOL00+02.PAR2", "r1"}},
         {"song.mp3 — 2 recovery blocks", "  song.mp3.dtl", "  song.mp3.VOL00+02.PAR2"}},
    };
    for (const auto& c : cases) {
      auto dlg = Manager();
      for (const auto& r : c.records) dlg->File(r);
      QVERIFY2(TreeLines(dlg->Tree()) == c.lines,
               qPrintable(QString(c.name) + ": " + TreeLines(dlg->Tree()).join(" | ")));
      // Sorting rebuilds the tree: the rows keep their counts.
      dlg->sortButton->click();
      QVERIFY2(TreeLines(dlg->Tree()).first() == c.lines.first(), c.name);
    }
  }

  void TickingAGroupCountsEachSegmentOnce() {
    auto dlg = Filed({{"movie.avi.dtl", "k0"},
                      {"movie.avi.001", "k1"},
                      {"movie.avi.002", "k2"},
                      {"notes.txt.dtl", "k3"}});
    QTreeWidget* tree = dlg->Tree();
    QTreeWidgetItem* movie = tree->topLevelItem(0);

    Click(movie->child(1));
    QCOMPARE(dlg->Model().TickedCount(), 1);
    QVERIFY(dlg->downloadButton->isEnabled());
    Click(movie);  // the segment ticked already is not counted again
    QCOMPARE(dlg->Model().TickedCount(), 3);
    QCOMPARE(TreeLines(tree).mid(0, 4),
             (QStringList{"movie.avi [x]", "  movie.avi.dtl [x]", "  movie.avi.001 [x]",
                          "  movie.avi.002 [x]"}));
    Click(movie->child(0));  // the file's own box stays ticked
    QCOMPARE(dlg->Model().TickedCount(), 2);
    QCOMPARE(movie->checkState(0), Qt::Checked);
    Click(movie);  // unticking lowers by each segment that was ticked, not by all
    QCOMPARE(dlg->Model().TickedCount(), 0);
    QVERIFY(!dlg->downloadButton->isEnabled());

    dlg->selectAll->click();
    QCOMPARE(dlg->Model().TickedCount(), 4);
    for (const QString& line : TreeLines(tree)) QVERIFY2(line.endsWith("[x]"), qPrintable(line));
    dlg->selectAll->click();
    QCOMPARE(dlg->Model().TickedCount(), 0);
    QVERIFY(!dlg->downloadButton->isEnabled());
  }

  void FinishedItemsUntickUntilDownloadIsOff() {
    auto dlg = Filed({{"a.bin.dtl", "ka0"}, {"a.bin.001", "ka1"}, {"b.bin.dtl", "kb0"}});
    dlg->selectAll->click();
    dlg->markItemFinished("ka1");
    dlg->markItemFinished("no-such-key");
    QCOMPARE(dlg->Model().TickedCount(), 2);
    QCOMPARE(TreeLines(dlg->Tree()).at(2), QString("  a.bin.001"));
    QVERIFY(dlg->downloadButton->isEnabled());
    dlg->markItemFinished("ka0");
    dlg->markItemFinished("kb0");
    dlg->markItemFinished("kb0");  // reported twice: the count never goes below 0
    QCOMPARE(dlg->Model().TickedCount(), 0);
    QVERIFY(!dlg->downloadButton->isEnabled());
  }

  void SortOrdersFilesThenSegmentsAndKeepsTicks() {
    auto dlg = Filed({{"zeta.bin.dtl", "z0"}, {"alpha.bin.002", "a2"}, {"alpha.bin.001", "a1"}});
    Click(dlg->Tree()->topLevelItem(1)->child(1));  // alpha.bin.001
    dlg->sortButton->click();
    QCOMPARE(TreeLines(dlg->Tree()),
             (QStringList{"alpha.bin", "  alpha.bin.001 [x]", "  alpha.bin.002", "zeta.bin",
                          "  zeta.bin.dtl"}));
    dlg->File({"alpha.bin.dtl", "a0"});  // filing goes on after a sort
    QCOMPARE(TreeLines(dlg->Tree()).at(3), QString("  alpha.bin.dtl"));
    Click(dlg->Tree()->topLevelItem(1));
    QCOMPARE(dlg->Model().TickedItems(),
             (std::vector<dtl::DownloadItem>{{"alpha.bin.001", "a1"}, {"zeta.bin.dtl", "z0"}}));
  }

  void AutoMergeBoxFollowsTheSetting() {
    QVERIFY(Manager()->autoMerge->isChecked());  // no value yet
    {
      auto dlg = Manager();
      dlg->autoMerge->click();
      QVERIFY(!dtl::SegmentManagerModel::ReadAutoMerge(*store_));  // written at once
    }
    QVERIFY(!Manager()->autoMerge->isChecked());
    Manager()->autoMerge->click();
    QVERIFY(Manager()->autoMerge->isChecked());
  }

  void CancelledFolderChoiceChangesNothing() {
    dtl::SegmentManagerModel::WriteSavePath(*store_, "/kept");
    auto dlg = Filed({{"a.bin.dtl", "k"}});
    dlg->selectAll->click();
    FolderAnswer answer;  // answers with an empty folder: cancel
    dlg->downloadButton->click();
    QCOMPARE(answer.asked, 1);
    QVERIFY(!dlg->downloadDialog());
    QCOMPARE(dtl::SegmentManagerModel::ReadSavePath(*store_), std::string("/kept"));
    QCOMPARE(dlg->Model().TickedCount(), 1);
  }

  void CloseAsksAndOnlyYesCloses() {
    uitest::Messages m;
    Mailbox box;  // empty
    auto dlg = Crawled(box, dtl::kProviderYahoo);
    QVERIFY2(dlg, box.Error());
    QCOMPARE(dlg->Tree()->topLevelItemCount(), 0);
    QVERIFY(dlg->refreshButton->isEnabled());
    QCOMPARE(dlg->progress->value(),
             dlg->progress->maximum());  // an empty crawl leaves the bar full

    m.answer = MsgAnswer::No;
    dlg->closeButton->click();
    QCOMPARE(m.Texts(), QStringList{"Are you sure you want to close the window?"});
    QVERIFY(dlg->isVisible());
    QCOMPARE(dlg->closeButton->text(), QString("&Close"));

    m.answer = MsgAnswer::Yes;
    QSignalSpy finished(dlg.get(), &QDialog::finished);
    dlg->close();  // the close box asks the same question
    QCOMPARE(m.shown.size(), 2);
    QCOMPARE(dlg->closeButton->text(), QString("Closing..."));
    QVERIFY(!dlg->closeButton->isEnabled());
    QVERIFY(finished.wait(10000));
    QVERIFY(!dlg->isVisible());
  }

  void ClosingDuringACrawlEndsOnlyAfterTheCrawler() {
    uitest::Messages m;
    Mailbox box;
    for (int i = 0; i < 8; ++i) QVERIFY(box.Add(QString("f%1.bin").arg(i), Sample(100, i)));
    QVERIFY2(box.Start({"--page-size", "1"}), box.Error());
    auto dlg = Manager(Q(dtltest::ProviderServer::PageUrl(dtl::kProviderYahoo)),
                       box.server->Endpoints(), "SID=1");
    QStringList order;
    connect(dlg.get(), &SegmentManagerDialog::crawlFinished, [&] { order << "crawl"; });
    connect(dlg.get(), &QDialog::finished, [&] { order << "dialog"; });
    dlg->show();
    QVERIFY(dlg->Crawling());
    dlg->closeButton->click();
    QTRY_COMPARE_WITH_TIMEOUT(order, (QStringList{"crawl", "dialog"}), 30000);
    QVERIFY(!dlg->isVisible());
    QCOMPARE(m.shown.size(), 1);
  }

  // An IMAP server that accepts and then says nothing: Stop ends the listing, and Close the
  // window, within moments rather than at the server's time-out, without an error box.
  void ImapListingEndsAtOnceOnStopOrClose_data() {
    QTest::addColumn<bool>("close");
    QTest::newRow("Stop keeps the window") << false;
    QTest::newRow("Close ends it") << true;
  }
  void ImapListingEndsAtOnceOnStopOrClose() {
    QFETCH(bool, close);
    uitest::Messages m;
    QTcpServer silent;
    QVERIFY(silent.listen(QHostAddress::LocalHost));
    dtl::ImapSettings settings;
    settings.host = "127.0.0.1";
    settings.port = silent.serverPort();
    settings.security = dtl::ImapSecurity::StartTls;  // waits for the greeting in the clear
    auto dlg = std::make_unique<SegmentManagerDialog>(*store_, MakeImapSource(settings, "INBOX"),
                                                      nullptr, nullptr);
    QSignalSpy listed(dlg.get(), &SegmentManagerDialog::crawlFinished);
    QSignalSpy finished(dlg.get(), &QDialog::finished);
    dlg->show();
    QVERIFY(dlg->Crawling());
    QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), 10000);
    QElapsedTimer since;
    since.start();
    if (close)
      dlg->closeButton->click();
    else
      dlg->stopButton->click();
    QTRY_VERIFY_WITH_TIMEOUT(!listed.isEmpty(), 10000);
    QVERIFY2(since.elapsed() < 5000, qPrintable(QString::number(since.elapsed())));
    if (close) {
      QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty(), 10000);
      QVERIFY(!dlg->isVisible());
      QCOMPARE(m.Texts(), QStringList{"Are you sure you want to close the window?"});
    } else {
      QVERIFY(dlg->isVisible());
      QVERIFY(dlg->refreshButton->isEnabled());
      QVERIFY(m.shown.isEmpty());  // a stop is no failure
    }
  }

  void WallaLoginPageDuringTheCrawlClosesAndAsksForARelogin() {
    uitest::Messages m;
    Mailbox box;
    QVERIFY(box.Add("one.bin", Sample(100, 7)));
    QVERIFY2(box.Start(), box.Error());
    auto dlg = Manager(Q(dtltest::ProviderServer::PageUrl(dtl::kProviderWalla)),
                       box.server->Endpoints(), "SID=expired");
    QSignalSpy relogin(dlg.get(), &SegmentManagerDialog::reLoginRequested);
    QSignalSpy finished(dlg.get(), &QDialog::finished);
    dlg->show();
    QVERIFY(finished.wait(30000));
    QCOMPARE(relogin.size(), 1);
    QVERIFY(m.shown.isEmpty());  // no close question: the session is gone
    QCOMPARE(dlg->Tree()->topLevelItemCount(), 0);
  }

  // Confirm File Replace on its own: each button's mode, and the countdown that overwrites.
  void ReplaceButtonsGiveTheirModes_data() {
    QTest::addColumn<int>("button");
    QTest::addColumn<dtl::ReplaceMode>("mode");
    QTest::newRow("Overwrite All") << 0 << ReplaceMode::OverwriteAll;
    QTest::newRow("Overwrite") << 1 << ReplaceMode::Overwrite;
    QTest::newRow("Skip All") << 2 << ReplaceMode::SkipAll;
    QTest::newRow("Skip") << 3 << ReplaceMode::Skip;
    QTest::newRow("Cancel skips every existing file") << 4 << ReplaceMode::SkipAll;
    QTest::newRow("Escape is Cancel, never Overwrite All") << 5 << ReplaceMode::SkipAll;
  }
  void ReplaceButtonsGiveTheirModes() {
    QFETCH(int, button);
    QFETCH(dtl::ReplaceMode, mode);
    ConfirmReplaceDialog dlg("movie.avi.001");
    QSignalSpy answered(&dlg, &ConfirmReplaceDialog::answered);
    dlg.open();
    QCOMPARE(dlg.fileName->text(), QString("movie.avi.001"));
    QPushButton* buttons[] = {dlg.overwriteAllButton, dlg.overwriteButton, dlg.skipAllButton,
                              dlg.skipButton, dlg.cancelButton};
    if (button < 5)
      buttons[button]->click();
    else
      QTest::keyClick(&dlg, Qt::Key_Escape);
    QCOMPARE(answered.size(), 1);
    QCOMPARE(answered.first().first().value<dtl::ReplaceMode>(), mode);
    QCOMPARE(dlg.Mode(), mode);
    QVERIFY(!dlg.isVisible());
    QVERIFY(!dlg.Timer().isActive());
  }

  void UnansweredReplaceOverwritesOnTheThirtyFirstTick() {
    ConfirmReplaceDialog dlg("movie.avi.dtl");
    QSignalSpy answered(&dlg, &ConfirmReplaceDialog::answered);
    QCOMPARE(dlg.Timer().interval(), 1000);
    QCOMPARE(dlg.countdownText->text(), QString("Delaying 30 seconds before overwrite."));
    for (int i = 0; i < 30; ++i) dlg.tick();
    QCOMPARE(dlg.countdownText->text(), QString("Delaying 0 seconds before overwrite."));
    QVERIFY(answered.isEmpty());
    dlg.tick();
    QCOMPARE(answered.size(), 1);
    QCOMPARE(dlg.Mode(), ReplaceMode::Overwrite);
    dlg.tick();  // a late tick changes nothing
    QCOMPARE(answered.size(), 1);
  }

  // End to end: the fixture's inbox in two providers' layouts (Walla serves its attachments
  // from a host of its own), listed, downloaded and merged back byte for byte.
  void CrawlDownloadAndAutoMergeRestoreTheFiles_data() {
    QTest::addColumn<int>("provider");
    QTest::newRow("Yahoo") << int(dtl::kProviderYahoo);
    QTest::newRow("Walla") << int(dtl::kProviderWalla);
  }
  void CrawlDownloadAndAutoMergeRestoreTheFiles() {
    QFETCH(int, provider);
    uitest::Messages m;
    Mailbox box;
    const QByteArray movie = Sample(34567, 1), notes = Sample(8000, 2);
    QVERIFY(box.Add("movie.avi", movie, "s3cret"));
    QVERIFY(box.Add("notes.txt", notes, "s3cret"));

    auto dlg = Crawled(box, provider);
    QVERIFY2(dlg, box.Error());
    QCOMPARE(dlg->progress->value(), dlg->progress->maximum());
    QCOMPARE(TreeLines(dlg->Tree()),
             (QStringList{"movie.avi", "  movie.avi.001", "  movie.avi.002", "  movie.avi.003",
                          "  movie.avi.dtl", "notes.txt", "  notes.txt.dtl"}));
    QVERIFY(dlg->refreshButton->isEnabled());
    QVERIFY(!dlg->stopButton->isEnabled());

    dlg->selectAll->click();
    dlg->password->setText("s3cret");
    // The main window's tray tip follows the download through the Segment Manager's signals.
    QSignalSpy rateCleared(dlg.get(), &SegmentManagerDialog::downloadRateCleared);
    QCOMPARE(Download(*dlg, box.out), 1);
    QVERIFY(!rateCleared.isEmpty());
    QVERIFY(m.Texts().isEmpty());
    QCOMPARE(uitest::ReadFile(box.out + "/movie.avi"), movie);
    QCOMPARE(uitest::ReadFile(box.out + "/notes.txt"), notes);
    QCOMPARE(m.opened, QList<QUrl>{QUrl::fromLocalFile(box.out)});  // the merge shows the folder
    QCOMPARE(dlg->Model().TickedCount(), 0);                        // every item came back finished
    QVERIFY(!dlg->downloadButton->isEnabled());
    QCOMPARE(dtl::SegmentManagerModel::ReadSavePath(*store_), box.out.toStdString());
    QCOMPARE(dlg->downloadDialog()->overall->value(), 5);
  }

  // Lost mails with recovery mails in the inbox: the crawl lists the recovery files under the
  // file with their block count, and Auto Merge rebuilds what was lost (the descriptor too: a
  // recovery file then stands for it), names it and gives the file back whole.
  void AutoMergeRepairsLostMailsFromTheRecoveryMails() {
    struct Case {
      const char* name;
      QStringList lost;  // inbox files (without ".doc") that never came
      QString report;
    };
    const Case cases[] = {
        {"a segment", {"movie.avi.002"}, "Repaired from recovery data: movie.avi.002"},
        {"the descriptor", {"movie.avi.dtl"}, "Repaired from recovery data: movie.avi.dtl"},
        {"the descriptor and the set's description",
         {"movie.avi.dtl", "movie.avi.par2"},
         "Repaired from recovery data: movie.avi.dtl"},
    };
    for (const auto& c : cases) {
      uitest::Messages m;
      Mailbox box;
      const QByteArray movie = Sample(34567, 3);
      QVERIFY(box.Add("movie.avi", movie));
      // The sender's set names the segments as the receiving side saves them (no ".doc");
      // each recovery file is mailed with ".doc" appended, like a segment.
      const QString stage = box.work.path() + "/stage";
      QDir().mkpath(stage);
      std::vector<std::string> names;
      for (const char* n : {"movie.avi.dtl", "movie.avi.001", "movie.avi.002", "movie.avi.003"}) {
        QVERIFY(QFile::copy(box.inbox + "/" + n + ".doc", stage + "/" + n));
        names.push_back(n);
      }
      const auto made = dtl::MakeSegmentRecovery(stage.toStdString(), names, "movie.avi", 50);
      QVERIFY(made && made->size() == 3);
      for (const auto& r : *made)
        QVERIFY(QFile::copy(stage + "/" + Q(r), box.inbox + "/" + Q(r) + ".doc"));
      for (const QString& lost : c.lost) QVERIFY(QFile::remove(box.inbox + "/" + lost + ".doc"));

      auto dlg = Crawled(box, dtl::kProviderYahoo);
      QVERIFY2(dlg, box.Error());
      const QStringList lines = TreeLines(dlg->Tree());
      QVERIFY2(lines.size() == 8 - c.lost.size(), c.name);  // the row and what came
      QCOMPARE(lines.first(), QString("movie.avi — 2 recovery blocks"));
      dlg->selectAll->click();
      QCOMPARE(Download(*dlg, box.out), 1);
      QVERIFY2(m.Texts() == QStringList{c.report},
               qPrintable(QString(c.name) + ": " + m.Texts().join(" | ")));
      QCOMPARE(uitest::ReadFile(box.out + "/movie.avi"), movie);
      QCOMPARE(m.opened, QList<QUrl>{QUrl::fromLocalFile(box.out)});
    }
  }

  void AutoMergeWithoutADescriptorStillShowsTheFolder() {
    uitest::Messages m;
    Mailbox box;
    QVERIFY(box.Add("movie.avi", Sample(15000, 8)));
    auto dlg = Crawled(box, dtl::kProviderYahoo);
    QVERIFY2(dlg, box.Error());
    Click(dlg->Tree()->topLevelItem(0)->child(0));  // movie.avi.001 alone
    QCOMPARE(Download(*dlg, box.out), 1);
    QVERIFY(QFile::exists(box.out + "/movie.avi.001"));
    QVERIFY(!QFile::exists(box.out + "/movie.avi"));
    QCOMPARE(m.opened, QList<QUrl>{QUrl::fromLocalFile(box.out)});
    QVERIFY(m.shown.isEmpty());
  }

  void ReplaceQuestionSkipAllKeepsEveryExistingFile() {
    uitest::Messages m;
    Mailbox box;
    QVERIFY(box.Add("movie.avi", Sample(25000, 3)));
    for (const char* name : {"movie.avi.dtl", "movie.avi.001", "movie.avi.002"})
      uitest::WriteFile(box.out + "/" + name, "kept");

    auto dlg = Crawled(box, dtl::kProviderYahoo);
    QVERIFY2(dlg, box.Error());
    dlg->autoMerge->setChecked(false);
    dlg->selectAll->click();
    int questions = 0;
    const int result = Download(*dlg, box.out, [&](DownloadDialog& download) {
      QTRY_VERIFY_WITH_TIMEOUT(
          download.ReplaceQuestion() && download.ReplaceQuestion()->isVisible(), 30000);
      ++questions;
      QCOMPARE(download.ReplaceQuestion()->fileName->text(), QString("movie.avi.001"));
      download.ReplaceQuestion()->skipAllButton->click();
    });
    QCOMPARE(result, 1);
    QCOMPARE(questions, 1);
    for (const char* name : {"movie.avi.dtl", "movie.avi.001", "movie.avi.002"})
      QCOMPARE(uitest::ReadFile(box.out + "/" + name), QByteArray("kept"));
    QCOMPARE(dlg->Model().TickedCount(), 0);  // skipped items are reported as done
    QVERIFY(m.opened.isEmpty());              // no merge without Auto Merge
  }

  void UnansweredQuestionOverwritesAndTheNextFileAsksAgain() {
    uitest::Messages m;
    Mailbox box;
    const QByteArray bytes = Sample(15000, 4);
    QVERIFY(box.Add("movie.avi", bytes));
    uitest::WriteFile(box.out + "/movie.avi.001", "old");
    uitest::WriteFile(box.out + "/movie.avi.dtl", "old");

    auto dlg = Crawled(box, dtl::kProviderYahoo);
    QVERIFY2(dlg, box.Error());
    dlg->selectAll->click();
    QStringList asked;
    const int result = Download(*dlg, box.out, [&](DownloadDialog& download) {
      for (int n = 0; n < 2; ++n) {
        QTRY_VERIFY_WITH_TIMEOUT(
            download.ReplaceQuestion() && !download.ReplaceQuestion()->Answered(), 30000);
        ConfirmReplaceDialog* question = download.ReplaceQuestion();
        asked << question->fileName->text();
        for (int tick = 0; tick < 31; ++tick) question->tick();
        QVERIFY(question->Answered());
      }
    });
    QCOMPARE(result, 1);
    QCOMPARE(asked, (QStringList{"movie.avi.001", "movie.avi.dtl"}));
    QCOMPARE(uitest::ReadFile(box.out + "/movie.avi"), bytes);
  }

  void ProviderLoginPageAsksForARelogin() {
    uitest::Messages m;
    Mailbox box;
    QVERIFY(box.Add("one.bin", Sample(5000, 5)));
    auto dlg = Crawled(box, dtl::kProviderWalla);
    QVERIFY2(dlg, box.Error());
    QCOMPARE(dlg->Tree()->topLevelItemCount(), 1);
    // (Matched by the path: the fault's own control request names it only escaped.)
    box.server->AddFault("login", "/download?id=");
    QSignalSpy relogin(dlg.get(), &SegmentManagerDialog::reLoginRequested);
    dlg->selectAll->click();
    // The login page is answered once; the item is fetched again after the pause and arrives.
    QCOMPARE(Download(*dlg, box.out), 1);
    QCOMPARE(relogin.size(), 1);
    QCOMPARE(dlg->downloadDialog()->LastResult().attemptsFailed, uint64_t(1));
    QCOMPARE(uitest::ReadFile(box.out + "/one.bin").size(), 5000);
  }

  // Attachments behind an HTTP login: the question comes once for the server and its answer
  // holds for every item; Cancel ends the run quietly, a refused login with a message, and
  // neither asks again.
  void HttpLoginIsAskedOncePerServer_data() {
    QTest::addColumn<QString>("password");  // empty: Cancel
    QTest::addColumn<int>("result");
    QTest::addColumn<QString>("message");
    QTest::newRow("right login") << "open sesame" << 1 << "";
    QTest::newRow("cancel") << "" << 2 << "";
    QTest::newRow("refused login") << "sesame" << 2 << "the server refused the login (401)";
  }
  void HttpLoginIsAskedOncePerServer() {
    QFETCH(QString, password);
    QFETCH(int, result);
    QFETCH(QString, message);
    uitest::Messages m;
    Mailbox box;
    const QByteArray bytes = Sample(25000, 7);
    QVERIFY(box.Add("movie.avi", bytes));
    QVERIFY2(box.Start({"--http-login", "joe:open sesame"}), box.Error());
    // Netscape's listing names the files itself: the crawl never touches a guarded attachment.
    auto dlg = Crawled(box, dtl::kProviderNetscape);
    QVERIFY2(dlg, box.Error());
    dlg->selectAll->click();
    QStringList asked;
    const int got = Download(*dlg, box.out, [&](DownloadDialog& download) {
      connect(&download, &DownloadDialog::loginRequested, [&](const QString& url) { asked << url; });
      QTRY_VERIFY_WITH_TIMEOUT(download.LoginQuestion() && download.LoginQuestion()->isVisible(),
                               30000);
      HttpLoginDialog* question = download.LoginQuestion();
      QVERIFY(question->prompt->text().contains("webmail.netscape.com"));
      QCOMPARE(question->password->echoMode(), QLineEdit::Password);
      if (password.isEmpty()) {
        question->cancelButton->click();
        return;
      }
      question->user->setText("joe");
      question->password->setText(password);
      question->okButton->click();
    });
    QCOMPARE(got, result);
    QCOMPARE(asked.size(), 1);
    QCOMPARE(dlg->downloadDialog()->LastResult().outcome,
             result == 1 ? dtl::DownloadEngine::Outcome::Completed
                         : dtl::DownloadEngine::Outcome::LoginFailed);
    if (message.isEmpty()) {
      QVERIFY(m.shown.isEmpty());
    } else {
      QCOMPARE(m.shown.size(), 1);
      QCOMPARE(m.shown[0].first, MsgIcon::Error);
      QVERIFY2(m.shown[0].second.endsWith(message), qPrintable(m.shown[0].second));
    }
    if (result == 1) QCOMPARE(uitest::ReadFile(box.out + "/movie.avi"), bytes);
    else QVERIFY(!QFile::exists(box.out + "/movie.avi.001"));
  }

  // A failing item shows why and how long until the next attempt, counting down, and the
  // status goes once the item arrives.
  void RetryWaitIsShownUntilTheItemArrives() {
    uitest::Messages m;
    Mailbox box;
    QVERIFY(box.Add("one.bin", Sample(5000, 9)));
    auto dlg = Crawled(box, dtl::kProviderWalla);
    QVERIFY2(dlg, box.Error());
    // Three refusals: the first retry goes at once, then 1 s and 2 s.
    for (int n = 0; n < 3; ++n) box.server->AddFault("500", "/download?id=");
    dlg->selectAll->click();
    QStringList seen;
    const int result = Download(*dlg, box.out, [&](DownloadDialog& download) {
      QTRY_VERIFY_WITH_TIMEOUT(download.retryText->text().contains("trying again in 2 s"), 30000);
      seen << download.retryText->text();
    });
    QCOMPARE(result, 1);
    QCOMPARE(seen, QStringList{"HTTP status 500 \u2014 trying again in 2 s"});
    QCOMPARE(dlg->downloadDialog()->LastResult().attemptsFailed, uint64_t(3));
    QCOMPARE(dlg->downloadDialog()->retryText->text(), QString());
    QCOMPARE(uitest::ReadFile(box.out + "/one.bin").size(), 5000);
  }

  // Cancel during a retry wait ends the run at once, not when the wait is over, and the status
  // says it was stopped.
  void CancelEndsARetryWaitAtOnce() {
    uitest::Messages m;
    Mailbox box;
    QVERIFY(box.Add("one.bin", Sample(5000, 10)));
    auto dlg = Crawled(box, dtl::kProviderWalla);
    QVERIFY2(dlg, box.Error());
    for (int n = 0; n < 8; ++n) box.server->AddFault("500", "/download?id=");
    dlg->selectAll->click();
    QElapsedTimer sinceCancel;
    const int result = Download(*dlg, box.out, [&](DownloadDialog& download) {
      QTRY_VERIFY_WITH_TIMEOUT(download.retryText->text().contains("trying again in 4 s"), 30000);
      sinceCancel.start();
      download.cancelButton->click();
      QCOMPARE(download.retryText->text(), QString("Stopped."));
    });
    QCOMPARE(result, 2);
    QVERIFY2(sinceCancel.elapsed() < 2500, qPrintable(QString::number(sinceCancel.elapsed())));
    QCOMPARE(dlg->downloadDialog()->LastResult().outcome, dtl::DownloadEngine::Outcome::Stopped);
    QCOMPARE(dlg->downloadDialog()->retryText->text(), QString("Stopped."));
    QVERIFY(!QFile::exists(box.out + "/one.bin"));
  }

  void CancelStopsTheDownloadAndRemovesThePartFile() {
    uitest::Messages m;
    Mailbox box;
    QVERIFY(box.Add("movie.avi", Sample(25000, 6)));
    uitest::WriteFile(box.out + "/movie.avi.001", "old");
    auto dlg = Crawled(box, dtl::kProviderYahoo);
    QVERIFY2(dlg, box.Error());
    dlg->selectAll->click();
    const int result = Download(*dlg, box.out, [&](DownloadDialog& download) {
      // The worker waits on the question; Cancel on the download ends the run without
      // touching the existing file.
      QTRY_VERIFY_WITH_TIMEOUT(download.ReplaceQuestion() != nullptr, 30000);
      FolderAnswer again;
      dlg->downloadButton->click();  // the download dialog is on screen: nothing happens
      QCOMPARE(again.asked, 0);
      QCOMPARE(dlg->downloadDialog(), &download);
      download.cancelButton->click();
      QVERIFY(download.Stopping());
      QVERIFY(!download.cancelButton->isEnabled());
    });
    QCOMPARE(result, 2);
    QCOMPARE(uitest::ReadFile(box.out + "/movie.avi.001"), QByteArray("old"));
    QVERIFY(!QFile::exists(box.out + "/movie.avi"));
    QVERIFY(m.opened.isEmpty());
  }
};

QTEST_MAIN(SegmentManagerTest)
#include "SegmentManager_test.moc"
