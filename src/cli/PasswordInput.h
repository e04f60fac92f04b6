// Where the CLI takes a password from. Never from the command line itself: other users can read
// a process's arguments.
#pragma once

#include <optional>
#include <string>

namespace dtlcli {

// Reads a password from a file (first line, without its line end).
std::optional<std::string> PasswordFromFile(const std::string& path, std::string* error);
// Reads a password from standard input: the first line, without its line end. On a terminal
// the prompt goes to stderr and echo is switched off while typing.
std::optional<std::string> PasswordFromStdin(const char* prompt, std::string* error);

// The password a command's --password-file / --password-stdin options name: from the file when
// one is given, else from standard input when asked, else the empty string (the default
// password then applies). nullopt with *error set when the chosen source cannot be read.
std::optional<std::string> PasswordFromOptions(const std::optional<std::string>& file, bool fromStdin,
                                               const char* prompt, std::string* error);

// Overwrites the string's bytes before it is released.
void WipeString(std::string& s);

// True for an argument that would put a password on the command line ("--password",
// "--password=...", "-p"); every command refuses it, as other users can read a command line.
bool IsPasswordArgument(const std::string& arg);

}  // namespace dtlcli
