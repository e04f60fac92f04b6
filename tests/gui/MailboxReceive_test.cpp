// Receiving from a mailbox over IMAP in the desktop program, against the real Postfix + Dovecot
// of the fixtures with segment mails put in by IMAP APPEND: the IMAP settings' Test, and the
// Segment Manager filled from the listing, refreshed, refused, and its Download + Auto Merge
// rebuilding the files byte for byte.
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTest>
#include <QTreeWidget>
#include <algorithm>
#include <memory>

#include "archive/OfflineSplit.h"
#include "archive/SegmentRecovery.h"
#include "base/SettingsStore.h"
#include "gui/ConfirmReplaceDialog.h"
#include "gui/DownloadDialog.h"
#include "gui/ImapSettingsDialog.h"
#include "gui/SegmentManagerDialog.h"
#include "gui/SegmentManagerTestSupport.h"
#include "gui/SegmentSource.h"
#include "gui/UiTestSupport.h"

#include "fixtures/mail_system.h"
#include "fixtures/provider_server.h"

using namespace dtlui;
using dtltest::MailSystem;

namespace {

using uitest::Download;
using uitest::Sample;

QStringList TreeLines(const QTreeWidget* tree) {
  QStringList lines;
  for (int g = 0; g < tree->topLevelItemCount(); ++g) {
    const QTreeWidgetItem* top = tree->topLevelItem(g);
    lines << top->text(0);
    for (int s = 0; s < top->childCount(); ++s) lines << "  " + top->child(s)->text(0);
  }
  return lines;
}

// Appends one mail per file to `folder` (made when missing), each with the file attached under
// its name without ".doc" plus `suffix`, as the program's segment mails carry them.
constexpr char kAppend[] =
    "folder, suffix, files = args[0], args[1], args[2:]\n"
    "m.create(mbox(folder))\n"
    "import os\n"
    "for path in files:\n"
    "    name = os.path.basename(path)\n"
    "    name = name[:-4] if name.endswith('.doc') else name\n"
    "    msg = EmailMessage()\n"
    "    msg['Subject'] = name\n"
    "    msg['From'] = 'sender@mail.test'\n"
    "    msg.set_content('Drovetail segment')\n"
    "    msg.add_attachment(open(path, 'rb').read(), maintype='application',\n"
    "                       subtype='msword', filename=name + suffix)\n"
    "    typ, data = m.append(mbox(folder), None, None, msg.as_bytes())\n"
    "    assert typ == 'OK', data\n";

// Prints every message's flags in `folder` (read-only, so the look changes nothing).
constexpr char kFlags[] =
    "m.select(mbox(args[0]), readonly=True)\n"
    "for line in m.fetch('1:*', '(FLAGS)')[1]:\n"
    "    print('FLAGS', line.decode() if line else '')\n";

}  // namespace

class MailboxReceiveTest : public QObject {
  Q_OBJECT
  QTemporaryDir home_;
  QString base_;
  std::unique_ptr<dtltest::ProviderPki> pki_;
  std::unique_ptr<MailSystem> mail_;
  QString skip_;
  std::unique_ptr<dtl::SettingsStore> store_;

