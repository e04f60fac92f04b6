#include "gui/BrowserPage.h"

#include <QFile>
#include <QWebChannel>
#include <QWebEngineHttpRequest>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>

namespace dtlui {

// The object the injected script talks to. Anything in the page can reach it (it lives in the
// page's own world so the script can wrap HTMLFormElement.prototype.submit), which gives a
// hostile page nothing: every call is only a request for the navigation policy to judge.
class BrowserPage::Bridge : public QObject {
  Q_OBJECT
 public:
  explicit Bridge(BrowserPage* page) : QObject(page), page_(page) {}
  Q_INVOKABLE void submit(const QString& url, const QString& method, const QString& body,
                          const QString& target, const QString& frame, const QString& enctype,
                          const QString& frameToken) {
    emit page_->formSubmitted(
        {url, method.toLower(), body, target, frame, enctype.toLower(), frameToken});
  }

 signals:
  // An approved sub-frame submission, for the top frame's script to hand to its frame.
  void approved(const QString& frameToken, const QString& url, const QString& method,
                const QString& body, const QString& target);

 private:
  BrowserPage* page_;
};

namespace {

constexpr const char* kScriptName = "dtl-form-capture";

// Stops every form submission of its frame and hands it to the bridge. It keeps its own
// references to the built-ins it uses, taken before any page script runs, so a page cannot
// swap them. Whatever arrives over the channel (a page can post there too) is only ever a
// request for the navigation policy to judge. The decision is taken when the submit event has
// bubbled to the window: by then the page's own handlers have run, so a submission the page cancels
// stays cancelled and the body holds what the page put in the form, which is what the browser would
// have sent. A page that stops the event on its way up gets a native submission, which the page
// object refuses.
constexpr const char* kCaptureScript = R"JS(
(function () {
  'use strict';
  if (window.__dtlFormCapture) return;
  Object.defineProperty(window, '__dtlFormCapture', {value: true});
  var FD = window.FormData, USP = window.URLSearchParams, U = window.URL;
  var createElement = Document.prototype.createElement, appendChild = Node.prototype.appendChild;
  var removeChild = Node.prototype.removeChild, setAttr = Element.prototype.setAttribute;
  var random = window.crypto && window.crypto.getRandomValues.bind(window.crypto);
  var getAttr = Element.prototype.getAttribute, hasAttr = Element.prototype.hasAttribute;
  var formProto = HTMLFormElement.prototype, nativeSubmit = formProto.submit;
  var queue = [], bridge = null;
  function attr(el, name) { return el && hasAttr.call(el, name) ? getAttr.call(el, name) : null; }
  function describe(form, submitter) {
    var action = attr(submitter, 'formaction');
    if (action === null) action = attr(form, 'action');
    var method = attr(submitter, 'formmethod') || attr(form, 'method') || 'get';
    var target = attr(submitter, 'formtarget');
    if (target === null) target = attr(form, 'target') || '';
    var enctype = attr(submitter, 'formenctype') || attr(form, 'enctype') || '';
    var data = new FD(form);
    if (submitter && submitter.name && !submitter.disabled) data.append(submitter.name, submitter.value || '');
    var url = new U(action === null || action === '' ? document.URL : action, document.baseURI);
    url.hash = '';
    return [url.href, method.toLowerCase(), new USP(data).toString(), target, document.URL,
            enctype.toLowerCase()];
  }
  var isTop = window.top === window;
  // A sub-frame's submissions carry a one-time token; the top frame sends the approval back to
  // the window that asked under it, and that window submits only for a token it issued.
  var issued = {}, askers = {};
  function newToken() {
    var a = new Uint32Array(4);
    if (random) random(a); else for (var i = 0; i < 4; ++i) a[i] = Math.random() * 4294967296;
    return Array.prototype.join.call(a, '-');
  }
  // The web channel reaches the top frame only: a sub-frame hands its forms up to it.
  function hand(args) {
    if (bridge) bridge.submit.apply(bridge, args);
    else if (!isTop) window.top.postMessage({dtlFormSubmission: args}, '*');
    else queue.push(args);
  }
  function handOwn(args) {
    if (isTop) { args.push(''); hand(args); return; }
    var token = newToken();
    issued[token] = true;
    args.push(token);
    hand(args);
  }
  // Submits the approved fields natively from this frame; the form lives only for the call.
  function submitApproved(url, method, body, target) {
    var form = createElement.call(document, 'form');
    setAttr.call(form, 'method', method);
    setAttr.call(form, 'action', method === 'get' ? url.split('?')[0] : url);
    if (target) setAttr.call(form, 'target', target);
    new USP(body).forEach(function (value, name) {
      var input = createElement.call(document, 'input');
      setAttr.call(input, 'type', 'hidden');
      input.name = name;
      input.value = value;
      appendChild.call(form, input);
    });
    appendChild.call(document.documentElement, form);
    nativeSubmit.call(form);
    removeChild.call(document.documentElement, form);
  }
  var querySelectorAll = Document.prototype.querySelectorAll;
  var iframeWindow = Object.getOwnPropertyDescriptor(HTMLIFrameElement.prototype, 'contentWindow').get;
  var frameWindow = Object.getOwnPropertyDescriptor(HTMLFrameElement.prototype, 'contentWindow').get;
  var iframeDocument = Object.getOwnPropertyDescriptor(HTMLIFrameElement.prototype, 'contentDocument').get;
  var frameDocument = Object.getOwnPropertyDescriptor(HTMLFrameElement.prototype, 'contentDocument').get;
  // A sandbox attribute without allow-forms takes form submission away from the frame and from
  // every frame inside it.
  function letsFormsThrough(el) {
    var sandbox = attr(el, 'sandbox');
    return sandbox === null || sandbox.toLowerCase().split(/\s+/).indexOf('allow-forms') >= 0;
  }
  // Whether `source` is a frame below `doc` that may submit forms: found through documents this
  // frame can read, with no frame element on the way sandboxing it against forms. A frame inside
  // a document of another origin cannot be checked and is refused.
  function mayFrameSubmit(doc, source) {
    var list = querySelectorAll.call(doc, 'iframe, frame');
    for (var i = 0; i < list.length; ++i) {
      var el = list[i], isIFrame = el.localName === 'iframe';
      var win = null, inner = null;
      try { win = (isIFrame ? iframeWindow : frameWindow).call(el); } catch (e) {}
      if (!win || !letsFormsThrough(el)) { if (win === source) return false; continue; }
      if (win === source) return true;
      try { inner = (isIFrame ? iframeDocument : frameDocument).call(el); } catch (e) {}
      if (inner && mayFrameSubmit(inner, source)) return true;
    }
    return false;
  }
  // A relayed submission is only as good as its sender: a frame of the page's own origin (it
  // could script the page anyway), or a frame nothing sandboxes against forms. A frame's forms
  // always come with a token, so an untokened one that would load in the top frame is forged.
  function maySubmit(event, args) {
    if (!event.source || event.source === window || !args[6]) return false;
    var origin = window.location.origin;
    if (event.origin === origin && origin !== 'null') return true;
    return mayFrameSubmit(document, event.source);
  }
  if (isTop) {
    window.addEventListener('message', function (event) {
      var args = event.data && event.data.dtlFormSubmission;
      if (!Array.isArray(args) || args.length !== 7) return;
      event.stopImmediatePropagation();
      args = args.map(String);
      if (!maySubmit(event, args)) return;
      askers[args[6]] = {source: event.source, origin: event.origin};
      hand(args);
    }, false);
  } else {
    window.addEventListener('message', function (event) {
      var args = event.data && event.data.dtlApproved;
      if (!Array.isArray(args) || args.length !== 5 || event.source !== window.top) return;
      event.stopImmediatePropagation();
      args = args.map(String);
      if (!issued[args[0]]) return;
      delete issued[args[0]];
      submitApproved(args[1], args[2], args[3], args[4]);
    }, false);
  }
  function approved(token, url, method, body, target) {
    var asker = askers[token];
    delete askers[token];
    if (!asker) return;
    // To the asking frame's origin only: the fields may hold a decoded password.
    var origin = asker.origin && asker.origin !== 'null' ? asker.origin : '*';
    asker.source.postMessage({dtlApproved: [token, url, method, body, target]}, origin);
  }
  window.addEventListener('submit', function (event) {
    if (event.defaultPrevented || !(event.target instanceof HTMLFormElement)) return;
    event.preventDefault();
    handOwn(describe(event.target, event.submitter || null));
  }, false);
  Object.defineProperty(formProto, 'submit', {
    configurable: false, writable: false,
    value: function submit() {
      if (!(this instanceof HTMLFormElement)) return nativeSubmit.call(this);
      handOwn(describe(this, null));
    }
  });
  function connect() {
    if (typeof QWebChannel === 'undefined' || !window.qt || !qt.webChannelTransport) return;
    new QWebChannel(qt.webChannelTransport, function (channel) {
      bridge = channel.objects.dtlForms;
      bridge.approved.connect(approved);
      while (queue.length) bridge.submit.apply(bridge, queue.shift());
    });
  }
  connect();
})();
)JS";

QString WebChannelLibrary() {
  QFile f(":/qtwebchannel/qwebchannel.js");
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(f.readAll());
}

// Chromium reports a URL in its canonical form; compare ours the same way.
QUrl Canonical(const QUrl& url) {
  QUrl u = url.adjusted(QUrl::RemoveFragment | QUrl::NormalizePathSegments);
  if (u.path().isEmpty() && !u.host().isEmpty()) u.setPath("/");
  return u;
}

}  // namespace

