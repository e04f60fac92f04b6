// Registers the descriptor file type with the desktop, the freedesktop way: a shared-mime-info
// package that maps "*.<extension>" to a MIME type, and a desktop entry that opens that type with
// the program. Both go under a data home (normally $XDG_DATA_HOME): mime/packages/ and
// applications/. Afterwards update-mime-database and update-desktop-database refresh their caches
// when they are installed.
//
// Call order: the setters, then RegisterAll(). Every failure is ignored by the program (a
// desktop without these folders just has no association); RegisterAll still reports it.
// Parts whose source string is empty are left out: no extension -> no MIME package and no
// MimeType line; no document type name -> no desktop entry; no open command -> no Exec line;
// no icon -> no Icon line.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"

namespace dtl {

class FileTypeRegistration {
 public:
  // The extension without the dot ("dtl"); a leading dot is dropped.
  void SetExtension(std::string_view ext);
  // Another ending files of the same type carry ("dtl.doc"), matched as "*.<ending>" beside the
  // extension; a leading dot is dropped, an empty one ignored. Only used when an extension is set.
  void AddExtension(std::string_view ext);
  // The open command as a desktop-entry Exec value, e.g. OpenCommandFor(ProgramFilePath()).
  // A Windows-style "%1" (quoted or not) is turned into the %f field code.
  void SetShellOpenCommand(std::string_view command);
  // Names the desktop entry (its file is "<name>.desktop", unsafe characters replaced).
  void SetDocumentTypeName(std::string_view name);
  // Shown by file managers as the type's description and the entry's name.
  void SetDocumentDescription(std::string_view description);
  // An icon theme name or an absolute image path; a Windows resource index (",0") is dropped.
  void SetDefaultIcon(std::string_view icon);
  // Defaults to "application/x-<extension>".
  void SetMimeType(std::string_view mimeType);
  // Whether RegisterAll runs the cache tools afterwards (default true).
  void SetRefreshCaches(bool refresh) { refresh_ = refresh; }

  // Writes the MIME package and the desktop entry under `dataHome` (creating the folders),
  // each by atomic replace and only when its content changed; then refreshes the caches if
  // anything changed. Succeeds when every file that should exist holds its content; otherwise
  // the first file that could not be written is reported (Io, "FILE: strerror", `system` =
  // errno) after the other file has still been tried.
  Status RegisterAll(const std::filesystem::path& dataHome) const;

  // The files RegisterAll writes under `dataHome` (empty path: that part is skipped).
  std::filesystem::path MimePackagePath(const std::filesystem::path& dataHome) const;
  std::filesystem::path DesktopEntryPath(const std::filesystem::path& dataHome) const;
  std::string MimeType() const;
  std::string MimePackageText() const;
  std::string DesktopEntryText() const;

  // An Exec value that runs `programPath` on one file: the path quoted as the desktop-entry
  // rules require (spaces and all) followed by " %f".
  static std::string OpenCommandFor(std::string_view programPath);

 private:
  std::string extension_, command_, typeName_, description_, icon_, mimeType_;
  std::vector<std::string> moreExtensions_;
  bool refresh_ = true;
};

}  // namespace dtl