  // Splits `bytes` as the file `name` in pieces of 10,000 bytes and appends a mail per segment
  // to `folder`, leaving out the segment numbers in `leaveOut`. With `recoveryPercent`, a mail per
  // recovery file too, the set made over the segments as the receiving side names them (before
  // any is left out). Gives the tree lines the file's mails make, sorted ({} on failure).
  QStringList Put(const QString& folder, const QString& name, const QByteArray& bytes,
                  const QString& password = {}, const QString& suffix = ".doc",
                  const QStringList& leaveOut = {}, unsigned recoveryPercent = 0) {
    QTemporaryDir work;
    const QString source = work.path() + "/" + name, split = work.path() + "/split";
    QDir().mkpath(split);
    uitest::WriteFile(source, bytes);
    dtl::OfflineSplitParams p;
    p.source = source.toStdString();
    p.folder = split.toStdString();
    p.segmentSize = 10000;
    p.password = password.toStdString();
    dtl::OfflineSplitObserver quiet;
    if (!dtl::RunOfflineSplit(p, quiet, {}).ok()) return {};
    if (recoveryPercent > 0) {
      const QString stage = work.path() + "/stage";
      QDir().mkpath(stage);
      std::vector<std::string> names;
      for (const QString& f : QDir(split).entryList(QDir::Files, QDir::Name)) {
        if (!QFile::copy(split + "/" + f, stage + "/" + f.chopped(4))) return {};
        names.push_back(f.chopped(4).toStdString());
      }
      // The descriptor first, then the segments in order, as the set lists them.
      std::rotate(names.begin(), names.end() - 1, names.end());
      const auto made =
          dtl::MakeSegmentRecovery(stage.toStdString(), names, name.toStdString(), recoveryPercent);
      if (!made || made->empty()) return {};
      for (const auto& r : *made)
        if (!QFile::copy(stage + "/" + Q(r), split + "/" + Q(r) + ".doc")) return {};
    }
    for (const QString& n : leaveOut)
      if (!QFile::remove(split + "/" + name + "." + n + ".doc")) return {};
    std::vector<std::string> args = {folder.toStdString(), suffix.toStdString()};
    QStringList lines{name};
    for (const QString& f : QDir(split).entryList(QDir::Files, QDir::Name)) {
      args.push_back((split + "/" + f).toStdString());
      lines << "  " + (f.endsWith(".doc") ? f.chopped(4) : f);
    }
    const auto r = mail_->RunImap(kAppend, args);
    if (r.status != 0) {
      qWarning("%s", r.output.c_str());
      return {};
    }
    return lines;
  }

  // The stored IMAP settings reach the fixture's mailbox.
  void StoreSettings(const QString& folder, const char* password = MailSystem::kPassword) {
    QVERIFY(store_->SetString("IMAPServer", MailSystem::host()));
    QVERIFY(store_->SetDword("IMAPPort", mail_->imapsPort()));
    QVERIFY(store_->SetDword("IMAPSecurity", 0));
    QVERIFY(store_->SetString("IMAPUserName", MailSystem::login()));
    QVERIFY(store_->SetString("IMAPPass", password));
    QVERIFY(store_->SetString("IMAPFolder", folder.toStdString()));
  }

  std::unique_ptr<SegmentManagerDialog> Manager() {
    return std::make_unique<SegmentManagerDialog>(
        *store_, MakeImapSource(ImapSettingsFromStore(*store_), store_->ImapFolder()), nullptr,
        nullptr);
  }

  // Shows `dlg` (its first listing starts) or refreshes it, and waits for the listing's end.
  static bool Listed(SegmentManagerDialog& dlg) {
    QSignalSpy done(&dlg, &SegmentManagerDialog::crawlFinished);
    if (dlg.isVisible())
      dlg.Refresh();
    else
      dlg.show();
    return done.wait(60000);
  }

 private slots:
  void initTestCase() {
    base_ = uitest::IsolateEnvironment(home_);
    pki_ = std::make_unique<dtltest::ProviderPki>();
    QVERIFY2(pki_->ok(), pki_->output().c_str());
    mail_ = std::make_unique<MailSystem>(*pki_);
    if (!mail_->skipReason().empty()) {
      skip_ = QString::fromStdString(mail_->skipReason());
      return;
    }
    QVERIFY2(mail_->running(), mail_->error().c_str());
    // The program trusts the test CA the way a user's installation would be told to.
    qputenv("DTL_CA_FILE", QByteArray::fromStdString(mail_->caFile()));
  }
  void cleanupTestCase() { mail_.reset(); }
  void init() {
    if (!skip_.isEmpty()) QSKIP(qPrintable(skip_));
    QFile::remove(base_ + "/settings.reg");
    store_ = std::make_unique<dtl::SettingsStore>((base_ + "/settings.reg").toStdString());
  }

