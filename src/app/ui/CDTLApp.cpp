#include "app/ui/CDTLApp.h"

#include <QFileInfo>

#include "app/FileTypeRegistration.h"
#include "app/ProgramFolder.h"
#include "app/TempFiles.h"
#include "app/ui/CMainFrame.h"
#include "app/ui/UiSupport.h"
#include "receive/ui/CMergeDlg.h"

namespace dtlui {

CDTLApp::CDTLApp(dtl::SettingsStore& store, std::filesystem::path dataHome)
    : store_(store), dataHome_(std::move(dataHome)), doc_(store) {}

CDTLApp::~CDTLApp() = default;

bool CDTLApp::InitInstance(const QStringList& arguments) {
  if (!dataHome_.empty()) {
    const std::string program = dtl::ProgramFilePath();
    dtl::CGCFileTypeAccess type;
    type.SetExtension("dtl");
    type.SetShellOpenCommand(dtl::CGCFileTypeAccess::OpenCommandFor(program));
    type.SetDocumentTypeName("CGFileType.Document");
    type.SetDocumentDescription("Drovetail segment descriptor");
    type.SetDefaultIcon(S(ResourcePath("icons/drovetail.png")));
    type.RegisterAll(dataHome_);  // a desktop without these folders simply has no association
  }
  frame_ = std::make_unique<CMainFrame>(*this);
  frame_->show();

  if (!arguments.isEmpty()) {
    // The long form of the path: absolute and with "." and ".." resolved.
    const QFileInfo descriptor(arguments.first());
    if (descriptor.exists() && descriptor.isFile()) {
      CMergeDlg merge(store_, frame_.get());
      merge.SetDescriptor(descriptor.absoluteFilePath());
      merge.exec();
    }
  }
  return true;
}

int CDTLApp::ExitInstance() {
  frame_.reset();
  dtl::DeleteTempPieces(dtl::TempFolder());
  return 0;
}

}  // namespace dtlui