QString BrowserPage::formCaptureScript() { return WebChannelLibrary() + "\n" + kCaptureScript; }

BrowserPage::BrowserPage(QWebEngineProfile* profile, QObject* parent)
    : QWebEnginePage(profile, parent), channel_(new QWebChannel(this)), bridge_(new Bridge(this)) {
  // The local home page needs no other file; a page reading local files (settings, cookies)
  // could hand them to any site.
  settings()->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, false);
  channel_->registerObject("dtlForms", bridge_);
  setWebChannel(channel_, QWebEngineScript::MainWorld);
  QWebEngineScript script;
  script.setName(kScriptName);
  script.setSourceCode(formCaptureScript());
  script.setInjectionPoint(QWebEngineScript::DocumentCreation);
  script.setRunsOnSubFrames(true);
  script.setWorldId(QWebEngineScript::MainWorld);
  scripts().insert(script);
}

BrowserPage::~BrowserPage() = default;

void BrowserPage::loadApproved(const QUrl& url, const QByteArray* postBody,
                               const QString& headers) {
  // One load at a time: a newer one replaces whatever approval has not been used.
  approved_ = {Canonical(url)};
  QWebEngineHttpRequest request(
      url, postBody ? QWebEngineHttpRequest::Post : QWebEngineHttpRequest::Get);
  for (const QString& line : headers.split('\n', Qt::SkipEmptyParts)) {
    const qsizetype colon = line.indexOf(':');
    if (colon <= 0) continue;
    request.setHeader(line.left(colon).trimmed().toLatin1(),
                      line.mid(colon + 1).trimmed().toLatin1());
  }
  if (postBody) {
    request.setHeader("Content-Type", "application/x-www-form-urlencoded");
    request.setPostData(*postBody);
  }
  load(request);
}

