#include "archive/ZipWriter.h"

#include <libdeflate.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <stdexcept>

namespace dtl {
namespace {

constexpr size_t kLocalHeader = 30, kCentralHeader = 46, kEndRecord = 22;
constexpr uint64_t kMax32 = std::numeric_limits<uint32_t>::max();

void Put16(uint8_t* p, uint32_t v) {
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
}
void Put32(uint8_t* p, uint64_t v) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i));
}

struct EntryFields {
  uint16_t time, date;
  uint32_t crc;
  uint64_t compressed, size;
  size_t nameLen;
};

void FillLocalHeader(uint8_t* p, const EntryFields& e) {
  Put32(p + 0, 0x04034B50);
  Put16(p + 4, 20);
  Put16(p + 6, 0);
  Put16(p + 8, 8);
  Put16(p + 10, e.time);
  Put16(p + 12, e.date);
  Put32(p + 14, e.crc);
  Put32(p + 18, e.compressed);
  Put32(p + 22, e.size);
  Put16(p + 26, uint32_t(e.nameLen));
  Put16(p + 28, 0);
}

void FillCentralHeader(uint8_t* p, const EntryFields& e, uint64_t localOffset) {
  Put32(p + 0, 0x02014B50);
  Put16(p + 4, 0);
  Put16(p + 6, 20);
  Put16(p + 8, 0);
  Put16(p + 10, 8);
  Put16(p + 12, e.time);
  Put16(p + 14, e.date);
  Put32(p + 16, e.crc);
  Put32(p + 20, e.compressed);
  Put32(p + 24, e.size);
  Put16(p + 28, uint32_t(e.nameLen));
  Put16(p + 30, 0);
  Put16(p + 32, 0);
  Put16(p + 34, 0);
  Put16(p + 36, 0);
  Put32(p + 38, 0x80);
  Put32(p + 42, localOffset);
}

void FillEndRecord(uint8_t* p, size_t entries, uint64_t cdSize, uint64_t cdOffset) {
  Put32(p + 0, 0x06054B50);
  Put16(p + 4, 0);
  Put16(p + 6, 0);
  Put16(p + 8, uint32_t(entries));
  Put16(p + 10, uint32_t(entries));
  Put32(p + 12, cdSize);
  Put32(p + 16, cdOffset);
  Put16(p + 20, 0);
}

void ToDos(std::time_t when, uint16_t& dosTime, uint16_t& dosDate) {
  if (when == 0) when = std::time(nullptr);
  std::tm tm{};
  if (!localtime_r(&when, &tm)) tm = {};
  int year = tm.tm_year + 1900;
  // DOS dates count 7 bits of years from 1980; anything outside would wrap into a wrong date.
  if (year < 1980) {
    tm = {};
    tm.tm_mday = 1;
    year = 1980;
  } else if (year > 2107) {
    tm = {};
    tm.tm_mon = 11;
    tm.tm_mday = 31;
    tm.tm_hour = 23;
    tm.tm_min = 59;
    tm.tm_sec = 58;
    year = 2107;
  }
  dosTime = uint16_t((tm.tm_hour << 11) | (tm.tm_min << 5) | (std::min(tm.tm_sec, 59) / 2));
  dosDate = uint16_t(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
}

std::string ZipName(std::string_view name) {
  std::string s(name);
  std::replace(s.begin(), s.end(), '\\', '/');
  return s;
}

// Why an entry cannot be added, or "" when it can.
const char* Refusal(std::string_view name, size_t dataLen) {
  if (name.empty()) return "No filename was provided";
  if (dataLen == 0) return "Data length must be > 0";
  if (name.size() > 0xFFFF) return "File name is too long for a zip entry";
  if (dataLen > kMax32 - 1) return "Data is too large for a zip entry (4 GiB or more)";
  return "";
}

struct CompressorFree {
  void operator()(libdeflate_compressor* c) const { libdeflate_free_compressor(c); }
};
using Compressor = std::unique_ptr<libdeflate_compressor, CompressorFree>;

Compressor NewCompressor() {
  Compressor c(libdeflate_alloc_compressor(6));
  if (!c) throw std::bad_alloc();
  return c;
}

// Raw deflate of `in` into `out` (which has room for the bound); the compressed length.
size_t Deflate(libdeflate_compressor* c, std::span<const uint8_t> in, uint8_t* out, size_t room) {
  size_t n = libdeflate_deflate_compress(c, in.data(), in.size(), out, room);
  if (n == 0) throw std::runtime_error("deflate output exceeded its bound");  // cannot happen
  return n;
}

}  // namespace

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t len) {
  return libdeflate_crc32(crc, data, len);
}

ZipWriter::ZipWriter(std::time_t when) { ToDos(when, dosTime_, dosDate_); }

