// The inner browser's page: no navigation starts without the view's say-so.
//
// Every navigation Chromium reports (links, typed addresses, redirects, reloads, back/forward,
// sub-frames) goes to the gate the view installs. Forms never submit natively: a script
// injected into every frame at document creation stops each submission (the submit event and
// HTMLFormElement.submit()) and hands the request's URL, method, urlencoded body, target and
// frame to formSubmitted() over a web channel (a sub-frame's through the top frame, which relays
// it only from a frame allowed to submit forms: of the page's origin, or not sandboxed without
// allow-forms, and only under its token); the view decides and, when allowed, sends it
// itself: a top-frame form with loadApproved(), a sub-frame's form with submitInFrame(), which
// lets that frame submit the approved fields once. Any other native form submission that
// reaches acceptNavigationRequest was never announced and is refused.
//
// Its pages may not read local files (LocalContentCanAccessFileUrls off).
//
// Call order: construct over a profile, setGate(), then load. UI thread only.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrl>
#include <QWebEnginePage>
#include <functional>

class QWebChannel;

namespace dtlui {

// One form submission as the page would have sent it.
struct FormSubmission {
  QString url;      // the absolute action URL (for GET without the form's fields)
  QString method;   // "get" or "post", lower case
  QString body;     // application/x-www-form-urlencoded fields
  QString target;   // the form's target frame name; empty: its own frame
  QString frame;    // URL of the frame that holds the form
  QString enctype;  // lower case; empty means urlencoded
  // Set for a form of a sub-frame: the one-time name by which submitInFrame() finds the frame
  // again. Empty for the top frame's forms.
  QString frameToken;
};

class BrowserPage : public QWebEnginePage {
  Q_OBJECT
 public:
  // Answers true to let a navigation the page itself started go ahead.
  using Gate = std::function<bool(const QUrl& url, NavigationType type, bool isMainFrame)>;

  // `profile` must outlive the page.
  BrowserPage(QWebEngineProfile* profile, QObject* parent = nullptr);
  ~BrowserPage() override;

  // Without a gate every navigation the page starts is refused.
  void setGate(Gate gate) { gate_ = std::move(gate); }

  // Loads a navigation the view has already decided: a GET when `postBody` is null, else a
  // urlencoded POST of *postBody (with `headers`, "Name: value" lines). This one request, and
  // nothing else, passes the gate once. The caller wipes *postBody afterwards; the page keeps
  // no copy.
  void loadApproved(const QUrl& url, const QByteArray* postBody = nullptr,
                    const QString& headers = {});

  // Sends a navigation the view has already decided from the sub-frame whose form asked for it
  // (`frameToken` of its FormSubmission), so it loads where the form would have loaded: that
  // frame, or the frame `target` names. `method` is "get" or "post"; `body` holds the
  // urlencoded fields (for "get", the query). The frame builds a form of these fields, submits
  // it natively and removes it; that one submission to `url`, and nothing else, passes the page
  // once. A token is good for one call; an unknown or used one sends nothing.
  void submitInFrame(const QString& frameToken, const QUrl& url, const QString& method,
                     const QString& body, const QString& target);

  // The script injected into every frame (for tests and diagnostics).
  static QString formCaptureScript();

 signals:
  void formSubmitted(const dtlui::FormSubmission& submission);

 protected:
  bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) override;
  // Pop-ups open in this page, under the same rules.
  QWebEnginePage* createWindow(WebWindowType type) override;

 private:
  class Bridge;
  Gate gate_;
  QWebChannel* channel_ = nullptr;
  Bridge* bridge_ = nullptr;
  // Loads started by LoadApproved that have not reached the gate yet, each passed once.
  QList<QUrl> approved_;
  // Form submissions sent by submitInFrame() that have not reached the page yet, each passed
  // once.
  QList<QUrl> approvedForms_;
};

}  // namespace dtlui