void BrowserPage::submitInFrame(const QString& frameToken, const QUrl& url, const QString& method,
                                const QString& body, const QString& target) {
  if (frameToken.isEmpty()) return;
  QUrl sent = url;
  if (method == "get") sent.setQuery(body, QUrl::StrictMode);
  approvedForms_ = {Canonical(sent)};
  emit bridge_->approved(frameToken, url.toString(QUrl::FullyEncoded), method, body, target);
}

bool BrowserPage::acceptNavigationRequest(const QUrl& url, NavigationType type, bool isMainFrame) {
  // The approved form of a sub-frame, submitted by the frame itself (submitInFrame).
  if (type == NavigationTypeFormSubmitted) {
    const qsizetype i = approvedForms_.indexOf(Canonical(url));
    if (i >= 0) {
      approvedForms_.clear();
      return true;
    }
  }
  if (type == NavigationTypeTyped && isMainFrame) {
    const qsizetype i = approved_.indexOf(Canonical(url));
    if (i >= 0) {
      approved_.clear();
      return true;
    }
  }
  if (type == NavigationTypeTyped && isMainFrame) approved_.clear();
  // Forms are sent by the view, never natively: this one slipped past the script.
  if (type == NavigationTypeFormSubmitted) return false;
  return gate_ && gate_(url, type, isMainFrame);
}

QWebEnginePage* BrowserPage::createWindow(WebWindowType) { return this; }

}  // namespace dtlui

#include "BrowserPage.moc"
