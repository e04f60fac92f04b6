#include "archive/ZipReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <limits>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dtl {

namespace {

std::atomic<uint32_t> g_lastResult{ZIPR_OK};

uint32_t Report(uint32_t result) {
  g_lastResult.store(result, std::memory_order_relaxed);
  return result;
}

constexpr uint32_t kEndSignature = 0x06054b50;
constexpr uint32_t kCentralSignature = 0x02014b50;
constexpr uint32_t kLocalSignature = 0x04034b50;
constexpr size_t kEndSize = 22;
constexpr size_t kCentralSize = 46;
constexpr size_t kLocalSize = 30;
constexpr size_t kMaxComment = 65535;
// Input chunk for file sources and output chunk for file destinations: fixed, never derived
// from anything the archive declares.
constexpr size_t kChunk = 256 * 1024;
constexpr size_t kMaxDestinationName = 4096;

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& o) noexcept : fd_(o.release()) {}
  Fd& operator=(Fd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = o.release();
    }
    return *this;
  }
  int get() const { return fd_; }
  int release() {
    int f = fd_;
    fd_ = -1;
    return f;
  }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// What the walk learns about one entry from its central header and its local header.
struct EntryRecord {
  int32_t index = -1;
  ZipEntryInfo info;
  uint16_t flags = 0;
  uint16_t method = 0;
  uint32_t crc = 0;
  uint32_t compressedSize = 0;
  uint32_t uncompressedSize = 0;
  uint64_t dataStart = 0;  // position of the entry's data in the source view
};

// DOS stamps are local wall-clock time; Windows file times count 100 ns from 1601 in UTC.
uint64_t DosToFileTime(uint16_t date, uint16_t time) {
  std::tm tm{};
  tm.tm_year = 80 + (date >> 9);
  tm.tm_mon = ((date >> 5) & 0x0f) - 1;
  tm.tm_mday = date & 0x1f;
  tm.tm_hour = time >> 11;
  tm.tm_min = (time >> 5) & 0x3f;
  tm.tm_sec = (time & 0x1f) * 2;
  tm.tm_isdst = -1;
  std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1)) return 0;
  constexpr int64_t kEpochDelta = 11644473600;  // seconds from 1601-01-01 to 1970-01-01
  int64_t seconds = static_cast<int64_t>(t) + kEpochDelta;
  return seconds < 0 ? 0 : static_cast<uint64_t>(seconds) * 10000000u;
}

}  // namespace

struct ZipReaderState {
  // Source: a view of `size` bytes, either memory read in place or a descriptor read with
  // pread() from `base` on (pread leaves the caller's shared file offset alone).
  const uint8_t* memory = nullptr;
  Fd fd;
  uint64_t base = 0;
  uint64_t size = 0;

  // Set at open when the bytes are not a readable archive; every entry operation answers it.
  uint32_t openError = ZIPR_OK;
  uint32_t entryCount = 0;
  uint64_t centralStart = 0;  // in the source view, after correcting for bytes in front
  uint64_t centralEnd = 0;
  uint64_t prefix = 0;  // bytes that precede the archive

  // Walk position: the central header of entry `walkIndex` starts at `walkPos`.
  int32_t walkIndex = 0;
  uint64_t walkPos = 0;
  EntryRecord cached;  // cached.index is -1 while nothing is cached

  // The entry open for extraction into memory.
  int32_t openIndex = -1;
  EntryRecord current;
  z_stream zs{};
  bool zsReady = false;
  bool finished = false;
  uint64_t inputPos = 0;   // next compressed byte in the source view
  uint64_t inputLeft = 0;  // compressed bytes not yet handed to the decoder
  uint64_t produced = 0;   // uncompressed bytes delivered so far
  uint32_t crc = 0;
  std::vector<uint8_t> inputBuffer;  // file sources only, kChunk bytes

  std::string folder;  // current directory at open time, for file destinations
  std::atomic<bool> busy{false};

  ~ZipReaderState() { CloseEntry(); }

  void CloseEntry() {
    if (zsReady) inflateEnd(&zs);
    zsReady = false;
    openIndex = -1;
    finished = false;
  }

