#include "receive/ImapMailboxName.h"

#include <cstdint>
#include <vector>

namespace dtl {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+,";

bool Printable(unsigned char c) { return c >= 0x20 && c <= 0x7e; }

// Decodes UTF-8 strictly: a name that is not valid UTF-8 cannot be said in UTF-16 at all.
bool NextCodePoint(std::string_view s, size_t& i, uint32_t& cp) {
  const auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char c = b(i);
  int extra;
  uint32_t min;
  if (c < 0x80) {
    cp = c;
    ++i;
    return true;
  } else if ((c & 0xe0) == 0xc0) {
    cp = c & 0x1f, extra = 1, min = 0x80;
  } else if ((c & 0xf0) == 0xe0) {
    cp = c & 0x0f, extra = 2, min = 0x800;
  } else if ((c & 0xf8) == 0xf0) {
    cp = c & 0x07, extra = 3, min = 0x10000;
  } else {
    return false;
  }
  if (i + extra >= s.size()) return false;
  for (int k = 1; k <= extra; ++k) {
    if ((b(i + k) & 0xc0) != 0x80) return false;
    cp = (cp << 6) | (b(i + k) & 0x3f);
  }
  if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return false;
  i += extra + 1;
  return true;
}

void AppendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xc0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xe0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  } else {
    out.push_back(static_cast<char>(0xf0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3f)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3f)));
  }
}

void AppendRun(std::string& out, const std::vector<uint8_t>& utf16) {
  out.push_back('&');
  uint32_t bits = 0;
  int count = 0;
  for (uint8_t byte : utf16) {
    bits = (bits << 8) | byte;
    count += 8;
    while (count >= 6) {
      count -= 6;
      out.push_back(kAlphabet[(bits >> count) & 63]);
    }
  }
  if (count > 0) out.push_back(kAlphabet[(bits << (6 - count)) & 63]);
  out.push_back('-');
}

Error BadName(std::string_view name, const char* why) {
  return Error(ErrorCode::Protocol,
               "the IMAP server sent a mailbox name that is not modified UTF-7 (" +
                   std::string(why) + "): " + std::string(name));
}

}  // namespace

Result<std::string> EncodeMailboxName(std::string_view utf8) {
  std::string out;
  std::vector<uint8_t> run;  // UTF-16BE of the characters waiting to be written
  for (size_t i = 0; i < utf8.size();) {
    uint32_t cp;
    if (!NextCodePoint(utf8, i, cp) || cp == 0)
      return Error(ErrorCode::InvalidArgument,
                   "the folder name is not valid UTF-8: " + std::string(utf8));
    if (cp < 0x80 && Printable(static_cast<unsigned char>(cp))) {
      if (!run.empty()) {
        AppendRun(out, run);
        run.clear();
      }
      out.push_back(static_cast<char>(cp));
      if (cp == '&') out.push_back('-');
      continue;
    }
    const auto unit = [&](uint32_t u) {
      run.push_back(static_cast<uint8_t>(u >> 8));
      run.push_back(static_cast<uint8_t>(u & 0xff));
    };
    if (cp >= 0x10000) {
      unit(0xd800 + ((cp - 0x10000) >> 10));
      unit(0xdc00 + ((cp - 0x10000) & 0x3ff));
    } else {
      unit(cp);
    }
  }
  if (!run.empty()) AppendRun(out, run);
  return out;
}

Result<std::string> DecodeMailboxName(std::string_view mutf7) {
  std::string out;
  for (size_t i = 0; i < mutf7.size();) {
    const auto c = static_cast<unsigned char>(mutf7[i]);
    if (!Printable(c)) return BadName(mutf7, "a byte outside printable ASCII");
    if (c != '&') {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    const size_t end = mutf7.find('-', i + 1);
    if (end == std::string_view::npos) return BadName(mutf7, "an unterminated &-run");
    if (end == i + 1) {
      out.push_back('&');
      i = end + 1;
      continue;
    }
    std::vector<uint8_t> bytes;
    uint32_t bits = 0;
    int count = 0;
    for (size_t k = i + 1; k < end; ++k) {
      const char* p = std::char_traits<char>::find(kAlphabet, 64, mutf7[k]);
      if (!p) return BadName(mutf7, "a character outside its base64");
      bits = (bits << 6) | static_cast<uint32_t>(p - kAlphabet);
      count += 6;
      if (count >= 8) {
        count -= 8;
        bytes.push_back(static_cast<uint8_t>(bits >> count));
      }
    }
    // What is left over must be the zero padding of the last sextet.
    if ((bits & ((1u << count) - 1)) != 0 || bytes.size() % 2 != 0)
      return BadName(mutf7, "a cut UTF-16 run");
    for (size_t k = 0; k < bytes.size(); k += 2) {
      uint32_t u = (uint32_t{bytes[k]} << 8) | bytes[k + 1];
      if (u >= 0xd800 && u <= 0xdbff) {
        if (k + 3 >= bytes.size()) return BadName(mutf7, "an unpaired surrogate");
        const uint32_t low = (uint32_t{bytes[k + 2]} << 8) | bytes[k + 3];
        if (low < 0xdc00 || low > 0xdfff) return BadName(mutf7, "an unpaired surrogate");
        u = 0x10000 + ((u - 0xd800) << 10) + (low - 0xdc00);
        k += 2;
      } else if (u >= 0xdc00 && u <= 0xdfff) {
        return BadName(mutf7, "an unpaired surrogate");
      }
      // A run only ever holds what could not stand for itself.
      if (u < 0x80 && Printable(static_cast<unsigned char>(u)))
        return BadName(mutf7, "printable ASCII inside an &-run");
      if (u == 0) return BadName(mutf7, "a NUL character");
      AppendUtf8(out, u);
    }
    i = end + 1;
  }
  return out;
}

}  // namespace dtl
