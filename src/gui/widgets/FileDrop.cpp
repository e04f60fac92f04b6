#include "gui/widgets/FileDrop.h"

#include <QDragEnterEvent>
#include <QDragMoveEvent>
#include <QDropEvent>
#include <QMimeData>
#include <QUrl>
#include <QWidget>

namespace dtlui {
namespace {

class FileDropFilter : public QObject {
 public:
  FileDropFilter(QWidget* target, std::function<void(const QStringList&)> dropped)
      : QObject(target), dropped_(std::move(dropped)) {}

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    switch (event->type()) {
      case QEvent::DragEnter:
      case QEvent::DragMove: {
        auto* drag = static_cast<QDropEvent*>(event);
        if (DroppedLocalFiles(drag->mimeData()).isEmpty())
          drag->ignore();
        else
          drag->acceptProposedAction();
        return true;  // a line edit would otherwise take the URLs as text
      }
      case QEvent::Drop: {
        auto* drop = static_cast<QDropEvent*>(event);
        const QStringList paths = DroppedLocalFiles(drop->mimeData());
        if (paths.isEmpty()) {
          drop->ignore();
          return true;
        }
        drop->acceptProposedAction();
        dropped_(paths);
        return true;
      }
      default:
        return QObject::eventFilter(watched, event);
    }
  }

 private:
  std::function<void(const QStringList&)> dropped_;
};

}  // namespace

QStringList DroppedLocalFiles(const QMimeData* data) {
  if (!data || !data->hasUrls()) return {};
  QStringList paths;
  for (const QUrl& url : data->urls()) {
    // One foreign entry spoils the drop: taking the rest would send less than was dragged.
    if (!url.isLocalFile()) return {};
    paths << url.toLocalFile();
  }
  return paths;
}

void AcceptFileDrops(QWidget* target, std::function<void(const QStringList&)> dropped) {
  target->setAcceptDrops(true);
  target->installEventFilter(new FileDropFilter(target, std::move(dropped)));
}

}  // namespace dtlui
