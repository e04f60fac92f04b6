#include "gui/Application.h"

#include <cstdio>

#include <QCoreApplication>
#include <QFileInfo>

#include "base/AddressBook.h"
#include "base/FileTypeRegistration.h"
#include "base/ProgramFolder.h"
#include "base/TempFiles.h"
#include "gui/MainWindow.h"
#include "gui/MergeDialog.h"
#include "gui/UiSupport.h"
#include "mail/ErrorLog.h"

namespace dtlui {

Application::Application(dtl::SettingsStore& store, std::filesystem::path dataHome)
    : store_(store), dataHome_(std::move(dataHome)), doc_(store) {}

Application::~Application() = default;

bool Application::start(const QStringList& arguments) {
  if (!dataHome_.empty()) {
    const std::string program = dtl::ProgramFilePath();
    dtl::FileTypeRegistration type;
    type.SetExtension("dtl");
    type.AddExtension("dtl.doc");  // the offline split's descriptors
    type.SetShellOpenCommand(dtl::FileTypeRegistration::OpenCommandFor(program));
    type.SetDocumentTypeName("CGFileType.Document");
    type.SetDocumentDescription("Drovetail segment descriptor");
    type.SetDefaultIcon(S(DesktopIconPath()));
    (void)type.RegisterAll(dataHome_);  // a desktop without these folders simply has no association
    // Earlier versions wrote the address book and the error log beside the program; the
    // program's folder now holds only what was installed.
    const std::filesystem::path data = dataHome_ / "drovetail";
    (void)dtl::MakePrivateFolders(data);  // a later write reports the failure
    for (const char* name : {dtl::AddressBook::kFileName, dtl::kErrorLogName})
      if (const std::string note = dtl::MoveDataFile(programFolder, data, name); !note.empty())
        std::fprintf(stderr, "drovetail: %s\n", note.c_str());
  }
  frame_ = std::make_unique<MainWindow>(*this);
  frame_->show();

  if (!arguments.isEmpty()) {
    // The long form of the path: absolute and with "." and ".." resolved.
    const QFileInfo descriptor(arguments.first());
    if (descriptor.exists() && descriptor.isFile()) {
      MergeDialog merge(store_, frame_.get());
      merge.SetDescriptor(descriptor.absoluteFilePath());
      merge.exec();
    }
  }
  return true;
}

int Application::shutdown() {
  frame_.reset();
  dtl::DeleteTempPieces(dtl::TempFolder());
  return 0;
}

}  // namespace dtlui
