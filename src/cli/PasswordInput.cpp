#include "cli/PasswordInput.h"

#include <openssl/crypto.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

namespace dtlcli {

namespace {
void StripLineEnd(std::string& s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
}

// `what` names the secret in the error texts ("password", "cookie").
dtl::Result<std::string> FirstLineOfFile(const std::string& path, const char* what) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const int err = errno;
    return dtl::Error(
        err == ENOENT ? dtl::ErrorCode::NotFound : dtl::ErrorCode::Io,
        std::string("cannot read ") + what + " file " + path + ": " + std::strerror(err), err);
  }
  std::string line;
  std::getline(in, line);
  StripLineEnd(line);
  return line;
}

dtl::Result<std::string> FirstLineOfStdin(const char* prompt, const char* what) {
  bool tty = isatty(STDIN_FILENO) == 1;
  termios old{};
  if (tty) {
    std::fprintf(stderr, "%s", prompt);
    std::fflush(stderr);
    if (tcgetattr(STDIN_FILENO, &old) == 0) {
      termios quiet = old;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
  }
  std::string line;
  bool got = static_cast<bool>(std::getline(std::cin, line));
  if (tty) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
    std::fputc('\n', stderr);
  }
  if (!got && line.empty() && !std::cin.eof()) {
    return dtl::Error(dtl::ErrorCode::Io,
                      std::string("cannot read the ") + what + " from standard input");
  }
  StripLineEnd(line);
  return line;
}

}  // namespace

dtl::Result<std::string> PasswordFromFile(const std::string& path) {
  return FirstLineOfFile(path, "password");
}

dtl::Result<std::string> PasswordFromStdin(const char* prompt) {
  return FirstLineOfStdin(prompt, "password");
}

dtl::Result<std::string> CookieFromFile(const std::string& path) {
  return FirstLineOfFile(path, "cookie");
}

dtl::Result<std::string> CookieFromStdin(const char* prompt) {
  return FirstLineOfStdin(prompt, "cookie string");
}

dtl::Result<std::string> PasswordFromOptions(const std::optional<std::string>& file, bool fromStdin,
                                             const char* prompt) {
  if (file) return PasswordFromFile(*file);
  if (fromStdin) return PasswordFromStdin(prompt);
  return std::string();
}

void WipeString(std::string& s) {
  if (!s.empty()) OPENSSL_cleanse(s.data(), s.size());
  s.clear();
}

bool IsPasswordArgument(const std::string& arg) {
  return arg == "--password" || arg.rfind("--password=", 0) == 0 || arg == "-p";
}

bool IsCookieArgument(const std::string& arg) {
  return arg == "--cookie" || arg.rfind("--cookie=", 0) == 0;
}

}  // namespace dtlcli
