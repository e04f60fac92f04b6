// Where the program lives and where it may keep its files: the folder of the running program
// file, the per-user XDG folders that stand in when that folder is not writable, and the
// owner-only folder creation they share.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "base/Error.h"

namespace dtl {

// Full path of the running program file as the system reports it (/proc/self/exe), or "" when
// the system does not say.
std::string ProgramFilePath();

// The folder part of a program file path, ending in "/" and kept exactly as given (Linux names
// are case-sensitive, so no case folding). A path without "/" gives "./".
std::string ProgramFolderOf(std::string_view programPath);

// The program folder: folder of the running program file, ending in "/". Computed on the first
// call and returned unchanged afterwards (thread-safe). Falls back to the current folder when the
// program file cannot be found.
std::string GetProgramFolder();

// The per-user folder for what the program writes itself (address book, error log):
// XdgDataHome()/drovetail. Only computed: MakePrivateFolders or MoveDataFile creates it.
std::filesystem::path DataFolder();

// Where the program's own data file `name` is read and written: dataFolder/name, unless only
// oldFolder (the program folder, where earlier versions kept it) has one; that one then stays
// in use until it could be moved.
std::filesystem::path DataFilePath(const std::filesystem::path& oldFolder,
                                   const std::filesystem::path& dataFolder, std::string_view name);

// Moves oldFolder/name to dataFolder/name (creating dataFolder mode 0700) once: only when the
// old file exists and the new one does not, so nothing is ever overwritten. Returns a line for
// stderr saying what was done or why the old file stays (empty when there was nothing to do).
// A failed move leaves the old file where it was, and DataFilePath then keeps choosing it.
std::string MoveDataFile(const std::filesystem::path& oldFolder,
                         const std::filesystem::path& dataFolder, std::string_view name);

// $HOME, or the password database's home folder when HOME is unset.
std::filesystem::path HomeFolder();
// $XDG_CONFIG_HOME when set to an absolute path, otherwise HomeFolder()/.config.
std::filesystem::path XdgConfigHome();
// $XDG_DATA_HOME when set to an absolute path, otherwise HomeFolder()/.local/share.
std::filesystem::path XdgDataHome();

// Creates `folder` and any missing parents with mode 0700 (existing folders keep their mode).
// Fails when the folder cannot be had: Error::FromErrno with the path that failed, so the
// message is "<path>: <system text>".
Status MakePrivateFolders(const std::filesystem::path& folder);

}  // namespace dtl
