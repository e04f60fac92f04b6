#include "mail/ErrorLog.h"

#include "base/AtomicFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <dirent.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <vector>

namespace dtl {
namespace {

void AppendEscapedByte(unsigned char c, std::string& out) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\x%02X", c);
  out += buf;
}

bool XmlChar(uint32_t cp) {
  return cp == 0x9 || cp == 0xA || cp == 0xD || (cp >= 0x20 && cp <= 0xD7FF) ||
         (cp >= 0xE000 && cp <= 0xFFFD) || (cp >= 0x10000 && cp <= 0x10FFFF);
}

// Keeps every well-formed UTF-8 character XML allows and spells out every other byte, so a
// server's binary reply in the session log cannot make the whole file unreadable.
std::string XmlSafe(std::string_view s) {
  std::string out;
  out.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    size_t len = c < 0x80           ? 1
                 : (c >> 5) == 0x6  ? 2
                 : (c >> 4) == 0xE  ? 3
                 : (c >> 3) == 0x1E ? 4
                                    : 0;
    uint32_t cp = len == 1 ? c : len == 2 ? (c & 0x1F) : len == 3 ? (c & 0x0F) : (c & 0x07);
    bool ok = len != 0 && i + len <= s.size();
    for (size_t k = 1; ok && k < len; ++k) {
      unsigned char cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xC0) != 0x80) ok = false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    // Overlong forms and surrogates are as invalid as a stray byte.
    if (ok && ((len == 2 && cp < 0x80) || (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000)))
      ok = false;
    if (ok && !XmlChar(cp)) ok = false;
    if (ok) {
      out.append(s.substr(i, len));
      i += len;
    } else {
      AppendEscapedByte(c, out);
      ++i;
    }
  }
  return out;
}

std::string ElementName(std::string_view name) {
  std::string out;
  for (char c : name) {
    bool letter = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
    bool laterOnly = (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (out.empty() && laterOnly) out.push_back('_');
    out.push_back(letter || laterOnly ? c : '_');
  }
  return out.empty() ? std::string("_") : out;
}

std::string ElementText(std::string_view raw) {
  std::string s = XmlSafe(raw);
  if (s.find_first_of("\n\t&<>") == std::string::npos) return s;
  // "]]>" would end the section early: close it between "]]" and ">" and open a new one.
  std::string out = "<![CDATA[";
  size_t pos = 0;
  for (size_t hit; (hit = s.find("]]>", pos)) != std::string::npos; pos = hit + 2) {
    out.append(s, pos, hit + 2 - pos);
    out += "]]><![CDATA[";
  }
  out.append(s, pos, std::string::npos);
  out += "]]>";
  return out;
}

std::string DateAttribute(std::time_t when) {
  std::tm tm{};
  if (!localtime_r(&when, &tm)) return {};
  char buf[64];
  std::snprintf(buf, sizeof buf, " date=\"%02d/%02d/%04d %02d:%02d:%02d\"", tm.tm_mon + 1,
                tm.tm_mday, tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return buf;
}

void AppendNode(const MailLogNode& n, int level, std::string& out) {
  std::string indent(static_cast<size_t>(level) * 4, ' ');
  switch (n.kind) {
    case MailLogNode::Kind::Operation: {
      std::string name = ElementName(n.name);
      if (n.children.empty()) {
        out += indent + "<" + name + "/>\n";
        break;
      }
      out += indent + "<" + name + ">\n";
      for (const auto& c : n.children) AppendNode(c, level + 1, out);
      out += indent + "</" + name + ">\n";
      break;
    }
    case MailLogNode::Kind::Value: {
      std::string name = ElementName(n.name);
      out += indent + "<" + name + ">" + ElementText(n.text) + "</" + name + ">\n";
      break;
    }
    case MailLogNode::Kind::Info:
    case MailLogNode::Kind::Error:
    case MailLogNode::Kind::Debug: {
      const char* tag = n.kind == MailLogNode::Kind::Info    ? "info"
                        : n.kind == MailLogNode::Kind::Error ? "error"
                                                             : "debug";
      std::string date = n.when != 0 ? DateAttribute(n.when) : std::string();
      out += indent + "<" + tag + date + ">" + ElementText(n.text) + "</" + tag + ">\n";
      break;
    }
  }
}

constexpr std::string_view kLogName = "DTLErrorLog.xml";

// A write that died between creating its temporary file and renaming it leaves the temporary
// behind, holding a whole session log. One that old is nobody's write in progress any more.
constexpr std::time_t kLeftoverAge = 10 * 60;

// Removes "DTLErrorLog.xml." + six characters left by an interrupted write: only regular files
// of this user, never through a link, and only those older than kLeftoverAge so a write going
// on in another instance keeps its file.
void SweepLeftovers(const std::string& folder) {
  DIR* dir = ::opendir(folder.c_str());
  if (!dir) return;
  const int dfd = ::dirfd(dir);
  const std::string head = std::string(kLogName) + ".";
  const std::time_t now = std::time(nullptr);
  while (const struct dirent* e = ::readdir(dir)) {
    const std::string_view name = e->d_name;
    if (name.size() != head.size() + 6 || name.substr(0, head.size()) != head) continue;
    struct stat st {};
    if (::fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (!S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) continue;
    if (now - st.st_mtime < kLeftoverAge) continue;
    ::unlinkat(dfd, e->d_name, 0);
  }
  ::closedir(dir);
}

}  // namespace

std::string MailLogToXml(const MailLog& log) {
  std::string out = "<?xml version=\"1.0\"  encoding=\"utf-8\" standalone=\"yes\" ?>\n";
  if (log.Empty()) {
    out += "<TessalyLog>The log is empty</TessalyLog>\n";
    return out;
  }
  out += "<TessalyLog>\n";
  for (const auto& c : log.Root().children) AppendNode(c, 1, out);
  out += "</TessalyLog>\n";
  return out;
}

Status WriteErrorLog(const std::string& logFolder, const MailLog& log) {
  std::string folder = logFolder.empty() ? std::string("./") : logFolder;
  if (folder.back() != '/') folder.push_back('/');
  const std::string target = folder + std::string(kLogName);
  const std::string xml = MailLogToXml(log);
  SweepLeftovers(folder);

  // Credentials never reach the log, but the server names, addresses and message headers it
  // holds are still nobody else's business: owner only.
  const Status written = ReplaceFileAtomically(target, xml, 0600, std::string(kLogName) + ".");
  // The log's message is the bare system text (callers add their own context).
  if (const int err = written ? 0 : written.error().system; err != 0)
    return Error(err == ENOENT ? ErrorCode::NotFound : ErrorCode::Io, std::strerror(err), err);
  return {};
}

}  // namespace dtl