  // Copies source bytes [pos, pos+n) into dst; anything outside the real bytes is corrupt.
  uint32_t Read(uint64_t pos, size_t n, uint8_t* dst) const {
    if (pos > size || n > size - pos) return ZIPR_CORRUPT;
    if (memory) {
      if (n) std::memcpy(dst, memory + pos, n);
      return ZIPR_OK;
    }
    size_t done = 0;
    while (done < n) {
      ssize_t r = ::pread(fd.get(), dst + done, n - done, static_cast<off_t>(base + pos + done));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) return ZIPR_READ;  // the file shrank or failed under us
      done += static_cast<size_t>(r);
    }
    return ZIPR_OK;
  }
};

namespace {

struct Guard {
  explicit Guard(ZipReaderState& s) : state(s), owned(!s.busy.exchange(true)) {}
  ~Guard() {
    if (owned) state.busy.store(false);
  }
  ZipReaderState& state;
  bool owned;
};

// Finds the end record and checks that the archive it describes fits the bytes we have.
uint32_t LocateArchive(ZipReaderState& s) {
  if (s.size < kEndSize) return ZIPR_CORRUPT;
  const size_t tailSize = static_cast<size_t>(std::min<uint64_t>(s.size, kEndSize + kMaxComment));
  const uint64_t tailStart = s.size - tailSize;
  std::vector<uint8_t> ownTail;
  const uint8_t* tail;
  if (s.memory) {
    tail = s.memory + tailStart;
  } else {
    ownTail.resize(tailSize);
    if (uint32_t r = s.Read(tailStart, tailSize, ownTail.data())) return r;
    tail = ownTail.data();
  }
  // Search backwards. A record whose comment runs exactly to the end wins; otherwise the last
  // signature seen is used, so a comment that happens to contain the signature cannot hide the
  // real record, and trailing bytes after the record are tolerated.
  int64_t found = -1;
  for (int64_t i = static_cast<int64_t>(tailSize - kEndSize); i >= 0; --i) {
    const uint8_t* p = tail + i;
    if (Get32(p) != kEndSignature) continue;
    if (found < 0) found = i;
    if (static_cast<uint64_t>(i) + kEndSize + Get16(p + 20) == tailSize) {
      found = i;
      break;
    }
  }
  if (found < 0) return ZIPR_CORRUPT;
  const uint8_t* e = tail + found;
  const uint64_t endPos = tailStart + static_cast<uint64_t>(found);
  const uint16_t thisDisk = Get16(e + 4), centralDisk = Get16(e + 6);
  const uint16_t entriesHere = Get16(e + 8), entriesTotal = Get16(e + 10);
  const uint32_t centralSize = Get32(e + 12), centralOffset = Get32(e + 16);
  if (thisDisk != 0 || centralDisk != 0 || entriesHere != entriesTotal) return ZIPR_CORRUPT;
  if (endPos < static_cast<uint64_t>(centralOffset) + centralSize) return ZIPR_CORRUPT;
  if (static_cast<uint64_t>(entriesTotal) * kCentralSize > centralSize) return ZIPR_CORRUPT;
  s.prefix = endPos - centralOffset - centralSize;
  s.centralStart = s.prefix + centralOffset;
  s.centralEnd = s.centralStart + centralSize;
  s.entryCount = entriesTotal;
  s.walkIndex = 0;
  s.walkPos = s.centralStart;
  return ZIPR_OK;
}

uint32_t ReadCentral(ZipReaderState& s, uint64_t pos, uint8_t (&h)[kCentralSize], uint64_t& next) {
  if (pos > s.centralEnd || s.centralEnd - pos < kCentralSize) return ZIPR_CORRUPT;
  if (uint32_t r = s.Read(pos, kCentralSize, h)) return r;
  if (Get32(h) != kCentralSignature) return ZIPR_CORRUPT;
  const uint64_t length = kCentralSize + uint64_t{Get16(h + 28)} + Get16(h + 30) + Get16(h + 32);
  if (s.centralEnd - pos < length) return ZIPR_CORRUPT;
  next = pos + length;
  return ZIPR_OK;
}

// Walks the central directory to entry `index` (restarting from the first entry when it lies
// behind), checks its local header and fills `out`.
uint32_t FindEntry(ZipReaderState& s, int32_t index, EntryRecord& out) {
  uint8_t h[kCentralSize];
  uint64_t next = 0;
  if (index < s.walkIndex) {
    s.walkIndex = 0;
    s.walkPos = s.centralStart;
  }
  while (s.walkIndex < index) {
    if (uint32_t r = ReadCentral(s, s.walkPos, h, next)) return r;
    s.walkPos = next;
    ++s.walkIndex;
  }
  if (uint32_t r = ReadCentral(s, s.walkPos, h, next)) return r;

  EntryRecord e;
  e.index = index;
  e.flags = Get16(h + 8);
  e.method = Get16(h + 10);
  e.crc = Get32(h + 16);
  e.compressedSize = Get32(h + 20);
  e.uncompressedSize = Get32(h + 24);
  const uint16_t nameLength = Get16(h + 28);
  const size_t kept = std::min<size_t>(nameLength, sizeof e.info.name - 1);
  if (uint32_t r = s.Read(s.walkPos + kCentralSize, kept, reinterpret_cast<uint8_t*>(e.info.name)))
    return r;
  e.info.name[kept] = '\0';
  e.info.index = index;
  e.info.attributes = Get32(h + 38) & 0xff;
  e.info.modificationTime = DosToFileTime(Get16(h + 14), Get16(h + 12));
  e.info.accessTime = e.info.creationTime = e.info.modificationTime;
  e.info.compressedSize = static_cast<int32_t>(e.compressedSize);
  e.info.uncompressedSize = static_cast<int32_t>(e.uncompressedSize);

  // The local header and the data after it must lie in front of the central directory.
  const uint64_t local = s.prefix + Get32(h + 42);
  uint8_t l[kLocalSize];
  if (local > s.centralStart || s.centralStart - local < kLocalSize) return ZIPR_CORRUPT;
  if (uint32_t r = s.Read(local, kLocalSize, l)) return r;
  if (Get32(l) != kLocalSignature || Get16(l + 8) != e.method) return ZIPR_CORRUPT;
  e.dataStart = local + kLocalSize + Get16(l + 26) + Get16(l + 28);
  if (e.dataStart > s.centralStart || s.centralStart - e.dataStart < e.compressedSize)
    return ZIPR_CORRUPT;
  out = e;
  return ZIPR_OK;
}

uint32_t QueryEntry(ZipReaderState& s, int32_t index, EntryRecord*& out) {
  if (s.cached.index == index) {
    out = &s.cached;
    return ZIPR_OK;
  }
  EntryRecord e;
  if (uint32_t r = FindEntry(s, index, e)) return r;
  s.cached = e;
  out = &s.cached;
  return ZIPR_OK;
}

uint32_t OpenEntry(ZipReaderState& s, int32_t index) {
  s.CloseEntry();
  EntryRecord* e = nullptr;
  if (uint32_t r = QueryEntry(s, index, e)) return r;
  // Encrypted entries and methods other than stored and deflated cannot be read here.
  if ((e->flags & 1) != 0) return ZIPR_CORRUPT;
  if (e->method == 0) {
    if (e->compressedSize != e->uncompressedSize) return ZIPR_CORRUPT;
  } else if (e->method == 8) {
    s.zs = z_stream{};
    if (inflateInit2(&s.zs, -MAX_WBITS) != Z_OK) return ZIPR_FLATE;
    s.zsReady = true;
    if (!s.memory && s.inputBuffer.size() != kChunk) s.inputBuffer.resize(kChunk);
  } else {
    return ZIPR_CORRUPT;
  }
  s.current = *e;
  s.openIndex = index;
  s.finished = false;
  s.inputPos = e->dataStart;
  s.inputLeft = e->compressedSize;
  s.produced = 0;
  s.crc = static_cast<uint32_t>(crc32(0, nullptr, 0));
  return ZIPR_OK;
}

// Produces up to `room` bytes of the open entry into `out`; never more than the entry declares.
// Sets `got` and, when the data is complete, s.finished.
uint32_t Produce(ZipReaderState& s, uint8_t* out, size_t room, size_t& got) {
  got = 0;
  const uint64_t allowed = s.current.uncompressedSize - s.produced;
  if (s.current.method == 0) {
    const size_t n = static_cast<size_t>(std::min<uint64_t>(room, allowed));
    if (uint32_t r = s.Read(s.inputPos, n, out)) return r;
    s.inputPos += n;
    s.inputLeft -= n;
    got = n;
    if (s.inputLeft == 0) s.finished = true;
    return ZIPR_OK;
  }

  // Once the declared size is reached, inflate into a one-byte probe: the stream must end
  // here, and a byte that still comes out means the entry is longer than it claims.
  uint8_t probe;
  const bool probing = allowed == 0;
  if (!probing && room == 0) return ZIPR_OK;
  uint8_t* target = probing ? &probe : out;
  const size_t want = probing ? 1 : static_cast<size_t>(std::min<uint64_t>(room, allowed));
  for (;;) {
    if (s.zs.avail_in == 0 && s.inputLeft > 0) {
      if (s.memory) {
        const uint64_t n = std::min<uint64_t>(s.inputLeft, std::numeric_limits<uInt>::max());
        s.zs.next_in = const_cast<Bytef*>(s.memory + s.inputPos);
        s.zs.avail_in = static_cast<uInt>(n);
        s.inputPos += n;
        s.inputLeft -= n;
      } else {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(s.inputLeft, s.inputBuffer.size()));
        if (uint32_t r = s.Read(s.inputPos, n, s.inputBuffer.data())) return r;
        s.zs.next_in = s.inputBuffer.data();
        s.zs.avail_in = static_cast<uInt>(n);
        s.inputPos += n;
        s.inputLeft -= n;
      }
    }
    const size_t chunk = std::min<size_t>(want - got, std::numeric_limits<uInt>::max());
    s.zs.next_out = target + got;
    s.zs.avail_out = static_cast<uInt>(chunk);
    const int z = inflate(&s.zs, Z_NO_FLUSH);
    const size_t made = chunk - s.zs.avail_out;
    if (probing && made > 0) return ZIPR_CORRUPT;
    got += made;
    if (z == Z_STREAM_END) {
      s.finished = true;
      return ZIPR_OK;
    }
    if (z == Z_BUF_ERROR && s.zs.avail_in == 0 && s.inputLeft == 0) return ZIPR_FLATE;  // cut short
    if (z != Z_OK && z != Z_BUF_ERROR) return ZIPR_FLATE;
    if (got == want && !probing) return ZIPR_OK;
  }
}

