#include "base/FileTypeRegistration.h"

#include "base/AtomicFile.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <vector>

extern char** environ;

namespace dtl {

namespace fs = std::filesystem;

namespace {

std::string FileSafe(std::string_view s) {
  std::string out;
  for (char c : s) {
    bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
              c == '.' || c == '-' || c == '_';
    out.push_back(ok ? c : '-');
  }
  // A name of dots only would climb out of the folder.
  if (out.find_first_not_of('.') == std::string::npos) out.clear();
  return out;
}

std::string XmlEscape(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default:
        // Control characters are not allowed in XML 1.0 text.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t')
          out.push_back(' ');
        else
          out.push_back(c);
    }
  }
  return out;
}

// Desktop-entry "string" values: one line, backslash escapes.
std::string DesktopString(std::string_view s) {
  std::string out;
  for (char c : s) {
    switch (c) {
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20)
          out.push_back(' ');
        else
          out.push_back(c);
    }
  }
  return out;
}

void ReplaceAll(std::string& s, std::string_view from, std::string_view to) {
  for (size_t pos = 0; (pos = s.find(from, pos)) != std::string::npos; pos += to.size())
    s.replace(pos, from.size(), to);
}

bool SameContent(const fs::path& p, const std::string& text) {
  std::ifstream in(p, std::ios::binary);
  if (!in) return false;
  std::string have((std::istreambuf_iterator<char>(in)), {});
  return have == text;
}

// Runs a cache tool if it is installed, quietly; its absence or failure is not ours to report.
void RunQuietly(const char* tool, const fs::path& arg) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::string a0 = tool, a1 = arg.string();
  char* argv[] = {a0.data(), a1.data(), nullptr};
  pid_t pid = 0;
  if (::posix_spawnp(&pid, tool, &actions, nullptr, argv, environ) == 0) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  posix_spawn_file_actions_destroy(&actions);
}

}  // namespace

void FileTypeRegistration::SetExtension(std::string_view ext) {
  if (!ext.empty() && ext.front() == '.') ext.remove_prefix(1);
  extension_ = ext;
}

void FileTypeRegistration::AddExtension(std::string_view ext) {
  if (!ext.empty() && ext.front() == '.') ext.remove_prefix(1);
  if (!ext.empty()) moreExtensions_.emplace_back(ext);
}

void FileTypeRegistration::SetShellOpenCommand(std::string_view command) {
  command_ = command;
  ReplaceAll(command_, "\"%1\"", "%f");
  ReplaceAll(command_, "%1", "%f");
}

void FileTypeRegistration::SetDocumentTypeName(std::string_view name) { typeName_ = name; }
void FileTypeRegistration::SetDocumentDescription(std::string_view d) { description_ = d; }

void FileTypeRegistration::SetDefaultIcon(std::string_view icon) {
  auto comma = icon.rfind(',');
  if (comma != std::string_view::npos && comma + 1 < icon.size() &&
      icon.find_first_not_of("-0123456789", comma + 1) == std::string_view::npos)
    icon = icon.substr(0, comma);
  icon_ = icon;
}

void FileTypeRegistration::SetMimeType(std::string_view m) { mimeType_ = m; }

std::string FileTypeRegistration::MimeType() const {
  if (!mimeType_.empty()) return mimeType_;
  if (extension_.empty()) return {};
  std::string lower;
  for (char c : FileSafe(extension_))
    lower.push_back((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c);
  return "application/x-" + lower;
}

std::string FileTypeRegistration::OpenCommandFor(std::string_view programPath) {
  // Inside a quoted Exec argument, " ` $ and \ need a backslash.
  std::string quoted = "\"";
  for (char c : programPath) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') quoted.push_back('\\');
    if (c == '%') quoted.push_back('%');  // a literal % would read as a field code
    quoted.push_back(c);
  }
  quoted += "\" %f";
  return quoted;
}

fs::path FileTypeRegistration::MimePackagePath(const fs::path& dataHome) const {
  std::string mime = MimeType();
  if (extension_.empty() || mime.empty()) return {};
  std::string name = FileSafe(mime);
  if (name.empty()) return {};
  return dataHome / "mime" / "packages" / (name + ".xml");
}

fs::path FileTypeRegistration::DesktopEntryPath(const fs::path& dataHome) const {
  std::string name = FileSafe(typeName_);
  if (name.empty()) return {};
  return dataHome / "applications" / (name + ".desktop");
}

std::string FileTypeRegistration::MimePackageText() const {
  std::string t =
      "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
      "<mime-info xmlns=\"http://www.freedesktop.org/standards/shared-mime-info\">\n"
      "  <mime-type type=\"" +
      XmlEscape(MimeType()) + "\">\n";
  if (!description_.empty()) t += "    <comment>" + XmlEscape(description_) + "</comment>\n";
  t += "    <glob pattern=\"*." + XmlEscape(extension_) + "\"/>\n";
  // The longest matching glob wins, so "*.dtl.doc" claims its files from the "*.doc" of word
  // processors.
  for (const auto& more : moreExtensions_)
    t += "    <glob pattern=\"*." + XmlEscape(more) + "\"/>\n";
  t += "  </mime-type>\n"
       "</mime-info>\n";
  return t;
}

std::string FileTypeRegistration::DesktopEntryText() const {
  std::string name = description_.empty() ? typeName_ : description_;
  std::string t = "[Desktop Entry]\nType=Application\nName=" + DesktopString(name) + "\n";
  if (!command_.empty()) t += "Exec=" + DesktopString(command_) + "\n";
  if (!icon_.empty()) t += "Icon=" + DesktopString(icon_) + "\n";
  std::string mime = MimeType();
  if (!extension_.empty() && !mime.empty()) t += "MimeType=" + DesktopString(mime) + ";\n";
  // Only an opener for its files, not a menu item of its own.
  t += "NoDisplay=true\nTerminal=false\n";
  return t;
}

Status FileTypeRegistration::RegisterAll(const fs::path& dataHome) const {
  Status result;
  bool mimeChanged = false, desktopChanged = false;
  auto put = [&](const fs::path& p, const std::string& text, bool& changed) {
    if (p.empty() || SameContent(p, text)) return;
    std::error_code ec;
    fs::create_directories(p.parent_path(), ec);
    if (Status written = ReplaceFileAtomically(p, text, 0644); written)
      changed = true;
    else if (result)
      result = std::move(written);
  };
  put(MimePackagePath(dataHome), MimePackageText(), mimeChanged);
  put(DesktopEntryPath(dataHome), DesktopEntryText(), desktopChanged);
  if (refresh_) {
    if (mimeChanged) RunQuietly("update-mime-database", dataHome / "mime");
    if (desktopChanged) RunQuietly("update-desktop-database", dataHome / "applications");
  }
  return result;
}

}  // namespace dtl
