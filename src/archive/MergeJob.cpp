#include "archive/MergeJob.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <thread>

#include "archive/SegmentArchive.h"
#include "archive/SegmentBounds.h"
#include "archive/SegmentCipher.h"
#include "archive/SegmentRecovery.h"
#include "archive/Par2.h"
#include "archive/ZipReader.h"
#include "base/SecretMemory.h"

namespace dtl {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view kDescriptorExt = ".dtl";
constexpr std::string_view kStoredDescriptorEnding = ".dtl.doc";
constexpr std::string_view kStoredSuffix = ".doc";

// Entries are pulled out in chunks of this size; a segment never holds more than
// kChunksPerSegment of them in memory ahead of the writer, whatever its entry claims to hold,
// and the segments behind the one being written hold at most kChunksBuffered together. Memory
// therefore stays near one segment file per decoder plus a fixed 40 MiB, whatever the file size
// and whatever the segments claim.
constexpr uint32_t kChunkSize = 1u << 20;
constexpr size_t kChunksPerSegment = 8;
constexpr size_t kChunksBuffered = 32;

std::string UnzipMessage(const fs::path& segment) {
  return "Unable to unzip " + segment.string() +
         ", either the file is corrupt or you entered the wrong password.";
}
// A segment that cannot be one of ours: saying so spares the user hunting for a wrong password.
std::string TooLargeMessage(const fs::path& segment) {
  return "Unable to unzip " + segment.string() +
         ": segment " + segment.filename().string() +
         " is larger than the largest segment (10,000,000 bytes).";
}
std::string WriteMessage(const std::string& systemText) {
  std::string text = systemText.substr(0, 1024);
  return "Could not merge segment file: " + text;
}
std::string MissingMessage(const fs::path& segment) {
  return "Could not complete the merge.\n\nCould not find segment:\n" + segment.string();
}
// What a file that did not merge completely left behind, appended to its failure text so the
// user learns which segments to fetch again and that the final name holds nothing yet. Empty
// when nothing was kept: the failure text alone then says all there is.
std::string KeptNote(uint64_t merged, const fs::path& partial) {
  if (partial.empty() || merged == 0) return {};
  std::string which =
      merged == 1 ? "Segment 0 is" : "Segments 0-" + std::to_string(merged - 1) + " are";
  return "\n\n" + which + " kept in:\n" + partial.string();
}

constexpr std::string_view kPartialEnding = ".incomplete";

bool EndsWith(std::string_view s, std::string_view tail) {
  return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

std::string_view WithoutStoredSuffix(std::string_view file) {
  if (EndsWith(file, kStoredSuffix)) file.remove_suffix(kStoredSuffix.size());
  return file;
}

bool IsRecoveryFileOf(std::string_view file, std::string_view name) {
  const auto data = RecoveryDataName(WithoutStoredSuffix(file));
  return data && *data == name;
}

fs::path FolderOf(const MergeJob::Names& names) {
  return names.prefix.empty() ? fs::path(".") : fs::path(names.prefix);
}

// Entries matching N ".*" in the folder P (files, folders and anything else, as a directory
// listing would show them). An unfinished output of an earlier merge into the same folder is
// this program's own leftover, never a segment, so it does not raise the count; nor do the
// file's recovery files ("movie.avi.par2", "movie.avi.vol00+01.par2", either with ".doc"), which
// sit beside the segments but are no numbered piece of the file.
uint64_t CountMatching(const MergeJob::Names& names) {
  std::error_code ec;
  std::string head = names.name + ".";
  const std::string partial = names.name + std::string(kPartialEnding);
  uint64_t count = 0;
  for (fs::directory_iterator it(FolderOf(names), ec), end; !ec && it != end; it.increment(ec)) {
    std::string entry = it->path().filename().string();
    if (entry.size() > head.size() && entry.compare(0, head.size(), head) == 0 && entry != partial &&
        !IsRecoveryFileOf(entry, names.name))
      ++count;
  }
  return count;
}

// The numbers known to be missing when segment `first` is: it, and every number between it and
// the highest numbered segment in the folder that has no file. Without a count in the descriptor
// nothing can be said about numbers above the highest one present.
std::vector<MergeJob::SegmentRange> MissingRanges(const MergeJob::Names& names, uint64_t first) {
  const std::string head = names.name + ".";
  std::vector<uint64_t> present;
  std::error_code ec;
  for (fs::directory_iterator it(FolderOf(names), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string entry = it->path().filename().string();
    if (entry.size() <= head.size() + names.segmentSuffix.size() ||
        entry.compare(0, head.size(), head) != 0 || !EndsWith(entry, names.segmentSuffix))
      continue;
    const std::string digits =
        entry.substr(head.size(), entry.size() - head.size() - names.segmentSuffix.size());
    if (digits.size() > 19 || digits.find_first_not_of("0123456789") != std::string::npos) continue;
    const uint64_t k = std::stoull(digits);
    // Only the spelling the merge itself would open ("007", not "7" or "0007") is that segment.
    if (k > first && MergeJob::SegmentPath(names, k).filename() == entry) present.push_back(k);
  }
  std::sort(present.begin(), present.end());
  std::vector<MergeJob::SegmentRange> missing;
  uint64_t next = first;  // lowest number not yet accounted for
  for (uint64_t k : present) {
    if (k > next) missing.push_back({next, k - 1});
    next = k + 1;
  }
  if (missing.empty() || missing.front().first != first)
    missing.insert(missing.begin(), {first, first});
  return missing;
}

struct ChunkPool {
  std::mutex mu;
  std::vector<std::unique_ptr<uint8_t[]>> free;
  std::unique_ptr<uint8_t[]> Get() {
    std::lock_guard lock(mu);
    if (free.empty()) return std::unique_ptr<uint8_t[]>(new uint8_t[kChunkSize]);
    auto b = std::move(free.back());
    free.pop_back();
    return b;
  }
  void Put(std::unique_ptr<uint8_t[]> b) {
    std::lock_guard lock(mu);
    if (free.size() < kChunksBuffered) free.push_back(std::move(b));
  }
};

struct Chunk {
  std::unique_ptr<uint8_t[]> data;
  size_t size = 0;
};

// One numbered segment on its way from a decoder to the writer.
struct Slot {
  enum class State { Decoding, Missing, Done, Failed, TooLarge };
  State state = State::Decoding;
  std::deque<Chunk> chunks;
};

// Reads a whole segment file. Returns false with `missing` set when there is no such file;
// false without it when the file exists but cannot be read as a segment (also when it is larger
// than any segment archive: the file is read into memory whole).
bool ReadSegmentFile(const fs::path& path, std::vector<uint8_t>& out, bool& missing,
                     bool& tooLarge) {
  missing = false;
  tooLarge = false;
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    missing = (errno == ENOENT || errno == ENOTDIR);
    return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<uint64_t>(st.st_size) > kLargestSegmentArchive) {
    tooLarge = S_ISREG(st.st_mode) && static_cast<uint64_t>(st.st_size) > kLargestSegmentArchive;
    ::close(fd);
    return false;
  }
  size_t size = static_cast<size_t>(st.st_size);
  out.resize(size);
  size_t got = 0;
  while (got < size) {
    ssize_t r = ::read(fd, out.data() + got, size - got);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  ::close(fd);
  // A file that shrank while being read is judged on what it held.
  out.resize(got);
  return true;
}

// Reads, decrypts and inflates the segment file at `path` (read whole into `archive`, which is
// reused between calls), handing the entry's bytes to `emit` in chunks from `pool`; `emit`
// returns false to give up (the segment then counts as Failed). Done only when the entry
// inflated completely and matched its size and CRC: the merge and the receive's check of a
// downloaded segment both judge a segment here, so they can never disagree.
template <class Emit>
Slot::State DecodeSegmentFile(const fs::path& path, std::vector<uint8_t>& archive,
                              std::string_view password, ChunkPool& pool, Emit&& emit) {
  bool missing = false, tooLarge = false;
  if (!ReadSegmentFile(path, archive, missing, tooLarge))
    return missing    ? Slot::State::Missing
           : tooLarge ? Slot::State::TooLarge
                      : Slot::State::Failed;
  // The AES form is whole blocks, two at least; anything else was cut or is not one.
  if (archive.size() < 32 || archive.size() % 16 != 0) return Slot::State::Failed;
  DecryptSegmentInPlace(archive, password);

  ZipHandle h = ZipOpen(archive.data(), static_cast<uint32_t>(archive.size()), ZIP_MEMORY);
  if (!h) return Slot::State::Failed;
  struct Closer {
    ZipHandle h;
    ~Closer() { ZipClose(h); }
  } closer{h};
  ZipEntryInfo entry{};
  if (ZipGetEntry(h, 0, entry) != ZIPR_OK) return Slot::State::Failed;
  // No segment carries more than the largest payload; an entry claiming more is a bomb or
  // garbage, and would otherwise be inflated onto the disk up to its 4 GiB claim.
  if (static_cast<uint32_t>(entry.uncompressedSize) > kLargestSegmentPayload)
    return Slot::State::TooLarge;

  // The declared size is used only to learn how much of the last chunk is filled; the reader
  // checks it (and the CRC) against the data, so it is never an allocation size here.
  const uint64_t declared = static_cast<uint32_t>(entry.uncompressedSize);
  uint64_t delivered = 0;
  for (;;) {
    Chunk chunk{pool.Get(), 0};
    uint32_t r = ZipExtract(h, 0, chunk.data.get(), kChunkSize, ZIP_MEMORY);
    if (r == ZIPR_MORE) {
      chunk.size = kChunkSize;
    } else if (r == ZIPR_OK) {
      if (declared < delivered || declared - delivered > kChunkSize) {
        pool.Put(std::move(chunk.data));
        return Slot::State::Failed;
      }
      chunk.size = static_cast<size_t>(declared - delivered);
    } else {
      pool.Put(std::move(chunk.data));
      return Slot::State::Failed;
    }
    delivered += chunk.size;
    if (delivered > declared) {
      pool.Put(std::move(chunk.data));
      return Slot::State::Failed;
    }
    if (chunk.size > 0) {
      if (!emit(std::move(chunk))) return Slot::State::Failed;
    } else {
      pool.Put(std::move(chunk.data));
    }
    if (r == ZIPR_OK) return Slot::State::Done;
  }
}

// Decodes the segments of one descriptor ahead of the writer on a few threads, and hands them
// to the writer in order. Each decoder owns one segment at a time and the window of segments
// being decoded never exceeds the decoder count.
class SegmentPipeline {
 public:
  SegmentPipeline(const MergeJob::Names& names, fs::path descriptor, std::string password,
                  unsigned decoders)
      : names_(names),
        descriptor_(std::move(descriptor)),
        password_(std::move(password)),
        window_(std::max(1u, decoders)) {
    for (unsigned i = 0; i < window_; ++i) threads_.emplace_back([this] { DecodeLoop(); });
  }

  ~SegmentPipeline() {
    {
      std::lock_guard lock(mu_);
      stop_ = true;
    }
    cv_.notify_all();
    for (auto& t : threads_) t.join();
    WipeSecret(password_);
  }

  fs::path PathOf(uint64_t k) const {
    return k == 0 ? descriptor_ : MergeJob::SegmentPath(names_, k);
  }

  enum class Next { Chunk, Done, Missing, Failed, TooLarge };

  // Waits for the next piece of segment k (the writer asks for k = 0, 1, 2, ... in order and
  // drains each before moving on). On Next::Chunk, `chunk` holds bytes to append.
  Next Take(uint64_t k, Chunk& chunk) {
    std::unique_lock lock(mu_);
    writerAt_ = k;
    cv_.notify_all();
    for (;;) {
      auto it = slots_.find(k);
      if (it != slots_.end()) {
        Slot& s = it->second;
        if (!s.chunks.empty()) {
          chunk = std::move(s.chunks.front());
          s.chunks.pop_front();
          --buffered_;
          cv_.notify_all();
          return Next::Chunk;
        }
        if (s.state != Slot::State::Decoding) {
          Next n = s.state == Slot::State::Done      ? Next::Done
                   : s.state == Slot::State::Missing  ? Next::Missing
                   : s.state == Slot::State::TooLarge ? Next::TooLarge
                                                      : Next::Failed;
          slots_.erase(it);
          cv_.notify_all();
          return n;
        }
      }
      cv_.wait(lock);
    }
  }

  void Recycle(Chunk& chunk) {
    if (chunk.data) pool_.Put(std::move(chunk.data));
    chunk.size = 0;
  }

 private:
  void DecodeLoop() {
    std::vector<uint8_t> archive;
    for (;;) {
      uint64_t k;
      {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [&] { return stop_ || (next_ < end_ && next_ < writerAt_ + window_); });
        if (stop_) return;
        k = next_++;
        slots_[k];
      }
      Slot::State result = Decode(k, archive);
      {
        std::lock_guard lock(mu_);
        slots_[k].state = result;
        // Nothing after a missing or unreadable segment is ever written.
        if (result != Slot::State::Done) end_ = std::min(end_, k + 1);
      }
      cv_.notify_all();
      if (archive.capacity() > (64u << 20)) std::vector<uint8_t>().swap(archive);
    }
  }

  Slot::State Decode(uint64_t k, std::vector<uint8_t>& archive) {
    return DecodeSegmentFile(PathOf(k), archive, password_, pool_, [&](Chunk&& chunk) {
      std::unique_lock lock(mu_);
      // The segment being written is never held back by the shared limit, so the writer always
      // has something to drain and the decoders behind it always get room again.
      cv_.wait(lock, [&] {
        return stop_ || (slots_[k].chunks.size() < kChunksPerSegment &&
                         (k == writerAt_ || buffered_ < kChunksBuffered));
      });
      if (stop_) return false;
      slots_[k].chunks.push_back(std::move(chunk));
      ++buffered_;
      lock.unlock();
      cv_.notify_all();
      return true;
    });
  }

  const MergeJob::Names& names_;
  const fs::path descriptor_;
  std::string password_;  // wiped when the pipeline ends
  const uint64_t window_;

  std::mutex mu_;
  std::condition_variable cv_;
  std::map<uint64_t, Slot> slots_;
  uint64_t next_ = 0;          // next segment number a decoder claims
  uint64_t end_ = UINT64_MAX;  // no segment at or beyond this number is decoded
  uint64_t writerAt_ = 0;      // the segment the writer is waiting for
  size_t buffered_ = 0;        // chunks waiting in all slots
  bool stop_ = false;
  ChunkPool pool_;
  std::vector<std::thread> threads_;
};

bool AllZero(const uint8_t* p, size_t n) {
  return n > 0 && p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0;
}

// Keeps the output file open across the segments of one descriptor. Whole chunks of zeros are
// skipped over instead of written, so images that are mostly holes come back as holes and cost
// no disk writes; the file is extended to its full length when each segment ends.
//
// The file is a new one in the save folder, created exclusively and without following a link,
// under a name the merge never counts as a segment (".dtl-merge-" and six random characters):
// nothing that already exists there, planted or the user's own, is ever written through.
class OutputFile {
 public:
  explicit OutputFile(fs::path folder) : folder_(std::move(folder)) {}
  ~OutputFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  // Every error is Io with the bare system text as its message (the merge words it) and
  // `system` = errno.
  // Creates the temporary file on the first call; later calls do nothing.
  Status Open() {
    if (fd_ >= 0) return {};
    static constexpr char kLetters[] =
        "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    std::random_device random;
    for (int attempt = 0; fd_ < 0; ++attempt) {
      std::string name = ".dtl-merge-";
      for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
      path_ = folder_ / name;
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
      if (fd_ < 0 && (errno != EEXIST || attempt >= 100)) {
        path_.clear();
        return SystemError(errno);
      }
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return SystemError(errno);
    // Only a regular file can hold a hole; anything else gets every byte written.
    sparse_ = S_ISREG(st.st_mode);
    size_ = physical_ = sparse_ ? static_cast<uint64_t>(st.st_size) : 0;
    return {};
  }
  Status Append(const uint8_t* p, size_t n) {
    if (sparse_ && n >= 4096 && AllZero(p, n)) {
      size_ += n;
      return {};
    }
    while (n > 0) {
      ssize_t w = sparse_ ? ::pwrite(fd_, p, n, static_cast<off_t>(size_)) : ::write(fd_, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return SystemError(w == 0 ? EIO : errno);
      p += w;
      n -= static_cast<size_t>(w);
      size_ += static_cast<uint64_t>(w);
    }
    physical_ = std::max(physical_, size_);
    return {};
  }
  // Gives the file its full length when it ends in skipped zeros.
  Status Settle() {
    if (fd_ < 0 || physical_ >= size_) return {};
    if (::ftruncate(fd_, static_cast<off_t>(size_)) != 0) return SystemError(errno);
    physical_ = size_;
    return {};
  }
  // Drops whatever a segment that then failed had already appended.
  void TruncateTo(uint64_t size) {
    if (fd_ >= 0 && sparse_ && size < size_ && ::ftruncate(fd_, static_cast<off_t>(size)) == 0)
      size_ = physical_ = size;
  }
  // The first failure wins: a Settle error is reported even when the close then fails too.
  Status Close() {
    if (fd_ < 0) return {};
    Status settled = Settle();
    int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0 && settled) return SystemError(errno);
    return settled;
  }
  uint64_t Size() const { return size_; }
  // The temporary file; empty until Open() succeeded.
  const fs::path& Path() const { return path_; }

 private:
  static Error SystemError(int err) { return Error(ErrorCode::Io, std::strerror(err), err); }

  fs::path folder_;
  fs::path path_;
  int fd_ = -1;
  bool sparse_ = false;
  uint64_t size_ = 0;      // logical length: where the next byte goes
  uint64_t physical_ = 0;  // length the file has on disk
};

bool SameFile(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  return fs::equivalent(a, b, ec) && !ec;
}

// Anything at all under that name, a dangling link included.
bool Occupied(const fs::path& p) {
  struct stat st {};
  return ::lstat(p.c_str(), &st) == 0;
}

bool Keeps(ReplaceMode m) { return m == ReplaceMode::Skip || m == ReplaceMode::SkipAll; }

}  // namespace

bool MergeJob::Report::AllComplete() const {
  if (!status) return false;
  return std::all_of(files.begin(), files.end(), [](const FileResult& f) {
    return f.outcome == Outcome::Complete || f.outcome == Outcome::Kept;
  });
}

fs::path MergeJob::DescriptorFor(const fs::path& path) {
  const std::string file = path.filename().string();
  const auto data = RecoveryDataName(WithoutStoredSuffix(file));
  if (!data) return path;
  const fs::path folder = path.parent_path();
  const fs::path plain = folder / (*data + std::string(kDescriptorExt));
  const fs::path stored = folder / (*data + std::string(kStoredDescriptorEnding));
  std::error_code ec;
  const bool havePlain = fs::exists(plain, ec), haveStored = fs::exists(stored, ec);
  if (havePlain != haveStored) return havePlain ? plain : stored;
  // Neither is there (the descriptor is what got lost) or both are: the set knows which one it
  // covers, and that is the one a repair can give back.
  auto set = par2::ReadRecoverySet(FindRecoveryFiles(folder.empty() ? fs::path(".") : folder, *data));
  if (set) {
    for (const auto& f : set->files) {
      if (f.name == stored.filename().string()) return stored;
      if (f.name == plain.filename().string()) return plain;
    }
  }
  return plain;
}

MergeJob::Names MergeJob::DeriveNames(const fs::path& descriptor) {
  if (RecoveryDataName(WithoutStoredSuffix(descriptor.filename().string())))
    return DeriveNames(DescriptorFor(descriptor));
  Names n;
  std::string full = descriptor.string();
  size_t slash = full.rfind('/');
  std::string file = slash == std::string::npos ? full : full.substr(slash + 1);
  n.prefix = slash == std::string::npos ? std::string() : full.substr(0, slash + 1);
  if (EndsWith(file, kStoredDescriptorEnding) && file.size() > kStoredDescriptorEnding.size()) {
    // The offline split writes every segment with ".doc" appended; without this the merge
    // would find no numbered segment and quietly rebuild only the first piece.
    n.name = file.substr(0, file.size() - kStoredDescriptorEnding.size());
    n.segmentSuffix = std::string(kStoredSuffix);
  } else {
    size_t dot = file.rfind('.');
    n.name = (dot == std::string::npos || dot == 0) ? file : file.substr(0, dot);
  }
  return n;
}

Status MergeJob::CheckSegmentFile(const fs::path& path, std::string_view password) {
  std::vector<uint8_t> archive;
  ChunkPool pool;
  std::string secret(password);
  auto state = DecodeSegmentFile(path, archive, secret, pool, [&](Chunk&& chunk) {
    pool.Put(std::move(chunk.data));
    return true;
  });
  WipeSecret(secret);
  if (state == Slot::State::Done) return {};
  // Tell a file that cannot be opened from one that opens and does not read as a segment.
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return Error::FromErrno(path.string(), errno);
  ::close(fd);
  switch (state) {
    case Slot::State::TooLarge:
      return Error(ErrorCode::Corrupt, TooLargeMessage(path));
    default:
      return Error(ErrorCode::Corrupt, UnzipMessage(path));
  }
}

fs::path MergeJob::SegmentPath(const Names& names, uint64_t k) {
  char num[32];
  std::snprintf(num, sizeof num, ".%.3llu", static_cast<unsigned long long>(k));
  return fs::path(names.prefix + names.name + num + names.segmentSuffix);
}

fs::path MergeJob::PartialPath(const fs::path& output) {
  return fs::path(output.string() + std::string(kPartialEnding));
}

std::string MergeJob::RangesText(const std::vector<SegmentRange>& ranges) {
  std::string text;
  for (const auto& r : ranges) {
    if (!text.empty()) text += ", ";
    text += std::to_string(r.first);
    if (r.last != r.first) text += "-" + std::to_string(r.last);
  }
  return text;
}

MergeJob::Report MergeJob::Run(const Params& params, MergeObserver& observer,
                               std::stop_token cancel) {
  Report result;
  // Every stopping failure is shown to the user and becomes the run's status.
  const auto stopWith = [&](ErrorCode code, std::string text) {
    observer.OnMessage(text);
    result.status = Error(code, std::move(text));
  };
  // A recovery file stands for its file's descriptor; naming both merges that file once.
  std::vector<bool> viaRecovery;
  for (const auto& given : params.descriptors) {
    const fs::path d = DescriptorFor(given);
    const bool fromRecovery = d != given;
    bool twice = false;
    for (size_t i = 0; i < result.files.size() && !twice; ++i)
      twice = (fromRecovery || viaRecovery[i]) &&
              (result.files[i].descriptor.lexically_normal() == d.lexically_normal() ||
               SameFile(result.files[i].descriptor, d));
    if (twice) continue;
    FileResult f;
    f.descriptor = d;
    f.output = params.saveFolder / DeriveNames(d).name;
    result.files.push_back(std::move(f));
    viaRecovery.push_back(fromRecovery);
  }
  std::string password =
      params.password.empty() ? std::string(kDefaultAesPassword) : params.password;
  unsigned decoders = params.threads ? params.threads : std::thread::hardware_concurrency();
  decoders = std::clamp(decoders, 1u, 64u);
  // Overwrite and Skip are answers for one file: the next existing output asks again.
  ReplaceMode mode = ReplaceMode::Overwrite;
  // Whether an existing output may go; asks unless an All answer already decided.
  const auto mayReplace = [&](const fs::path& output) {
    if (mode == ReplaceMode::Overwrite || mode == ReplaceMode::Skip)
      mode = observer.ConfirmOutputReplace(output.filename().string());
    return !Keeps(mode);
  };

  for (auto& f : result.files) {
    if (cancel.stop_requested()) {
      // Descriptors not reached keep their outputs untouched.
      result.status = Error::Cancelled();
      break;
    }
    const Names names = DeriveNames(f.descriptor);
    observer.OnFileName(names.prefix + names.name);

    // Segments the recovery data can give back are rebuilt before anything is read, the
    // descriptor included: the merge then runs as if nothing had been lost.
    const SegmentRepair repair = RepairSegments(FolderOf(names), names.name, cancel);
    if (cancel.stop_requested()) {
      f.outcome = Outcome::Cancelled;
      result.status = Error::Cancelled();
      break;
    }
    if (!repair.repaired.empty()) {
      f.repaired = repair.repaired;
      observer.OnRepaired(f.repaired);
    }
    if (!repair.unrepaired.empty()) {
      // The set knows which segments are gone or damaged, also the last ones, which a merge
      // would take for the end of the file: nothing is merged, so nothing can pass for whole.
      f.outcome = Outcome::MissingSegment;
      for (const auto& file : repair.unrepaired) {
        const std::string_view tail = std::string_view(file).substr(names.name.size() + 1);
        uint64_t k = 0;  // the set's names are checked segment names: "dtl" or digits
        if (tail.substr(0, 3) != "dtl")
          for (char ch : tail.substr(0, tail.find('.')))
            k = std::min<uint64_t>(k, UINT64_MAX / 10 - 9) * 10 + static_cast<uint64_t>(ch - '0');
        if (!f.missingSegments.empty() && f.missingSegments.back().last + 1 == k)
          f.missingSegments.back().last = k;
        else
          f.missingSegments.push_back({k, k});
      }
      f.failedSegment = fs::path(names.prefix + repair.unrepaired.front());
      observer.OnProgressRange(0);
      observer.OnMessage(repair.message);
      continue;
    }
    // A set that could not be used is reported and the merge goes on without it.
    if (!repair.ok()) observer.OnMessage(repair.message);

    std::error_code ec;
    if (!fs::exists(f.descriptor, ec)) {
      // Without its descriptor there is nothing to rebuild; an existing output is left alone.
      f.outcome = Outcome::MissingSegment;
      f.failedSegment = f.descriptor;
      observer.OnProgressRange(0);
      observer.OnMessage(MissingMessage(f.descriptor));
      continue;
    }
    const fs::path partial = PartialPath(f.output);
    if (SameFile(f.descriptor, f.output) || SameFile(f.descriptor, partial)) {
      // A descriptor without an extension (or one named like an unfinished output) merged into
      // its own folder would be replaced by its own output.
      f.outcome = Outcome::WriteFailed;
      const fs::path& clash = SameFile(f.descriptor, f.output) ? f.output : partial;
      stopWith(ErrorCode::Io,
               WriteMessage(clash.string() + ": the output file is the descriptor itself"));
      break;
    }
    // The name comes from the descriptor, which may come from anywhere: what exists under it is
    // replaced only when the user says so, and asked before any work is done.
    bool replaceAgreed = false;
    if (Occupied(f.output)) {
      replaceAgreed = mayReplace(f.output);
      if (cancel.stop_requested()) {
        // A stop given while the question was open leaves the file as it is.
        f.outcome = Outcome::Cancelled;
        result.status = Error::Cancelled();
        break;
      }
      if (!replaceAgreed) {
        f.outcome = Outcome::Kept;
        observer.OnProgressRange(0);
        continue;
      }
    }
    // An old unfinished output must not pass for this run's: it is replaced (or removed) at the
    // end. unlink, not remove: a folder that happens to carry the name is never deleted.
    ::unlink(partial.c_str());

    f.segmentsCounted = CountMatching(names);
    observer.OnProgressRange(static_cast<uint16_t>(f.segmentsCounted));

    OutputFile out(params.saveFolder);
    SegmentPipeline pipeline(names, f.descriptor, password, decoders);
    uint64_t k = 0;
    // The failure that stops the run; reported once the output has been dealt with, so the
    // text can say what was kept.
    std::optional<Error> failure;
    Status written;
    for (;; ++k) {
      if (cancel.stop_requested()) {
        f.outcome = Outcome::Cancelled;
        result.status = Error::Cancelled();
        break;
      }
      const uint64_t before = out.Size();
      Chunk chunk;
      SegmentPipeline::Next next;
      while ((next = pipeline.Take(k, chunk)) == SegmentPipeline::Next::Chunk) {
        written = out.Open();
        if (written) written = out.Append(chunk.data.get(), chunk.size);
        pipeline.Recycle(chunk);
        if (!written) break;
      }
      // Nothing of a segment that failed stays in the output: the kept file ends on a segment
      // boundary, so the next merge attempt could be checked against it.
      auto failSegment = [&](Outcome outcome, ErrorCode code, std::string text) {
        out.TruncateTo(before);
        f.outcome = outcome;
        f.failedSegment = pipeline.PathOf(k);
        failure = Error(code, std::move(text));
      };
      if (!written) {
        failSegment(Outcome::WriteFailed, ErrorCode::Io, WriteMessage(written.error().message));
        break;
      }
      if (next == SegmentPipeline::Next::Missing) break;
      if (next == SegmentPipeline::Next::Failed) {
        failSegment(Outcome::UnzipFailed, ErrorCode::Corrupt, UnzipMessage(pipeline.PathOf(k)));
        break;
      }
      if (next == SegmentPipeline::Next::TooLarge) {
        failSegment(Outcome::UnzipFailed, ErrorCode::Corrupt, TooLargeMessage(pipeline.PathOf(k)));
        break;
      }
      // An empty entry still creates the output, as a segment with bytes would.
      written = out.Open();
      if (written) written = out.Settle();
      if (!written) {
        failSegment(Outcome::WriteFailed, ErrorCode::Io, WriteMessage(written.error().message));
        break;
      }
      observer.OnStep();
    }
    f.segmentsMerged = k;
    f.bytesWritten = out.Size();
    const fs::path temporary = out.Path();
    if (Status closed = out.Close(); !closed && !failure && f.outcome == Outcome::NotReached) {
      // A close that fails (a full disk reported late) means the output is not what it should be.
      f.outcome = Outcome::WriteFailed;
      failure = Error(ErrorCode::Io, WriteMessage(closed.error().message));
    }
    std::string missingText;
    if (f.outcome == Outcome::NotReached) {
      // The descriptor is segment 0: a run that could not even read it rebuilt nothing.
      if (k == 0 || k < f.segmentsCounted) {
        f.outcome = Outcome::MissingSegment;
        f.failedSegment = pipeline.PathOf(k);
        f.missingSegments = MissingRanges(names, k);
        missingText = MissingMessage(f.failedSegment) +
                      "\n\nMissing segments: " + RangesText(f.missingSegments);
      } else {
        // Without the user's word nothing is replaced, also not a file that appeared while the
        // merge ran: then the question comes now.
        int moved = replaceAgreed ? ::rename(temporary.c_str(), f.output.c_str())
                                  : ::renameat2(AT_FDCWD, temporary.c_str(), AT_FDCWD,
                                                f.output.c_str(), RENAME_NOREPLACE);
        if (moved != 0 && errno == EEXIST && !replaceAgreed) {
          if (mayReplace(f.output)) {
            moved = ::rename(temporary.c_str(), f.output.c_str());
          } else {
            ::unlink(temporary.c_str());
            f.outcome = Outcome::Kept;
            continue;
          }
        }
        if (moved != 0) {
          f.outcome = Outcome::WriteFailed;
          failure =
              Error(ErrorCode::Io, WriteMessage(f.output.string() + ": " + std::strerror(errno)));
        } else {
          f.outcome = Outcome::Complete;
        }
      }
    }
    if (f.outcome != Outcome::Complete && !temporary.empty()) {
      // What was merged goes under the unfinished name; an empty file tells the user nothing the
      // message does not.
      if (f.bytesWritten > 0 && ::rename(temporary.c_str(), partial.c_str()) == 0)
        f.partial = partial;
      else
        ::unlink(temporary.c_str());
    }
    if (failure) {
      std::string text = failure->message;
      if (!f.partial.empty() && !f.failedSegment.empty())
        text += "\n\nThe merge stopped at segment " + std::to_string(k) + ".";
      stopWith(failure->code, text + KeptNote(k, f.partial));
      break;
    }
    if (!missingText.empty()) observer.OnMessage(missingText + KeptNote(k, f.partial));
    if (!result.status) break;
  }
  WipeSecret(password);
  observer.OnFinished(result.status.ok());
  return result;
}

}  // namespace dtl
