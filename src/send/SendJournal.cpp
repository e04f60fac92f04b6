#include "send/SendJournal.h"

#include "base/AtomicFile.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

#include "archive/SegmentRecovery.h"
#include "base/ProgramFolder.h"

namespace dtl {

namespace {

constexpr std::string_view kMagic = "drovetail-send-journal 1";
// A journal of a million segments is about 200 MB of source paths at worst; anything near this
// bound is not one of ours.
constexpr size_t kMaxJournalBytes = 256u << 20;
constexpr size_t kMaxPauseReason = 1000;
constexpr int kPbkdf2Rounds = 200000;

std::string SysText(int e) { return std::generic_category().message(e); }

// Strings go in percent-encoded, so paths with blanks, line ends or any byte survive one line.
std::string Encode(std::string_view s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out = "=";  // never empty, so a field is always there
  for (unsigned char c : s) {
    if (c > 0x20 && c < 0x7f && c != '%') {
      out.push_back(static_cast<char>(c));
    } else {
      out.push_back('%');
      out.push_back(hex[c >> 4]);
      out.push_back(hex[c & 15]);
    }
  }
  return out;
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

std::optional<std::string> Decode(std::string_view s) {
  if (s.empty() || s[0] != '=') return std::nullopt;
  std::string out;
  for (size_t i = 1; i < s.size(); ++i) {
    if (s[i] != '%') {
      out.push_back(s[i]);
      continue;
    }
    if (i + 2 >= s.size()) return std::nullopt;
    const int hi = HexValue(s[i + 1]), lo = HexValue(s[i + 2]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<char>(hi * 16 + lo));
    i += 2;
  }
  return out;
}

std::string Hex(const unsigned char* p, size_t n) {
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < n; ++i) {
    out.push_back(hex[p[i] >> 4]);
    out.push_back(hex[p[i] & 15]);
  }
  return out;
}

std::string Pbkdf2(const std::string& password, const std::string& saltHex) {
  unsigned char out[32];
  PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()),
                    reinterpret_cast<const unsigned char*>(saltHex.data()),
                    static_cast<int>(saltHex.size()), kPbkdf2Rounds, EVP_sha256(), sizeof out, out);
  return Hex(out, sizeof out);
}

std::vector<std::string> Fields(std::string_view line) {
  std::istringstream in{std::string(line)};
  std::vector<std::string> out;
  for (std::string f; in >> f;) out.push_back(std::move(f));
  return out;
}

template <typename T>
bool Number(std::string_view s, T& out) {
  auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), out);
  return ec == std::errc() && end == s.data() + s.size();
}

}  // namespace

std::filesystem::path XdgStateHome() {
  const char* v = std::getenv("XDG_STATE_HOME");
  if (v && v[0] == '/') return v;
  return HomeFolder() / ".local" / "state";
}

std::filesystem::path DefaultJournalPath() { return XdgStateHome() / "drovetail" / "send.journal"; }

void SetJournalPassword(SendJournalData& data, const std::string& password) {
  data.hasPassword = !password.empty();
  data.passwordSalt.clear();
  data.passwordCheck.clear();
  if (!data.hasPassword) return;
  unsigned char salt[16];
  if (RAND_bytes(salt, sizeof salt) != 1) {
    // Without a random salt the check value is still one-way; it only becomes comparable
    // between journals, which hold the same job's password anyway.
    for (unsigned char& c : salt) c = 0;
  }
  data.passwordSalt = Hex(salt, sizeof salt);
  data.passwordCheck = Pbkdf2(password, data.passwordSalt);
}

bool JournalPasswordMatches(const SendJournalData& data, const std::string& password) {
  if (!data.hasPassword) return password.empty();
  return !password.empty() && Pbkdf2(password, data.passwordSalt) == data.passwordCheck;
}

Result<std::vector<SourceStamp>> StampSources(const std::vector<std::string>& paths) {
  std::vector<SourceStamp> out;
  for (const std::string& p : paths) {
    struct stat st {};
    if (::stat(p.c_str(), &st) != 0) {
      const int e = errno;
      return Error(e == ENOENT ? ErrorCode::NotFound : ErrorCode::Io, p + ": " + SysText(e), e);
    }
    out.push_back({p, static_cast<uint64_t>(st.st_size),
                   int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec});
  }
  return out;
}

