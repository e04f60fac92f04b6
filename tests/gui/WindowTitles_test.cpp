// The words every window shows, walked over the windows the screenshot mode opens: titles
// without stray blanks, this platform's names for the mail-program method, one spelling for
// the same command.
#include <QAbstractButton>
#include <QComboBox>
#include <QLabel>
#include <QMap>
#include <QSet>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

#include "gui/Screenshots.h"
#include "gui/UiTestSupport.h"

using namespace dtlui;

namespace {

// Every text a window shows in its labels, buttons and combo boxes.
QStringList TextsOf(QWidget* window) {
  QStringList texts;
  for (auto* l : window->findChildren<QLabel*>()) texts << l->text();
  for (auto* b : window->findChildren<QAbstractButton*>()) texts << b->text();
  for (auto* c : window->findChildren<QComboBox*>())
    for (int i = 0; i < c->count(); ++i) texts << c->itemText(i);
  return texts;
}

// A command's name without its mnemonic and the "more to come" dots.
QString CommandName(QString text) {
  text.remove('&');
  for (const QString& dots : {QString("..."), QString("…")})
    if (text.endsWith(dots)) text.chop(dots.size());
  return text.trimmed();
}

}  // namespace

class WindowTitlesTest : public QObject {
  Q_OBJECT
  QTemporaryDir home_;
  QString base_;
  QMap<QString, QString> titles_;            // picture name -> window title
  QMap<QString, QStringList> texts_;         // picture name -> texts shown
  QMap<QString, QSet<QString>> spellings_;   // command name -> button texts seen

 private slots:
  void initTestCase() {
    base_ = uitest::IsolateEnvironment(home_);
    const int code = SaveScreenshots(base_ + "/shots", [this](const QString& name, QWidget* w) {
      titles_[name] = w->window()->windowTitle();
      texts_[name] = TextsOf(w->window());
      for (auto* b : w->window()->findChildren<QAbstractButton*>())
        if (!b->text().isEmpty()) spellings_[CommandName(b->text())].insert(b->text().remove('&'));
    });
    QCOMPARE(code, 0);
    QVERIFY(!titles_.isEmpty());
  }

  void TitlesHaveNoStrayBlanks() {
    for (auto it = titles_.cbegin(); it != titles_.cend(); ++it) {
      const QString& title = it.value();
      QVERIFY2(title == title.trimmed() && !title.contains("  "),
               qPrintable(it.key() + ": \"" + title + "\""));
    }
  }

  void EachDialogHasItsTitle() {
    const struct {
      const char* picture;
      const char* title;
    } cases[] = {
        {"file-split", "File Split"},
        {"plain-transfer", "Plain Transfer"},
        {"split-file", "Split File"},
        {"merge", "Merge Segments"},
        {"merging", "Merging"},
        {"encryption-settings", "Encryption Settings"},
        {"export-password", "Export Account Password"},
        {"advanced-settings", "Advanced Settings"},
        {"smtp-settings", "SMTP Server Settings"},
        {"add-recipients", "Add Recipients"},
    };
    for (const auto& c : cases) {
      QVERIFY2(titles_.contains(c.picture), c.picture);
      QCOMPARE(titles_.value(c.picture), QString(c.title));
    }
  }

  void MailProgramMethodIsNamedForThisPlatform() {
    QVERIFY(texts_.value("file-split").contains("Send via local mail program (sendmail)"));
    QVERIFY(texts_.value("advanced-settings").contains("Mail program account:"));
    for (auto it = texts_.cbegin(); it != texts_.cend(); ++it)
      for (const QString& text : it.value())
        QVERIFY2(!text.contains("MAPI") && !text.contains("automatically resolve MX"),
                 qPrintable(it.key() + ": " + text));
  }

  // The dots say a window follows, so a command without one is another command: the Account
  // dialog's "Test" checks in place, the IMAP settings' "Test..." opens the IMAP test.
  void OneSpellingPerCommand() {
    QCOMPARE(spellings_.value("Test Server"), QSet<QString>{"Test Server..."});
    const QSet<QString> inPlaceAndWindowed = {"Test"};
    for (auto it = spellings_.cbegin(); it != spellings_.cend(); ++it)
      if (!inPlaceAndWindowed.contains(it.key()))
        QVERIFY2(it.value().size() == 1,
                 qPrintable(it.key() + ": " + QStringList(it.value().values()).join(" | ")));
  }
};

QTEST_MAIN(WindowTitlesTest)
#include "WindowTitles_test.moc"
