#include "gui/FileListView.h"

#include <QHeaderView>
#include <QResizeEvent>

#include "gui/UiSupport.h"
#include "gui/widgets/HtmlToolTip.h"

namespace dtlui {
namespace {

// The model's colours are Windows COLORREF values (0x00BBGGRR).
QColor FromColorRef(uint32_t c) { return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF); }

}  // namespace

FileListView::FileListView(dtl::SendDocument& doc, QWidget* parent)
    : QTreeWidget(parent), model_(std::make_unique<dtl::SendListModel>(doc)) {
  setColumnCount(3);
  setHeaderLabels(
      {tr(dtl::kSendListColumns[0]), tr(dtl::kSendListColumns[1]), tr(dtl::kSendListColumns[2])});
  setRootIsDecorated(false);
  setAllColumnsShowFocus(true);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  model_->changed = [this](size_t first, size_t last) { showRows(first, last); };
  doc.AddView(model_.get());
  connect(this, &QTreeWidget::itemChanged, this, [this](QTreeWidgetItem* item, int column) {
    if (showing_ || column != 0) return;
    model_->SetChecked(static_cast<size_t>(indexOfTopLevelItem(item)),
                       item->checkState(0) == Qt::Checked);
  });
}

FileListView::~FileListView() = default;

void FileListView::showRows(size_t first, size_t last) {
  showing_ = true;
  const size_t rows = model_->RowCount();
  // A rebuild reports every row; rows beyond the model are left over from the last job.
  while (static_cast<size_t>(topLevelItemCount()) > rows)
    delete takeTopLevelItem(topLevelItemCount() - 1);
  while (static_cast<size_t>(topLevelItemCount()) < rows) {
    auto* item = new QTreeWidgetItem(this);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
  }
  for (size_t i = first; i <= last && i < rows; ++i) {
    const auto& row = model_->Row(i);
    QTreeWidgetItem* item = topLevelItem(static_cast<int>(i));
    item->setText(0, Q(row.name));
    item->setText(1, Q(row.status));
    // A long status is cut by the column; the tool tip holds it whole, with the error log's path.
    item->setToolTip(1, row.detail.empty() ? Q(row.status) : Q(row.status + "\n" + row.detail));
    item->setText(2, Q(row.progress));
    item->setCheckState(0, row.checked ? Qt::Checked : Qt::Unchecked);
    QBrush background, text;
    if (row.state != dtl::RowState::Neutral) {
      background = FromColorRef(row.state == dtl::RowState::Delivered ? dtl::kDeliveredRowColour
                                                                      : dtl::kFailedRowColour);
      text = QColor(Qt::black);
    }
    for (int c = 0; c < 3; ++c) {
      item->setBackground(c, background);
      item->setForeground(c, text);
    }
  }
  showing_ = false;
}

void FileListView::resizeEvent(QResizeEvent* event) {
  QTreeWidget::resizeEvent(event);
  const int width = viewport()->width();
  for (int c = 0; c < 3; ++c) setColumnWidth(c, width * dtl::kSendListColumnPercent[c] / 100);
}

void FileListView::showQuickHelp(const QPoint& globalPos) {
  if (!help_) {
    help_ = new HtmlToolTip(this);
    connect(help_, &HtmlToolTip::linkActivated, this, [this] { emit helpRequested("desktop.md"); });
  }
  help_->setContent(
      tr("Drovetail Quick Help"),
      tr("Choose a file to send by clicking on the left menu button.<br>Drovetail will split the "
         "file "
         "into segments;<br>Choose segment size and enter an email address.<br>To start sending "
         "the "
         "file, click on the send button.<br>If you don't want DTL to split, zip and encrypt the "
         "file,<br>just choose Plain Transfer from the drop down button."),
      tr("Click here for more help..."));
  help_->showAt(globalPos);
}

}  // namespace dtlui
