// dtl fetch --imap: the mailbox side of `dtl fetch`. The web-mail fetch (FetchCommand.cpp)
// declares the command line; once it sees --imap it hands the parsed options over here.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace dtl {
class SettingsStore;
}

namespace dtlcli {

struct ImapFetchOptions {
  std::string url;  // what followed --imap: "imaps://HOST[:PORT][/FOLDER]", "imap://...", or ""
  std::optional<std::string> user;               // --user
  std::optional<std::string> loginPasswordFile;  // --login-password-file
  std::string out;                               // --out
  std::optional<std::string> passwordFile;       // --password-file (the segments' password)
  bool passwordStdin = false;
  bool list = false, noMerge = false, overwrite = false, skipExisting = false;
  std::vector<std::string> files;  // --file, repeatable
  unsigned jobs = 4;
};

// Where to connect and which folder to open, from the URL and the options, the stored IMAP
// settings filling in what they leave out. The login password is not read here.
struct ImapTarget {
  std::string host;
  int port = 993;
  bool startTls = false;
  std::string user;
  std::string folder;  // UTF-8, percent escapes of the URL decoded
};

// Reads `url` ("" for the stored server) against `settings`. The reason for a usage error when
// the URL is not an imaps:// or imap:// address with at most a port and a folder, or when no
// server or user name is known.
std::variant<ImapTarget, std::string> ResolveImapTarget(const std::string& url,
                                                        const std::optional<std::string>& user,
                                                        const dtl::SettingsStore& settings);

// Runs the fetch; `usage` prints a usage error in the command's style and gives the status to
// exit with. Returns the exit status: 0 when every chosen file was rebuilt (or, with --list,
// when the folder was listed), 1 on a failure, 2 on bad usage.
int RunImapFetch(const ImapFetchOptions& options,
                 const std::function<int(const std::string&)>& usage);

}  // namespace dtlcli
