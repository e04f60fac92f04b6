// The Export Account Password dialog as its user meets it: the password typed masked, the
// marker shown whole and copied.
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "browser/AccountPassword.h"
#include "gui/ExportPasswordDialog.h"
#include "gui/UiTestSupport.h"

using namespace dtlui;

class ExportPasswordDialogTest : public QObject {
  Q_OBJECT
  QTemporaryDir home_;

  static void Show(QDialog& dlg) {
    dlg.show();
    dlg.activateWindow();
    QVERIFY(QTest::qWaitForWindowExposed(&dlg));
  }
  // Types the password (pastes it when it holds keys QTest cannot type) and presses Enter,
  // which runs "&Encrypt".
  static void TypeAndEncrypt(ExportPasswordDialog& dlg, const QString& password) {
    bool ascii = true;
    for (QChar c : password) ascii &= c.unicode() < 0x80;
    if (ascii)
      QTest::keyClicks(dlg.PlainEdit(), password);
    else
      uitest::Paste(dlg.PlainEdit(), password);
    QTest::keyClick(dlg.PlainEdit(), Qt::Key_Return);
  }
  static QString MarkerOf(const QString& password, bool ssl) {
    const QByteArray utf8 = password.toUtf8();
    return QString::fromStdString(dtl::ExportAccountPassword(
        std::string_view(utf8.constData(), static_cast<size_t>(utf8.size())), ssl));
  }

 private slots:
  void initTestCase() { uitest::IsolateEnvironment(home_); }

  void TypedPasswordIsMaskedUntilShowIsTicked() {
    ExportPasswordDialog dlg;
    Show(dlg);
    QTest::keyClicks(dlg.PlainEdit(), "typed secret");
    QCOMPARE(dlg.PlainEdit()->text(), QString("typed secret"));
    QVERIFY(!dlg.PlainEdit()->displayText().contains("secret"));
    QCOMPARE(dlg.ShowCheck()->text(), QString("&Show"));
    QTest::mouseClick(dlg.ShowCheck(), Qt::LeftButton);
    QCOMPARE(dlg.PlainEdit()->displayText(), QString("typed secret"));
    QTest::mouseClick(dlg.ShowCheck(), Qt::LeftButton);
    QVERIFY(!dlg.PlainEdit()->displayText().contains("secret"));
    // Typing on after the toggle still adds to the same password.
    QTest::keyClicks(dlg.PlainEdit(), "!");
    QCOMPARE(dlg.PlainEdit()->text(), QString("typed secret!"));
  }

  // The marker field widens to the marker, so nothing of it is scrolled out of sight: with the
  // cursor at the start the last character is in view, and with it at the end the first one.
  // Its bytes are the export's, unchanged.
  void MarkerShowsWholeInItsField_data() {
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("ssl");
    QTest::addRow("short") << "Sesame" << false;
    QTest::addRow("twenty characters, SSL") << "abcdefghijklmnopqrst" << true;
    QTest::addRow("fifty characters, the longest taken") << QString(50, 'x') << false;
    QTest::addRow("thirty non-ASCII characters, SSL")
        << QString::fromUtf8("\xC3\xA4").repeated(30) << true;
  }
  void MarkerShowsWholeInItsField() {
    QFETCH(QString, password);
    QFETCH(bool, ssl);
    ExportPasswordDialog dlg;
    Show(dlg);
    if (ssl)  // on the box itself, at the check box's left end
      QTest::mouseClick(dlg.SslCheck(), Qt::LeftButton, {},
                        QPoint(8, dlg.SslCheck()->height() / 2));
    QCOMPARE(dlg.SslCheck()->isChecked(), ssl);
    TypeAndEncrypt(dlg, password);
    QLineEdit* field = dlg.EncryptedEdit();
    const QString marker = field->text();
    QCOMPARE(marker, MarkerOf(password, ssl));
    QVERIFY(field->isReadOnly());
    // The window system applies the wider window in its own time.
    QTRY_VERIFY(field->geometry().right() < field->parentWidget()->width());
    QVERIFY(dlg.frameGeometry().width() <= ExportPasswordDialog::kMaxWidth);
    QVERIFY(field->fontMetrics().horizontalAdvance(marker) <= field->contentsRect().width());
    const int middle = field->height() / 2;
    QTest::keyClick(field, Qt::Key_Home);
    QCOMPARE(field->cursorPositionAt(QPoint(field->width() - 4, middle)), marker.size());
    QTest::keyClick(field, Qt::Key_End);
    QCOMPARE(field->cursorPositionAt(QPoint(4, middle)), 0);
  }