  // The Test button logs in and opens the folder: the count on success, the server's word
  // otherwise, over either security.
  void ImapTestReportsTheFolderOrTheRefusal_data() {
    QTest::addColumn<int>("security");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("folder");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("status");
    const QString right = MailSystem::kPassword;
    QTest::newRow("implicit TLS") << 0 << right << "Tested box" << true
                                  << "Success: %1 messages in Tested box.";
    QTest::newRow("STARTTLS") << 1 << right << "Tested box" << true
                              << "Success: %1 messages in Tested box.";
    QTest::newRow("wrong password")
        << 0 << "not it"
        << "Tested box" << false
        << "Failure: the IMAP server refused the login for " + Q(MailSystem::login());
    QTest::newRow("missing folder")
        << 1 << right << "Nowhere" << false
        << "Failure: the IMAP folder \"Nowhere\" does not exist on localhost";
  }
  void ImapTestReportsTheFolderOrTheRefusal() {
    QFETCH(int, security);
    QFETCH(QString, password);
    QFETCH(QString, folder);
    QFETCH(bool, ok);
    QFETCH(QString, status);
    static qsizetype mails = 0;  // one per segment file
    if (!mails) {
      mails = Put("Tested box", "two.bin", Sample(15000, 1)).size() - 1;
      QVERIFY(mails > 0);
    }
    if (ok) status = status.arg(mails);
    ImapSettingsDialog dlg(*store_);
    dlg.server->setText(Q(MailSystem::host()));
    dlg.security->setCurrentIndex(security);
    dlg.port->setValue(security == 0 ? mail_->imapsPort() : mail_->imapPort());
    dlg.user->setText(Q(MailSystem::login()));
    dlg.password->setText(password);
    dlg.folder->setText(folder);
    std::unique_ptr<ImapTestDialog> test(dlg.MakeTest());
    QSignalSpy finished(test.get(), &ImapTestDialog::testFinished);
    test->show();
    QVERIFY(finished.wait(30000));
    QCOMPARE(finished.first().at(0).toBool(), ok);
    QVERIFY2(test->StatusText().startsWith(status), qPrintable(test->StatusText()));
  }

  // End to end: two split files and an unrelated mail in a folder named with a blank and a
  // non-ASCII letter, listed, downloaded over IMAP and merged back byte for byte; the mailbox's
  // flags are as they were.
  void ReceiveFromMailboxRebuildsTheFilesByteForByte() {
    uitest::Messages m;
    const QString folder = "Empfang f\u00fcr Drovetail";
    const QByteArray movie = Sample(34567, 3), notes = Sample(8000, 4);
    const QStringList movieLines = Put(folder, "movie.avi", movie, "s3cret");
    // Names without ".doc" count too.
    const QStringList notesLines = Put(folder, "notes.txt", notes, "s3cret", "");
    QVERIFY(!movieLines.isEmpty() && !notesLines.isEmpty());
    QCOMPARE(mail_
                 ->RunImap("m.append(mbox(args[0]), None, None, b'Subject: lunch\\r\\n\\r\\nsee "
                           "you\\r\\n')",
                           {folder.toStdString()})
                 .status,
             0);
    const std::string flagsBefore = mail_->RunImap(kFlags, {folder.toStdString()}).output;
    StoreSettings(folder);

    auto dlg = Manager();
    QVERIFY(Listed(*dlg));
    QVERIFY(m.Texts().isEmpty());
    dlg->sortButton->click();
    QCOMPARE(TreeLines(dlg->Tree()), movieLines + notesLines);
    QCOMPARE(dlg->progress->value(), dlg->progress->maximum());
    QVERIFY(dlg->refreshButton->isEnabled());
    QVERIFY(!dlg->stopButton->isEnabled());
    QVERIFY(dlg->listingText->isHidden());  // nothing missing

    QTemporaryDir out;
    dlg->selectAll->click();
    dlg->password->setText("s3cret");
    QCOMPARE(Download(*dlg, out.path()), 1);
    QVERIFY2(m.Texts().isEmpty(), qPrintable(m.Texts().join("\n")));
    QCOMPARE(uitest::ReadFile(out.path() + "/movie.avi"), movie);
    QCOMPARE(uitest::ReadFile(out.path() + "/notes.txt"), notes);
    QCOMPARE(m.opened, QList<QUrl>{QUrl::fromLocalFile(out.path())});  // the Merging dialog
    QCOMPARE(dlg->Model().TickedCount(), 0);  // every item came back finished
    QCOMPARE(dlg->downloadDialog()->overall->value(), movieLines.size() + notesLines.size() - 2);
    QCOMPARE(dlg->downloadDialog()->LastResult().outcome, dtl::DownloadEngine::Outcome::Completed);
    QCOMPARE(mail_->RunImap(kFlags, {folder.toStdString()}).output, flagsBefore);
  }

