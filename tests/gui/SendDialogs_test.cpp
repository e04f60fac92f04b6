// The File Split and Plain Transfer dialogs: OK checks, method switching, Browse, the slider text.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "gui/HistoryCombo.h"
#include "gui/PlainTransferDialog.h"
#include "gui/SplitSendDialog.h"
#include "gui/UiTestSupport.h"
#include "gui/widgets/ColorBandSlider.h"

using namespace dtlui;

class SendDialogsTest : public QObject {
  Q_OBJECT
  QTemporaryDir home_;
  std::unique_ptr<dtl::SettingsStore> store_;
  QString file_;

 private slots:
  void initTestCase() {
    uitest::IsolateEnvironment(home_);
    file_ = home_.path() + "/movie.avi";
    uitest::WriteFile(file_, QByteArray(5000, 'm'));
  }
  void init() {
    QFile::remove(home_.path() + "/settings.reg");
    store_ = std::make_unique<dtl::SettingsStore>((home_.path() + "/settings.reg").toStdString());
  }

  void OkChecksInOrderWithTheirMessages() {
    struct Case {
      const char* name;
      bool withFile;
      int method;
      QString mailTo;
      QString message;  // empty: accepted
    };
    const QString invalid = "Please enter a valid E-mail address:\n\nsomeone@example.com\n\n";
    const Case cases[] = {
        {"no file", false, 0, "a@b.org", "Please select a file to send\n\n"},
        {"two for Direct Send", true, 0, "a@b.org;c@d.org",
         "When using Direct Send, Please enter no more then one destination email address.\n\n"},
        {"one with trailing ;", true, 0, "a@b.org;", ""},
        {"two for MAPI", true, 1, "a@b.org;c@d.org", ""},
        {"no dot", true, 0, "a@borg", invalid},
        {"blank inside", true, 0, "a @b.org", invalid},
        {"no at", true, 0, "ab.org", invalid},
    };
    for (const auto& c : cases) {
      uitest::Messages m;
      SplitSendDialog dlg(*store_, false, nullptr, [](QWidget*) {});
      if (c.withFile) dlg.ChooseFiles({file_});
      dlg.ChooseMethod(c.method);
      dlg.mailTo->setEditText(c.mailTo);
      dlg.accept();
      QVERIFY2(dlg.result() == (c.message.isEmpty() ? QDialog::Accepted : QDialog::Rejected),
               c.name);
      QCOMPARE(m.Texts(), c.message.isEmpty() ? QStringList() : QStringList{c.message});
      if (!c.message.isEmpty()) QCOMPARE(m.shown.first().first, MsgIcon::Information);
    }
  }

  void OkStoresTheChoicesAndTheMailToHistory() {
    {
      SplitSendDialog dlg(*store_, false, nullptr, [](QWidget*) {});
      dlg.ChooseFiles({file_});
      dlg.slider->setValue(25);
      dlg.from->setText("me@example.org");
      dlg.mailTo->setEditText(" a@b.org ");
      dlg.accept();
      QCOMPARE(dlg.result(), QDialog::Accepted);
      QCOMPARE(dlg.Request().position, 25u);
    }
    QCOMPARE(store_->GetDword("SegSize"), 25u);
    QCOMPARE(store_->FromAddress(), std::string("me@example.org"));
    SplitSendDialog again(*store_, false, nullptr, [](QWidget*) {});
    QCOMPARE(again.slider->value(), 25);
    QCOMPARE(again.from->text(), QString("me@example.org"));
    QCOMPARE(again.mailTo->itemText(0), QString("a@b.org"));
  }

  void MethodSwitchingEnablesFieldsAndStoresAtOnce() {
    PlainTransferDialog dlg(*store_);
    QVERIFY(dlg.from->isEnabled());
    QVERIFY(!dlg.recipients->isEnabled());
    dlg.ChooseMethod(1);
    QVERIFY(!dlg.from->isEnabled());
    QVERIFY(dlg.recipients->isEnabled());
    QCOMPARE(store_->SendType(), 1u);
    dlg.reject();
    QCOMPARE(store_->SendType(), 1u);  // stored on change, even when cancelled
  }

  void SmtpWithoutServerOpensSettingsAndFallsBackWhenNoneIsGiven() {
    int opened = 0;
    SplitSendDialog dlg(*store_, false, nullptr, [&](QWidget*) { ++opened; });
    dlg.ChooseMethod(2);
    QCOMPARE(opened, 1);
    QCOMPARE(dlg.method->currentIndex(), 0);
    QCOMPARE(store_->SendType(), 0u);

    SplitSendDialog withServer(*store_, false, nullptr, [&](QWidget*) {
      ++opened;
      QVERIFY(store_->SetString("SMTPServer", "smtp.example.org"));
    });
    withServer.ChooseMethod(2);
    QCOMPARE(withServer.method->currentIndex(), 2);
    QVERIFY(withServer.from->isEnabled() && withServer.recipients->isEnabled());
    QCOMPARE(store_->SendType(), 2u);
  }

  void BrowseRefusesEmptyFilesAndKeepsTheRest() {
    const QString empty = home_.path() + "/empty.bin", other = home_.path() + "/other.bin";
    uitest::WriteFile(empty, {});
    uitest::WriteFile(other, "x");
    uitest::Messages m;
    PlainTransferDialog dlg(*store_);
    dlg.ChooseFiles({file_, empty, other});
    QCOMPARE(dlg.files->text(), file_ + ", " + other);
    QCOMPARE(dlg.Request().files.size(), size_t(2));
    QCOMPARE(m.Texts(), QStringList{QString("The file %1 size is too small (0)").arg(empty)});
    QCOMPARE(m.shown.first().first, MsgIcon::Error);
  }

  void SliderShowsTheSegmentSize() {
    const QList<QPair<int, QString>> cases = {{1, " 10.00KB"},   {25, "250.00KB"},
                                              {99, "990.00KB"},  {100, "  1.00MB"},
                                              {150, "  1.50MB"}, {1000, " 10.00MB"}};
    SplitSendDialog dlg(*store_, false, nullptr, [](QWidget*) {});
    for (const auto& [position, text] : cases) {
      dlg.slider->setValue(position);
      QCOMPARE(dlg.sizeDisplay->text(), text);
    }
  }

  void StoredSegSizeOutOfRangeStartsAtTheLargest() {
    for (uint32_t stored : {0u, 5000u}) {
      QVERIFY(store_->SetDword("SegSize", stored));
      SplitSendDialog dlg(*store_, false, nullptr, [](QWidget*) {});
      QCOMPARE(dlg.slider->value(), 1000);
    }
  }
};

QTEST_MAIN(SendDialogsTest)
#include "SendDialogs_test.moc"
