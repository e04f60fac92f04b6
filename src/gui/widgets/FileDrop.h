// Dropping local files on a widget. AcceptFileDrops() lets `target` take drags that carry only
// local file URLs (any other drag, text or a web link included, is refused: the cursor shows it
// and nothing happens) and hands the dropped paths, in the drag's order, to `dropped`. The
// filter is owned by `target`; the widget's own drop handling (a line edit's text drop) no longer
// sees the drags.
#pragma once

#include <QStringList>
#include <functional>

class QMimeData;
class QWidget;

namespace dtlui {

// The local file paths a drag carries; empty when it carries anything else as well or nothing.
QStringList DroppedLocalFiles(const QMimeData* data);

void AcceptFileDrops(QWidget* target, std::function<void(const QStringList&)> dropped);

}  // namespace dtlui