  // Refresh lists again: what arrived since is filed, what the tree has is not filed twice;
  // a gap in the numbers is told under the tree.
  void RefreshFilesWhatArrivedSinceAndTellsWhatIsMissing() {
    const QString folder = "Refreshed";
    const QStringList first = Put(folder, "first.bin", Sample(5000, 5));
    QVERIFY(!first.isEmpty());
    StoreSettings(folder);
    auto dlg = Manager();
    QVERIFY(Listed(*dlg));
    QCOMPARE(TreeLines(dlg->Tree()), first);

    // A file whose second segment never arrived.
    const QStringList gappy =
        Put(folder, "gappy.bin", Sample(40000, 6), {}, ".doc", QStringList{"002"});
    QVERIFY(gappy.size() >= 4);  // the descriptor and two numbered segments at least
    QVERIFY(Listed(*dlg));
    dlg->sortButton->click();
    QCOMPARE(TreeLines(dlg->Tree()), first + gappy);
    QVERIFY(!dlg->listingText->isHidden());
    QCOMPARE(dlg->listingText->text(), QString("gappy.bin: segment 2 missing"));
  }

  // Mails deleted and delivered again between two listings get new UIDs; the tree keeps its
  // rows (the names are known), and Download fetches each from where the latest listing found
  // it and unticks its row.
  void RowsListedBeforeAMailMovedAreFetchedFromWhereItIsNow() {
    uitest::Messages m;
    const QString folder = "Moved";
    const QByteArray bytes = Sample(15000, 10);
    const QStringList lines = Put(folder, "moved.bin", bytes);
    QVERIFY(!lines.isEmpty());
    StoreSettings(folder);
    auto dlg = Manager();
    QVERIFY(Listed(*dlg));
    QCOMPARE(mail_->RunImap("m.select(mbox(args[0]))\n"
                            "m.store('1:*', '+FLAGS', '\\\\Deleted')\n"
                            "m.expunge()\n",
                            {folder.toStdString()})
                 .status,
             0);
    QCOMPARE(Put(folder, "moved.bin", bytes), lines);
    QVERIFY(Listed(*dlg));
    QCOMPARE(TreeLines(dlg->Tree()).size(), lines.size());
    QTemporaryDir out;
    dlg->selectAll->click();
    QCOMPARE(Download(*dlg, out.path()), 1);
    QVERIFY2(m.Texts().isEmpty(), qPrintable(m.Texts().join("\n")));
    QCOMPARE(uitest::ReadFile(out.path() + "/moved.bin"), bytes);
    QCOMPARE(dlg->Model().TickedCount(), 0);
  }

  // A listing the server refuses says why, once, and leaves the window open for another try.
  void RefusedListingSaysWhyAndStaysOpen() {
    uitest::Messages m;
    StoreSettings("INBOX", "wrong");
    auto dlg = Manager();
    QSignalSpy failed(dlg.get(), &SegmentManagerDialog::listingFailed);
    QVERIFY(Listed(*dlg));
    QCOMPARE(failed.size(), 1);
    QCOMPARE(m.shown.size(), 1);
    QCOMPARE(m.shown[0].first, MsgIcon::Error);
    QVERIFY2(m.shown[0].second.startsWith("the IMAP server refused the login for " +
                                          Q(MailSystem::login())),
             qPrintable(m.shown[0].second));
    QVERIFY(dlg->isVisible());
    QVERIFY(dlg->refreshButton->isEnabled());
    QCOMPARE(dlg->Tree()->topLevelItemCount(), 0);
  }

