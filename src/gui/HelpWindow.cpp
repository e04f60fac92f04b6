#include "gui/HelpWindow.h"

#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QListWidget>
#include <QTextBrowser>
#include <QTextDocument>
#include <QToolButton>
#include <QVBoxLayout>

#include "gui/UiSupport.h"

namespace dtlui {
namespace {

constexpr const char* kFirstPage = "desktop.md";
// The pages in the order a new user needs them.
constexpr const char* kPages[] = {"desktop.md",  "sending.md",  "receiving.md",
                                  "accounts.md", "security.md", "benchmarks.md"};

// A page's first heading ("# Sending" gives "Sending"); the file name when it has none.
QString PageTitle(const QString& path, const QString& page) {
  QFile f(path);
  if (f.open(QIODevice::ReadOnly | QIODevice::Text))
    for (int i = 0; i < 20 && !f.atEnd(); ++i) {
      const QString line = QString::fromUtf8(f.readLine()).trimmed();
      if (line.startsWith("# ")) return line.mid(2).trimmed();
    }
  return page;
}

bool IsHelpPage(const QUrl& url) {
  return url.isLocalFile() && url.path().endsWith(".md", Qt::CaseInsensitive);
}

}  // namespace

HelpWindow::HelpWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
  setObjectName("help");
  setWindowTitle(tr("Drovetail Help"));
  setWindowIcon(ResourceIcon("help"));
  resize(860, 640);
  auto* layout = new QVBoxLayout(this);
  auto* row = new QHBoxLayout;
  const auto button = [this, row](const QString& text, const QString& icon) {
    auto* b = new QToolButton(this);
    b->setText(text);
    b->setIcon(ResourceIcon(icon));
    b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    row->addWidget(b);
    return b;
  };
  back_ = button(tr("Back"), "back");
  forward_ = button(tr("Forward"), "forward");
  contents_ = button(tr("Contents"), "home");
  row->addStretch(1);
  layout->addLayout(row);
  auto* body = new QHBoxLayout;
  pages_ = new QListWidget(this);
  pages_->setObjectName("helpPages");
  pages_->setFixedWidth(190);
  for (const char* page : kPages) {
    const QString path = PagePath(page);
    if (!QFileInfo::exists(path)) continue;  // a partial install lists what it has
    auto* item = new QListWidgetItem(PageTitle(path, page), pages_);
    item->setData(Qt::UserRole, QUrl::fromLocalFile(path));
  }
  body->addWidget(pages_);
  text_ = new QTextBrowser(this);
  text_->setObjectName("helpText");
  // Every link passes through follow(): QTextBrowser would otherwise try to draw a web page
  // itself, or hand any scheme to the desktop.
  text_->setOpenLinks(false);
  text_->setOpenExternalLinks(false);
  body->addWidget(text_, 1);
  layout->addLayout(body, 1);
  back_->setEnabled(false);
  forward_->setEnabled(false);
  connect(back_, &QToolButton::clicked, text_, &QTextBrowser::backward);
  connect(forward_, &QToolButton::clicked, text_, &QTextBrowser::forward);
  connect(contents_, &QToolButton::clicked, this, [this] { showPage(kFirstPage); });
  connect(text_, &QTextBrowser::backwardAvailable, back_, &QToolButton::setEnabled);
  connect(text_, &QTextBrowser::forwardAvailable, forward_, &QToolButton::setEnabled);
  connect(text_, &QTextBrowser::anchorClicked, this, &HelpWindow::follow);
  connect(text_, &QTextBrowser::sourceChanged, this, &HelpWindow::markPage);
  connect(pages_, &QListWidget::itemActivated, this,
          [this](QListWidgetItem* item) { open(item->data(Qt::UserRole).toUrl()); });
  connect(pages_, &QListWidget::itemClicked, this,
          [this](QListWidgetItem* item) { open(item->data(Qt::UserRole).toUrl()); });
  showPage(kFirstPage);
}

QString HelpWindow::PagePath(const QString& page) { return ResourcePath("doc/" + page); }

void HelpWindow::showPage(const QString& page) { open(QUrl::fromLocalFile(PagePath(page))); }

QUrl HelpWindow::currentPage() const { return text_->source(); }

void HelpWindow::open(const QUrl& url) {
  if (!QFileInfo::exists(url.toLocalFile())) {
    // Left on the page it shows, the window would seem to ignore the click; an empty one would
    // look broken. The note says what is missing and where it belongs.
    text_->setHtml(tr("<h3>This help page is not installed</h3><p>Drovetail looked for it "
                      "here:<br><code>%1</code></p>")
                       .arg(url.toLocalFile().toHtmlEscaped()));
    return;
  }
  QUrl page = url;
  const QString fragment = page.fragment();
  page.setFragment({});
  if (text_->source() != page) text_->setSource(page, QTextDocument::MarkdownResource);
  if (!fragment.isEmpty()) text_->scrollToAnchor(fragment);
}

void HelpWindow::markPage(const QUrl& page) {
  // The signal's address, not source(): QTextBrowser tells before it updates source().
  const QUrl shown = page.adjusted(QUrl::RemoveFragment);
  for (int i = 0; i < pages_->count(); ++i)
    if (pages_->item(i)->data(Qt::UserRole).toUrl() == shown) {
      const QSignalBlocker quiet(pages_);
      pages_->setCurrentRow(i);
      return;
    }
  pages_->clearSelection();
}

void HelpWindow::follow(const QUrl& link) {
  // A link within the page ("#part") resolves to the page itself and only scrolls.
  const QUrl url = text_->source().resolved(link);
  if (IsHelpPage(url))
    open(url);
  else
    OpenExternal(url);  // web addresses only; the rest is refused there
}

}  // namespace dtlui
