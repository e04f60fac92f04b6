// Where the CLI takes a password (or a web-mail session's cookie string) from. Never from the
// command line itself: other users can read a process's arguments.
#pragma once

#include <optional>
#include <string>

#include "base/Error.h"

namespace dtl {
struct HttpCredentials;
}

namespace dtlcli {

// Reads a password from a file (first line, without its line end). A file that cannot be
// opened: Io (NotFound for ENOENT), "cannot read password file PATH: strerror".
dtl::Result<std::string> PasswordFromFile(const std::string& path);
// Reads a password from standard input: the first line, without its line end. On a terminal
// the prompt goes to stderr and echo is switched off while typing. Io when standard input
// fails before giving a line ("cannot read the password from standard input").
dtl::Result<std::string> PasswordFromStdin(const char* prompt);

// The password a command's --password-file / --password-stdin options name: from the file when
// one is given, else from standard input when asked, else the empty string (the default
// password then applies). The chosen source's error when it cannot be read.
dtl::Result<std::string> PasswordFromOptions(const std::optional<std::string>& file, bool fromStdin,
                                             const char* prompt);

// The cookie string of `dtl fetch`, read like a password: the first line of the file, or of
// standard input (without echo on a terminal, with `prompt` on stderr), without its line end.
// Io (NotFound for ENOENT) "cannot read cookie file PATH: strerror"; Io "cannot read the cookie
// string from standard input".
dtl::Result<std::string> CookieFromFile(const std::string& path);
dtl::Result<std::string> CookieFromStdin(const char* prompt);

// Overwrites the string's bytes before it is released.
void WipeString(std::string& s);

// Wipes the password of `dtl fetch --http-user`, its whole buffer (the string stays, empty).
// Nothing happens without a login.
void WipeHttpLogin(std::optional<dtl::HttpCredentials>& login);

// True for an argument that would put a password on the command line ("--password",
// "--password=...", "-p"); every command refuses it, as other users can read a command line.
bool IsPasswordArgument(const std::string& arg);

// True for an argument that would put the session cookie on the command line ("--cookie",
// "--cookie=..."); `dtl fetch` refuses it as it refuses a password.
bool IsCookieArgument(const std::string& arg);

}  // namespace dtlcli