  // A damaged attachment is told once; the other file is still rebuilt and the run completes.
  void DamagedAttachmentIsToldOnceAndTheOtherFileIsRebuilt() {
    uitest::Messages m;
    const QString folder = "Damaged";
    const QByteArray good = Sample(12000, 8);
    QVERIFY(!Put(folder, "good.bin", good).isEmpty());
    QTemporaryDir work;
    uitest::WriteFile(work.path() + "/bad.bin.001", Sample(3000, 9));  // no archive at all
    QCOMPARE(mail_->RunImap(kAppend, {folder.toStdString(), ".doc",
                                      (work.path() + "/bad.bin.001").toStdString()})
                 .status,
             0);
    StoreSettings(folder);
    auto dlg = Manager();
    QVERIFY(Listed(*dlg));
    QCOMPARE(dlg->Tree()->topLevelItemCount(), 2);
    QTemporaryDir out;
    dlg->selectAll->click();
    QCOMPARE(Download(*dlg, out.path()), 1);
    QCOMPARE(m.shown.size(), 1);
    QCOMPARE(m.shown[0].first, MsgIcon::Error);
    QVERIFY2(m.shown[0].second.startsWith("Unable to unzip bad.bin.001"),
             qPrintable(m.shown[0].second));
    QVERIFY(!QFile::exists(out.path() + "/bad.bin.001"));
    QCOMPARE(uitest::ReadFile(out.path() + "/good.bin"), good);
  }

  // Segment mails lost on the way, recovery mails in the folder: the listing shows the block
  // count on the file's row and Auto Merge rebuilds the lost segments (the descriptor too) and
  // the file.
  void LostSegmentMailsAreRebuiltFromTheRecoveryMails() {
    struct Case {
      const char* folder;
      QStringList lost;
      QString report;
    };
    const Case cases[] = {
        {"Recovered", {"002", "005"}, "Repaired from recovery data: clip.mkv.002, clip.mkv.005"},
        {"Recovered descriptor",
         {"dtl", "003"},
         "Repaired from recovery data: clip.mkv.dtl, clip.mkv.003"},
    };
    for (const auto& c : cases) {
      uitest::Messages m;
      const QByteArray clip = Sample(54321, 11);  // the descriptor and five segments: 3 blocks
      const QStringList lines = Put(c.folder, "clip.mkv", clip, {}, ".doc", c.lost, 50);
      QVERIFY(!lines.isEmpty());
      StoreSettings(c.folder);
      auto dlg = Manager();
      QVERIFY(Listed(*dlg));
      dlg->sortButton->click();
      QStringList expected = lines;
      expected.first() = "clip.mkv — 3 recovery blocks";
      QCOMPARE(TreeLines(dlg->Tree()), expected);
      QTemporaryDir out;
      dlg->selectAll->click();
      QCOMPARE(Download(*dlg, out.path()), 1);
      QVERIFY2(m.Texts() == QStringList{c.report},
               qPrintable(QString(c.folder) + ": " + m.Texts().join(" | ")));
      QCOMPARE(uitest::ReadFile(out.path() + "/clip.mkv"), clip);
    }
  }

  // An existing file that is no sound segment is asked about as in the web-mail download;
  // Skip All keeps it.
  void ExistingDamagedFileIsAskedAbout() {
    uitest::Messages m;
    const QString folder = "Asked";
    QVERIFY(Put(folder, "kept.bin", Sample(25000, 7)).size() >= 3);
    StoreSettings(folder);
    QTemporaryDir out;
    uitest::WriteFile(out.path() + "/kept.bin.001", "kept");
    auto dlg = Manager();
    QVERIFY(Listed(*dlg));
    dlg->autoMerge->setChecked(false);
    dlg->selectAll->click();
    QStringList asked;
    const int result = Download(*dlg, out.path(), [&](DownloadDialog& download) {
      QTRY_VERIFY_WITH_TIMEOUT(
          download.ReplaceQuestion() && download.ReplaceQuestion()->isVisible(), 30000);
      asked << download.ReplaceQuestion()->fileName->text();
      download.ReplaceQuestion()->skipAllButton->click();
    });
    QCOMPARE(result, 1);
    QCOMPARE(asked, QStringList{"kept.bin.001"});
    QCOMPARE(uitest::ReadFile(out.path() + "/kept.bin.001"), QByteArray("kept"));
    QVERIFY(QFile::exists(out.path() + "/kept.bin.002"));
    QVERIFY(!QFile::exists(out.path() + "/kept.bin"));  // no merge without Auto Merge
    QVERIFY(m.opened.isEmpty());
  }
};

QTEST_MAIN(MailboxReceiveTest)
#include "MailboxReceive_test.moc"