std::string SendJournal::Serialize(const SendJournalData& d) {
  std::ostringstream o;
  o << kMagic << "\n";
  o << "method " << static_cast<uint32_t>(d.fields.method) << "\n";
  o << "plain " << (d.fields.plain ? 1 : 0) << "\n";
  o << "recipients " << Encode(d.fields.recipients) << "\n";
  o << "from " << Encode(d.fields.from) << "\n";
  if (d.hasPassword)
    o << "password " << d.passwordSalt << " " << d.passwordCheck << "\n";
  else
    o << "password none\n";
  for (const SourceStamp& s : d.sources)
    o << "source " << s.size << " " << s.mtimeNs << " " << Encode(s.path) << "\n";
  for (const SegmentRecord& r : d.records) {
    o << "record " << r.segmentSize << " " << r.fileSize << " " << r.index << " " << int(r.pending)
      << " " << Encode(r.path) << " " << Encode(r.name) << "\n";
    // Only records with recovery data get this line, so a journal without any reads as before
    // and an older program refuses one it could not resume correctly.
    if (r.recoveryPercent > 0)
      o << "recovery " << int(r.recoveryPercent) << " " << int(r.spoolReady) << " " << r.spool
        << " " << Encode(r.recoveryFile) << "\n";
  }
  for (const auto& [position, addresses] : d.served) {
    if (addresses.empty()) continue;
    o << "served " << position;
    for (const std::string& a : addresses) o << " " << Encode(a);
    o << "\n";
  }
  // Written only while a pause is on, so other journals read as before.
  if (d.pausedUntil > 0)
    o << "paused " << static_cast<int64_t>(d.pausedUntil) << " " << Encode(d.pauseReason) << "\n";
  o << "end\n";
  return o.str();
}

