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

// The folder for files the program writes beside itself (address book, error log): the program
// folder when this user may write there, otherwise XdgDataHome()/drovetail/ (created mode 0700
// on demand; when that fails the path is still returned and the later write reports the error).
// Ends in "/". Not cached: writability can change while the program runs.
std::string WritableProgramFolder();

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
