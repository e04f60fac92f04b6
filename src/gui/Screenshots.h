// The screenshot mode: opens every main window and dialog in a representative state, over a
// private settings store and sample files in a temporary folder, and saves one PNG of each into
// `folder` (created when missing). Message boxes are not shown. Returns the process exit code:
// 0 when every picture was saved.
#pragma once

#include <QString>

namespace dtlui {

int SaveScreenshots(const QString& folder);

}  // namespace dtlui