Result<SendJournalData> SendJournal::Parse(const std::string& text) {
  auto bad = [&](const std::string& why) -> Result<SendJournalData> {
    return Error(ErrorCode::Corrupt, "the send journal is damaged (" + why + ")");
  };
  if (text.size() > kMaxJournalBytes) return bad("too large");
  SendJournalData d;
  bool sawEnd = false, sawMethod = false, sawPassword = false;
  size_t start = 0;
  size_t lineNo = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) return bad("last line cut short");
    const std::string_view line(text.data() + start, nl - start);
    start = nl + 1;
    if (lineNo++ == 0) {
      if (line != kMagic) return bad("not a send journal");
      continue;
    }
    if (sawEnd) return bad("text after the end");
    const auto f = Fields(line);
    if (f.empty()) return bad("empty line");
    const std::string& key = f[0];
    if (key == "end" && f.size() == 1) {
      sawEnd = true;
    } else if (key == "method" && f.size() == 2) {
      uint32_t m = 0;
      if (!Number(f[1], m) || m > 2) return bad("method");
      d.fields.method = static_cast<SendMethod>(m);
      sawMethod = true;
    } else if (key == "plain" && f.size() == 2 && (f[1] == "0" || f[1] == "1")) {
      d.fields.plain = f[1] == "1";
    } else if ((key == "recipients" || key == "from") && f.size() == 2) {
      auto v = Decode(f[1]);
      if (!v) return bad(std::string(key));
      (key == "from" ? d.fields.from : d.fields.recipients) = std::move(*v);
    } else if (key == "password" && f.size() == 2 && f[1] == "none") {
      sawPassword = true;
    } else if (key == "password" && f.size() == 3 && f[1].size() == 32 && f[2].size() == 64) {
      d.hasPassword = true;
      d.passwordSalt = std::string(f[1]);
      d.passwordCheck = std::string(f[2]);
      sawPassword = true;
    } else if (key == "source" && f.size() == 4) {
      SourceStamp s;
      auto p = Decode(f[3]);
      if (!Number(f[1], s.size) || !Number(f[2], s.mtimeNs) || !p) return bad("source");
      s.path = std::move(*p);
      d.sources.push_back(std::move(s));
    } else if (key == "record" && f.size() == 7) {
      SegmentRecord r;
      int pending = 0;
      auto path = Decode(f[5]);
      auto name = Decode(f[6]);
      if (!Number(f[1], r.segmentSize) || !Number(f[2], r.fileSize) || !Number(f[3], r.index) ||
          !Number(f[4], pending) || (pending != 0 && pending != 1) || r.index < 0 ||
          r.segmentSize == 0 || !path || !name)
        return bad("record");
      r.pending = static_cast<uint8_t>(pending);
      r.path = std::move(*path);
      r.name = std::move(*name);
      d.records.push_back(std::move(r));
    } else if (key == "recovery" && f.size() == 5) {
      // Belongs to the record line just before it, once.
      if (d.records.empty() || d.records.back().recoveryPercent != 0 || !d.served.empty())
        return bad("recovery");
      SegmentRecord& r = d.records.back();
      unsigned percent = 0;
      int ready = 0;
      auto file = Decode(f[4]);
      // The spool is a plain name (it is removed with everything in it) and the recovery file
      // one of this record's file: nothing here may point anywhere else.
      if (!Number(f[1], percent) || percent == 0 || percent > kMaxRecoveryPercent ||
          !Number(f[2], ready) || (ready != 0 && ready != 1) || !IsSpoolName(f[3]) || !file ||
          (!file->empty() && (!IsRecoveryFileName(*file) || RecoveryDataName(*file) != r.name ||
                              file->find('/') != std::string::npos)))
        return bad("recovery");
      r.recoveryPercent = static_cast<uint8_t>(percent);
      r.spoolReady = static_cast<uint8_t>(ready);
      r.spool = f[3];
      r.recoveryFile = std::move(*file);
    } else if (key == "served" && f.size() >= 3) {
      // Served lines follow the records they speak of.
      size_t position = 0;
      if (!Number(f[1], position) || position >= d.records.size() || d.served.contains(position))
        return bad("served");
      auto& addresses = d.served[position];
      for (size_t i = 2; i < f.size(); ++i) {
        auto a = Decode(f[i]);
        if (!a || a->empty()) return bad("served");
        addresses.push_back(std::move(*a));
      }
    } else if (key == "paused" && f.size() == 3) {
      int64_t until = 0;
      auto reason = Decode(f[2]);
      // The reason ends up in a status line: a sane length, never a wall of text.
      if (d.pausedUntil != 0 || !Number(f[1], until) || until <= 0 || !reason ||
          reason->size() > kMaxPauseReason)
        return bad("paused");
      d.pausedUntil = static_cast<std::time_t>(until);
      d.pauseReason = std::move(*reason);
    } else {
      return bad("unknown line");
    }
  }
  if (!sawEnd) return bad("cut short");
  if (!sawMethod || !sawPassword) return bad("missing fields");
  return d;
}

Status SendJournal::Save(const SendJournalData& data) const {
  const std::filesystem::path folder = file_.parent_path();
  if (Status made = MakePrivateFolders(folder); !made) return made;
  const std::string text = Serialize(data);
  if (Status written = ReplaceFileAtomically(file_, text, 0600, ".send.journal."); !written)
    return Error(ErrorCode::Io, file_.string() + ": " + SysText(written.error().system),
                 written.error().system);
  return {};
}

Result<SendJournalData> SendJournal::Load() const {
  std::error_code ec;
  const auto status = std::filesystem::status(file_, ec);
  if (!std::filesystem::exists(status)) {
    // A journal that is simply not there is the ordinary case and has no text of its own.
    if (ec && ec != std::errc::no_such_file_or_directory)
      return Error(ErrorCode::Io, file_.string() + ": " + ec.message(), ec.value());
    return Error(ErrorCode::NotFound, "");
  }
  // Only a regular file of sane size is read: never a FIFO to block on, never a huge file.
  const auto size =
      std::filesystem::is_regular_file(status) ? std::filesystem::file_size(file_, ec) : 0;
  if (!std::filesystem::is_regular_file(status) || ec || size > kMaxJournalBytes)
    return Error(ErrorCode::Corrupt, file_.string() + ": not a send journal");
  std::ifstream in(file_, std::ios::binary);
  std::string text(static_cast<size_t>(size), '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return Parse(text);
}

bool SendJournal::Remove() const { return ::unlink(file_.c_str()) == 0 || errno == ENOENT; }

}  // namespace dtl
