// The screenshot mode: opens every main window and dialog in a representative state, over a
// private settings store and sample files in a temporary folder, and saves one PNG of each into
// `folder` (created when missing). Message boxes are not shown. Returns the process exit code:
// 0 when every picture was saved.
#pragma once

#include <QString>
#include <functional>

class QWidget;

namespace dtlui {

// Told about each window just before its picture is taken (its file name without ".png"); the
// window is deleted soon after, so it is only looked at during the call.
using ScreenshotSeen = std::function<void(const QString& name, QWidget* window)>;

int SaveScreenshots(const QString& folder, const ScreenshotSeen& seen = {});

}  // namespace dtlui