Status ZipWriter::AppendData(std::string_view name, const std::vector<uint8_t>& bytes) {
  return AppendData(name, std::span<const uint8_t>(bytes));
}

Status ZipWriter::AppendData(std::string_view name, std::span<const uint8_t> bytes) {
  std::string why = Refusal(name, bytes.size());
  if (why.empty() && entries_.size() >= 0xFFFF) why = "Too many entries for a zip archive";
  if (!why.empty()) return Error(ErrorCode::InvalidArgument, std::move(why));
  Compressor c = NewCompressor();
  Entry e;
  e.name = ZipName(name);
  e.size = bytes.size();
  e.crc = Crc32(0, bytes.data(), bytes.size());
  e.deflated.resize(libdeflate_deflate_compress_bound(c.get(), bytes.size()));
  e.deflated.resize(Deflate(c.get(), bytes, e.deflated.data(), e.deflated.size()));
  e.deflated.shrink_to_fit();
  entries_.push_back(std::move(e));
  return {};
}

Result<std::vector<uint8_t>> ZipWriter::WriteToMemory() const {
  std::vector<uint8_t> out;
  uint64_t local = 0, central = 0;
  for (const Entry& e : entries_) {
    local += kLocalHeader + e.name.size() + e.deflated.size();
    central += kCentralHeader + e.name.size();
  }
  for (const Entry& e : entries_) {
    if (e.deflated.size() > kMax32)
      return Error(ErrorCode::InvalidArgument, "Compressed data is too large for a zip entry");
  }
  // Every offset, the central directory's included, must fit its 32-bit field.
  if (local > kMax32 || central > kMax32)
    return Error(ErrorCode::InvalidArgument, "Zip archive is too large (4 GiB or more)");
  out.resize(local + central + kEndRecord);
  uint8_t* p = out.data();
  std::vector<uint64_t> offsets;
  offsets.reserve(entries_.size());
  for (const Entry& e : entries_) {
    offsets.push_back(uint64_t(p - out.data()));
    FillLocalHeader(p, {dosTime_, dosDate_, e.crc, e.deflated.size(), e.size, e.name.size()});
    p = std::copy(e.name.begin(), e.name.end(), p + kLocalHeader);
    p = std::copy(e.deflated.begin(), e.deflated.end(), p);
  }
  for (size_t i = 0; i < entries_.size(); ++i) {
    const Entry& e = entries_[i];
    FillCentralHeader(p, {dosTime_, dosDate_, e.crc, e.deflated.size(), e.size, e.name.size()},
                      offsets[i]);
    p = std::copy(e.name.begin(), e.name.end(), p + kCentralHeader);
  }
  FillEndRecord(p, entries_.size(), central, local);
  return out;
}

void WriteSingleEntryZip(std::string_view name, std::span<const uint8_t> bytes, std::time_t when,
                         size_t tailRoom, std::vector<uint8_t>& out) {
  uint16_t dosTime, dosDate;
  ToDos(when, dosTime, dosDate);
  out.clear();
  if (name.empty() || bytes.empty()) {
    out.reserve(kEndRecord + tailRoom);
    out.resize(kEndRecord);
    FillEndRecord(out.data(), 0, 0, 0);
    return;
  }
  if (const char* why = Refusal(name, bytes.size()); *why) throw std::length_error(why);
  std::string zipName = ZipName(name);
  Compressor c = NewCompressor();
  size_t bound = libdeflate_deflate_compress_bound(c.get(), bytes.size());
  size_t head = kLocalHeader + zipName.size();
  out.reserve(head + bound + kCentralHeader + zipName.size() + kEndRecord + tailRoom);
  out.resize(head + bound);
  size_t compressed = Deflate(c.get(), bytes, out.data() + head, bound);
  // Incompressible data just under 4 GiB can still overflow the 32-bit offsets.
  if (head + compressed + kCentralHeader + zipName.size() > kMax32)
    throw std::length_error("Zip archive is too large (4 GiB or more)");
  EntryFields f{dosTime,    dosDate,      Crc32(0, bytes.data(), bytes.size()),
                compressed, bytes.size(), zipName.size()};
  size_t cdOffset = head + compressed;
  out.resize(cdOffset + kCentralHeader + zipName.size() + kEndRecord);
  uint8_t* p = out.data();
  FillLocalHeader(p, f);
  std::copy(zipName.begin(), zipName.end(), p + kLocalHeader);
  FillCentralHeader(p + cdOffset, f, 0);
  std::copy(zipName.begin(), zipName.end(), p + cdOffset + kCentralHeader);
  FillEndRecord(p + cdOffset + kCentralHeader + zipName.size(), 1, kCentralHeader + zipName.size(),
                cdOffset);
}

}  // namespace dtl