  // The longest marker there is (fifty four-byte characters) is wider than a screen: the
  // dialog stops at its limit, the field shows the marker's start, and Copy still takes it all.
  void LongestMarkerStopsAtTheWidthLimit() {
    const QString password = QString::fromUtf8("\xF0\x9F\x94\x91").repeated(50);
    ExportPasswordDialog dlg;
    Show(dlg);
    TypeAndEncrypt(dlg, password);
    QLineEdit* field = dlg.EncryptedEdit();
    QCOMPARE(field->text(), MarkerOf(password, false));
    QTRY_VERIFY(field->geometry().right() < field->parentWidget()->width());
    QVERIFY(dlg.frameGeometry().width() <= ExportPasswordDialog::kMaxWidth);
    QVERIFY(dlg.width() > 1000);  // as wide as it may be, not the usual size
    QCOMPARE(field->cursorPositionAt(QPoint(4, field->height() / 2)), 0);
    QTest::mouseClick(dlg.CopyButton(), Qt::LeftButton);
    QCOMPARE(QGuiApplication::clipboard()->text(), field->text());
  }

  void CopyPutsTheMarkerOnTheClipboard() {
    QGuiApplication::clipboard()->setText("before");
    ExportPasswordDialog dlg;
    Show(dlg);
    QVERIFY(!dlg.CopyButton()->isEnabled());  // nothing to copy yet
    TypeAndEncrypt(dlg, "correct horse battery");
    const QString marker = dlg.EncryptedEdit()->text();
    QVERIFY(marker.startsWith("(#"));
    QVERIFY(dlg.CopyButton()->isEnabled());
    QTest::mouseClick(dlg.CopyButton(), Qt::LeftButton);
    QCOMPARE(QGuiApplication::clipboard()->text(), marker);
    QCOMPARE(dlg.CopyButton()->text(), QString("Copied"));
    QTRY_COMPARE_WITH_TIMEOUT(dlg.CopyButton()->text(), QString("Co&py"),
                              ExportPasswordDialog::kCopiedMs * 4);
    QVERIFY(dlg.isVisible());
    // The password itself never reaches the clipboard.
    QVERIFY(!QGuiApplication::clipboard()->text().contains("horse"));
  }

  // A refused password takes the marker away, and with it what Copy could copy.
  void CopyIsOffWhileNoMarkerShows() {
    uitest::Messages messages;
    ExportPasswordDialog dlg;
    Show(dlg);
    TypeAndEncrypt(dlg, "first");
    QVERIFY(dlg.CopyButton()->isEnabled());
    QTest::keyClicks(dlg.PlainEdit(), QString(50, 'a'));  // 55 characters now
    QTest::keyClick(dlg.PlainEdit(), Qt::Key_Return);
    QCOMPARE(messages.Texts(), QStringList{"Enter no more than 50 characters."});
    QCOMPARE(dlg.EncryptedEdit()->text(), QString());
    QVERIFY(!dlg.CopyButton()->isEnabled());
  }

  void OneLineSaysWhatTheMarkerIsFor() {
    ExportPasswordDialog dlg;
    Show(dlg);
    QVERIFY(dlg.Purpose()->isVisible());
    const QString text = dlg.Purpose()->text();
    QVERIFY(text.contains("instead of the password"));
    QVERIFY(text.contains("login form"));
    QVERIFY(dlg.Purpose()->wordWrap());
    QVERIFY(dlg.Purpose()->geometry().right() <= dlg.width());
  }
};

QTEST_MAIN(ExportPasswordDialogTest)
#include "ExportPasswordDialog_test.moc"
