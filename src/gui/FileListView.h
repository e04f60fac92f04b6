// The send list pane: one row per segment record (per file in a plain transfer) with a check
// box (still to be sent), the status and the progress; delivered rows light green, failed rows
// light red. It draws dtl::SendListModel, which follows the document's hints; ticking a box
// stores the record's pending flag through the model.
#pragma once

#include <QTreeWidget>
#include <memory>

#include "send/SendListModel.h"

namespace dtlui {

class HtmlToolTip;

class FileListView : public QTreeWidget {
  Q_OBJECT
 public:
  // Registers the model with `doc`; the owner removes it (model()) before the doc goes.
  FileListView(dtl::SendDocument& doc, QWidget* parent = nullptr);
  ~FileListView() override;
  dtl::SendListModel* model() const { return model_.get(); }
  // The quick-help tip at a screen position.
  void showQuickHelp(const QPoint& globalPos);
  HtmlToolTip* quickHelp() const { return help_; }

 signals:
  // The Quick Help's link was clicked: the program's help should show `page` ("desktop.md").
  void helpRequested(const QString& page);

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void showRows(size_t first, size_t last);

  std::unique_ptr<dtl::SendListModel> model_;
  HtmlToolTip* help_ = nullptr;
  bool showing_ = false;
};

}  // namespace dtlui
