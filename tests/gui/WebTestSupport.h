// Shared by the desktop program's tests that drive Qt WebEngine pages.
#pragma once

#include <QTest>
#include <QVariant>
#include <QWebEnginePage>
#include <memory>

namespace uitest {

// Runs `code` in the page's main frame and returns its result once it has come back (an
// invalid QVariant when it did not within `timeoutMs`). The answer lands in shared state, so a
// callback that arrives after the wait gave up writes nowhere it should not.
inline QVariant RunJs(QWebEnginePage* page, const QString& code, int timeoutMs = 20000) {
  struct Answer {
    QVariant value;
    bool done = false;
  };
  auto answer = std::make_shared<Answer>();
  page->runJavaScript(code, [answer](const QVariant& v) {
    answer->value = v;
    answer->done = true;
  });
  QTest::qWaitFor([&] { return answer->done; }, timeoutMs);
  return answer->value;
}

}  // namespace uitest
