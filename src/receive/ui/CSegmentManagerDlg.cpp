#include "receive/ui/CSegmentManagerDlg.h"

#include <QTreeWidget>
#include <QVBoxLayout>

#include "app/ui/CMainFrame.h"
#include "browser/PageFetcher.h"

namespace dtlui {

CSegmentManagerDlg::CSegmentManagerDlg(dtl::SettingsStore& settings, dtl::CookieJar& cookies,
                                       const dtl::NetworkEndpoints& endpoints, const Session& session,
                                       CMainFrame* frame, QWidget* parent)
    : QDialog(parent), settings_(settings), cookies_(cookies), endpoints_(endpoints), session_(session), frame_(frame) {
  setWindowTitle("Segment Manager");
  tree_ = new QTreeWidget(this);
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(tree_);
}

CSegmentManagerDlg::~CSegmentManagerDlg() = default;

QTreeWidget* CSegmentManagerDlg::Tree() const { return tree_; }
CHttpDownloadDlg* CSegmentManagerDlg::DownloadDialog() const { return nullptr; }

void CSegmentManagerDlg::reject() { QDialog::reject(); }
void CSegmentManagerDlg::showEvent(QShowEvent* event) { QDialog::showEvent(event); }
void CSegmentManagerDlg::changeEvent(QEvent* event) { QDialog::changeEvent(event); }

}  // namespace dtlui