// One step of extraction into `out`: ZIPR_OK when the entry is complete and verified,
// ZIPR_MORE when `out` is full and data remains, an error otherwise. The entry is closed
// unless the answer is ZIPR_MORE.
uint32_t ExtractStep(ZipReaderState& s, uint8_t* out, size_t room, size_t& written) {
  written = 0;
  for (;;) {
    if (s.finished) {
      const bool sound = s.produced == s.current.uncompressedSize && s.crc == s.current.crc;
      s.CloseEntry();
      return sound ? ZIPR_OK : ZIPR_CORRUPT;
    }
    if (room == written && s.produced < s.current.uncompressedSize) return ZIPR_MORE;
    size_t got = 0;
    uint32_t r = Produce(s, out + written, room - written, got);
    if (got) {
      s.crc = static_cast<uint32_t>(crc32_z(s.crc, out + written, got));
      s.produced += got;
      written += got;
    }
    if (r != ZIPR_OK) {
      s.CloseEntry();
      return r;
    }
  }
}

uint32_t WriteAll(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return ZIPR_WRITE;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return ZIPR_OK;
}

// Whole-entry extraction to a descriptor, in fixed-size chunks.
uint32_t ExtractToFd(ZipReaderState& s, int32_t index, int fd) {
  if (uint32_t r = OpenEntry(s, index)) return r;
  std::vector<uint8_t> chunk(kChunk);
  for (;;) {
    size_t written = 0;
    uint32_t r = ExtractStep(s, chunk.data(), chunk.size(), written);
    if (r != ZIPR_OK && r != ZIPR_MORE) return r;
    if (uint32_t w = WriteAll(fd, chunk.data(), written)) {
      s.CloseEntry();
      return w;
    }
    if (r == ZIPR_OK) return ZIPR_OK;
  }
}

