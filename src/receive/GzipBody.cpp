#include "receive/GzipBody.h"

#include <cstring>

namespace dtl {

namespace {
constexpr uint8_t kFlagHeaderCrc = 0x02;
constexpr uint8_t kFlagExtra = 0x04;
constexpr uint8_t kFlagName = 0x08;
constexpr uint8_t kFlagComment = 0x10;
constexpr uint8_t kFlagsReserved = 0xE0;
// Large enough that a fast local transfer is not throttled by call overhead, small enough to
// stay in cache.
constexpr size_t kOutChunk = 64 * 1024;
}  // namespace

GzipBody::GzipBody(uint64_t limit) : limit_(limit) {
  zsReady_ = inflateInit2(&zs_, -MAX_WBITS) == Z_OK;
}

GzipBody::~GzipBody() {
  if (zsReady_) inflateEnd(&zs_);
}

bool GzipBody::Fail(const char* why) {
  stage_ = Stage::Failed;
  error_ = why;
  return false;
}

// The optional header fields follow the flags in a fixed order; `from` is the field just
// finished, and the next one present (or the deflate data) comes after it.
void GzipBody::AfterFlagsField(Stage from) {
  static constexpr Stage kOrder[] = {Stage::ExtraLen1, Stage::Name, Stage::Comment,
                                     Stage::HeaderCrc, Stage::Deflate};
  static constexpr uint8_t kFlag[] = {kFlagExtra, kFlagName, kFlagComment, kFlagHeaderCrc, 0};
  size_t start = 0;
  if (from == Stage::Extra)
    start = 1;
  else if (from == Stage::Name)
    start = 2;
  else if (from == Stage::Comment)
    start = 3;
  else if (from == Stage::HeaderCrc)
    start = 4;
  for (size_t i = start; i < 5; ++i) {
    if (kFlag[i] == 0 || (flags_ & kFlag[i])) {
      stage_ = kOrder[i];
      if (stage_ == Stage::HeaderCrc) count_ = 2;
      return;
    }
  }
}

bool GzipBody::HeaderByte(uint8_t b) {
  switch (stage_) {
    case Stage::Magic1:
      if (b != 0x1F) return Fail("not a gzip body (bad magic)");
      stage_ = Stage::Magic2;
      return true;
    case Stage::Magic2:
      if (b != 0x8B) return Fail("not a gzip body (bad magic)");
      stage_ = Stage::Method;
      return true;
    case Stage::Method:
      if (b != 8) return Fail("gzip body with a compression method other than deflate");
      stage_ = Stage::Flags;
      return true;
    case Stage::Flags:
      if (b & kFlagsReserved) return Fail("gzip header with reserved flag bits set");
      flags_ = b;
      stage_ = Stage::Fixed;
      count_ = 6;  // modification time, extra flags, OS
      return true;
    case Stage::Fixed:
      if (--count_ == 0) AfterFlagsField(Stage::Fixed);
      return true;
    case Stage::ExtraLen1:
      count_ = b;
      stage_ = Stage::ExtraLen2;
      return true;
    case Stage::ExtraLen2:
      count_ |= static_cast<uint32_t>(b) << 8;
      if (count_ == 0)
        AfterFlagsField(Stage::Extra);
      else
        stage_ = Stage::Extra;
      return true;
    case Stage::Extra:
      if (--count_ == 0) AfterFlagsField(Stage::Extra);
      return true;
    case Stage::Name:
      if (b == 0) AfterFlagsField(Stage::Name);
      return true;
    case Stage::Comment:
      if (b == 0) AfterFlagsField(Stage::Comment);
      return true;
    case Stage::HeaderCrc:
      if (--count_ == 0) AfterFlagsField(Stage::HeaderCrc);
      return true;
    default: return true;
  }
}

bool GzipBody::Feed(const uint8_t* data, size_t size, const Sink& sink) {
  if (stage_ == Stage::Failed) return false;
  if (!zsReady_) return Fail("the inflate stream could not be set up");
  // A stream of empty blocks, or an endless name field, would otherwise be read for ever.
  received_ += size;
  if (received_ > limit_) return Fail("the gzip body is larger than any segment");
  size_t i = 0;
  while (i < size && stage_ < Stage::Deflate) {
    if (!HeaderByte(data[i++])) return false;
  }
  if (i < size && stage_ == Stage::Deflate) {
    uint8_t out[kOutChunk];
    zs_.next_in = const_cast<Bytef*>(data + i);
    zs_.avail_in = static_cast<uInt>(size - i);
    for (;;) {
      zs_.next_out = out;
      zs_.avail_out = sizeof out;
      int rc = inflate(&zs_, Z_SYNC_FLUSH);
      size_t got = sizeof out - zs_.avail_out;
      if (got) {
        if (got > limit_ - produced_) return Fail("the gzip body decodes to more than any segment");
        crc_ = static_cast<uint32_t>(crc32(crc_, out, static_cast<uInt>(got)));
        produced_ += got;
        if (!sink(out, got)) return Fail("the decoded data could not be stored");
      }
      if (rc == Z_STREAM_END) {
        stage_ = Stage::Trailer;
        break;
      }
      if (rc == Z_BUF_ERROR) break;  // needs more input
      if (rc != Z_OK) return Fail("corrupt deflate data in the gzip body");
      if (zs_.avail_in == 0 && zs_.avail_out != 0) break;
    }
    i = size - zs_.avail_in;
  }
  while (i < size && stage_ == Stage::Trailer) {
    trailer_[trailerGot_++] = data[i++];
    if (trailerGot_ == 8) {
      uint32_t crc = 0, isize = 0;
      for (int k = 3; k >= 0; --k) {
        crc = (crc << 8) | trailer_[k];
        isize = (isize << 8) | trailer_[4 + k];
      }
      if (crc != crc_) return Fail("gzip body fails its CRC-32 check");
      if (isize != static_cast<uint32_t>(produced_))
        return Fail("gzip body length does not match its trailer");
      stage_ = Stage::Done;
    }
  }
  return true;
}

std::string GzipBody::TruncationError() const {
  if (stage_ == Stage::Failed) return error_;
  if (stage_ == Stage::Done) return {};
  if (stage_ < Stage::Deflate) return "the gzip body ends inside its header";
  if (stage_ == Stage::Deflate) return "the gzip body ends inside its deflate data";
  return "the gzip body ends inside its trailer";
}

}  // namespace dtl