// Splits a relative destination name into its parts; refuses absolute names, ".." parts and
// names the caller did not terminate within a sane length.
bool SplitDestination(const char* name, std::vector<std::string>& parts, bool& isFolder) {
  if (!name) return false;
  const size_t n = strnlen(name, kMaxDestinationName + 1);
  if (n == 0 || n > kMaxDestinationName || name[0] == '/') return false;
  std::string_view all(name, n);
  isFolder = all.back() == '/';
  size_t start = 0;
  while (start <= all.size()) {
    size_t end = all.find('/', start);
    if (end == std::string_view::npos) end = all.size();
    std::string_view part = all.substr(start, end - start);
    if (part == "..") return false;
    if (!part.empty() && part != ".") parts.emplace_back(part);
    start = end + 1;
  }
  return !parts.empty() || isFolder;
}

uint32_t ExtractToName(ZipReaderState& s, int32_t index, const char* name) {
  std::vector<std::string> parts;
  bool isFolder = false;
  if (!SplitDestination(name, parts, isFolder)) return ZIPR_ARGS;
  // Check the entry before touching the file system, so a bad entry leaves nothing behind.
  EntryRecord* e = nullptr;
  if (uint32_t r = QueryEntry(s, index, e)) return r;
  if (s.folder.empty()) return ZIPR_NOFILE;
  Fd dir(::open(s.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.get() < 0) return ZIPR_NOFILE;
  // One level at a time, never following a link planted inside the tree.
  const size_t folders = isFolder ? parts.size() : parts.size() - 1;
  for (size_t i = 0; i < folders; ++i) {
    if (::mkdirat(dir.get(), parts[i].c_str(), 0777) != 0 && errno != EEXIST) return ZIPR_NOFILE;
    Fd sub(::openat(dir.get(), parts[i].c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (sub.get() < 0) return ZIPR_NOFILE;
    dir = std::move(sub);
  }
  if (isFolder) return ZIPR_OK;
  const char* leaf = parts.back().c_str();
  Fd out(::openat(dir.get(), leaf, O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
  if (out.get() < 0) return ZIPR_NOFILE;
  uint32_t r = ExtractToFd(s, index, out.get());
  if (r != ZIPR_OK) ::unlinkat(dir.get(), leaf, 0);  // a damaged entry leaves no file behind
  return r;
}

uint32_t CheckHandle(ZipHandle handle) {
  if (!handle) return ZIPR_ARGS;
  if (handle->kind != 1) return ZIPR_ZMODE;
  if (!handle->state) return ZIPR_ARGS;
  return ZIPR_OK;
}

}  // namespace

ZipHandle ZipOpen(const void* source, uint32_t length, uint32_t sourceKind) {
  auto state = std::make_unique<ZipReaderState>();
  switch (sourceKind) {
    case ZIP_HANDLE: {
      const int fd = static_cast<int>(reinterpret_cast<intptr_t>(source));
      Fd dup(fd < 0 ? -1 : ::fcntl(fd, F_DUPFD_CLOEXEC, 0));
      if (dup.get() < 0) {
        Report(ZIPR_NODUPH);
        return nullptr;
      }
      struct stat st;
      if (::fstat(dup.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        Report(ZIPR_SEEK);
        return nullptr;
      }
      const off_t pos = ::lseek(dup.get(), 0, SEEK_CUR);
      if (pos < 0) {
        Report(ZIPR_SEEK);
        return nullptr;
      }
      state->base = static_cast<uint64_t>(pos);
      state->size = static_cast<uint64_t>(st.st_size) > state->base ? st.st_size - state->base : 0;
      state->fd = std::move(dup);
      break;
    }
    case ZIP_FILENAME: {
      if (!source) {
        Report(ZIPR_ARGS);
        return nullptr;
      }
      // O_NONBLOCK keeps a named pipe from hanging the open; it is refused just below.
      Fd fd(::open(static_cast<const char*>(source), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
      if (fd.get() < 0) {
        Report(ZIPR_NOFILE);
        return nullptr;
      }
      struct stat st;
      if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        Report(ZIPR_SEEK);
        return nullptr;
      }
      state->size = static_cast<uint64_t>(st.st_size);
      state->fd = std::move(fd);
      break;
    }
    case ZIP_MEMORY:
      if (!source && length != 0) {
        Report(ZIPR_ARGS);
        return nullptr;
      }
      state->memory = static_cast<const uint8_t*>(source);
      state->size = length;
      if (!state->memory) state->memory = reinterpret_cast<const uint8_t*>("");
      break;
    default: Report(ZIPR_ARGS); return nullptr;
  }
  std::vector<char> cwd(4096);
  while (!::getcwd(cwd.data(), cwd.size())) {
    if (errno != ERANGE || cwd.size() >= (1u << 20)) {
      cwd[0] = '\0';
      break;
    }
    cwd.resize(cwd.size() * 2);
  }
  state->folder = cwd.data();
  state->openError = LocateArchive(*state);
  auto* handle = new ZipHandleData{1, state.release()};
  Report(ZIPR_OK);
  return handle;
}

uint32_t ZipGetEntry(ZipHandle handle, int32_t index, ZipEntryInfo& entry) {
  if (uint32_t r = CheckHandle(handle)) return Report(r);
  ZipReaderState& s = *handle->state;
  Guard guard(s);
  if (!guard.owned) return Report(ZIPR_NOTINITED);
  if (s.openError) return Report(s.openError);
  if (index == -1) {
    entry = ZipEntryInfo{};
    entry.index = static_cast<int32_t>(s.entryCount);
    return Report(ZIPR_OK);
  }
  if (index < -1 || static_cast<uint32_t>(index) >= s.entryCount) return Report(ZIPR_ARGS);
  EntryRecord* e = nullptr;
  if (uint32_t r = QueryEntry(s, index, e)) return Report(r);
  entry = e->info;
  return Report(ZIPR_OK);
}

uint32_t ZipExtract(ZipHandle handle, int32_t index, void* destination, uint32_t length,
                    uint32_t destinationKind) {
  if (uint32_t r = CheckHandle(handle)) return Report(r);
  ZipReaderState& s = *handle->state;
  Guard guard(s);
  if (!guard.owned) return Report(ZIPR_NOTINITED);
  if (destinationKind != ZIP_MEMORY && destinationKind != ZIP_HANDLE &&
      destinationKind != ZIP_FILENAME)
    return Report(ZIPR_ARGS);
  if (s.openError) return Report(s.openError);
  if (index < 0 || static_cast<uint32_t>(index) >= s.entryCount) return Report(ZIPR_ARGS);

  switch (destinationKind) {
    case ZIP_MEMORY: {
      if (!destination && length != 0) return Report(ZIPR_ARGS);
      if (s.openIndex != index) {
        if (uint32_t r = OpenEntry(s, index)) return Report(r);
      }
      size_t written = 0;
      return Report(ExtractStep(s, static_cast<uint8_t*>(destination), length, written));
    }
    case ZIP_HANDLE: {
      const int fd = static_cast<int>(reinterpret_cast<intptr_t>(destination));
      if (fd < 0 || ::fcntl(fd, F_GETFL) < 0) return Report(ZIPR_NOFILE);
      return Report(ExtractToFd(s, index, fd));
    }
    default: return Report(ExtractToName(s, index, static_cast<const char*>(destination)));
  }
}

void ZipClose(ZipHandle handle) {
  if (!handle) return;
  if (handle->kind != 1) {
    Report(ZIPR_ZMODE);
    return;
  }
  delete handle->state;
  handle->kind = 0;
  handle->state = nullptr;
  delete handle;
  Report(ZIPR_OK);
}

uint32_t ZipLastResult() { return g_lastResult.load(std::memory_order_relaxed); }

}  // namespace dtl
