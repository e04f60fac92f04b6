#include "archive/OfflineSplit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <span>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "archive/PieceProducer.h"
#include "archive/SegmentArchive.h"
#include "archive/SegmentList.h"
#include "archive/SegmentRecovery.h"

namespace dtl {

namespace {

namespace fs = std::filesystem;

std::string ErrorText(int e) { return std::generic_category().message(e); }

struct Outcome {
  bool ok = false;
  std::string path;   // the final name when ok
  std::string error;  // the user's message when not
};

class FdGuard {
 public:
  explicit FdGuard(int fd) : fd_(fd) {}
  ~FdGuard() {
    if (fd_ >= 0) close(fd_);
  }
  FdGuard(const FdGuard&) = delete;
  FdGuard& operator=(const FdGuard&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

int WriteAll(int fd, const uint8_t* data, size_t size) {
  while (size > 0) {
    const ssize_t put = write(fd, data, size);
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    data += put;
    size -= static_cast<size_t>(put);
  }
  return 0;
}

// Everything a piece needs, shared read-only by the packing threads.
class PieceWriter {
 public:
  PieceWriter(const OfflineSplitParams& params, int source, uint64_t fileSize, uint64_t segmentSize)
      : params_(params),
        source_(source),
        fileSize_(fileSize),
        segmentSize_(segmentSize),
        folder_(params.folder.empty() ? fs::path(".") : fs::path(params.folder)),
        baseName_(FileNameOf(params.source)) {}

  Outcome Write(uint64_t k) const {
    try {
      return WriteOrFail(k);
    } catch (const std::bad_alloc&) {
      return {false, {}, ErrorText(ENOMEM)};
    }
  }

 private:
  Outcome WriteOrFail(uint64_t k) const {
    const auto extent = PieceBounds(fileSize_, segmentSize_, k);
    if (!extent) return {false, {}, ErrorText(EINVAL)};
    const std::string name = SegmentFileName(baseName_, static_cast<int64_t>(k - 1));

    std::vector<uint8_t> packed;
    {
      // The piece lives only while it is packed; the packed form is built in one buffer.
      const size_t length = static_cast<size_t>(extent->length);
      auto piece = std::make_unique_for_overwrite<uint8_t[]>(length ? length : 1);
      size_t have = 0;
      while (have < length) {
        const ssize_t got = pread(source_, piece.get() + have, length - have,
                                  static_cast<off_t>(extent->offset + have));
        if (got < 0) {
          if (errno == EINTR) continue;
          return {false, {}, ErrorText(errno)};
        }
        if (got == 0) break;
        have += static_cast<size_t>(got);
      }
      // A source that shrank after the run began would give segments that no longer add up to
      // the file; packing the short piece would report a broken set as a success.
      if (have < length) return {false, {}, ChangedText()};
      const std::span<const uint8_t> bytes(piece.get(), length);
      const bool des = params_.encMethod == 2;
      const char* packFailed =
          des ? "Segment DES encryption failed." : "Segment AES encryption failed.";
      // A piece too large for a zip entry's 32-bit fields cannot be packed.
      try {
        packed = des ? PackSegmentDes(name, bytes, params_.password, params_.when)
                     : PackSegmentAes(name, bytes, params_.password, params_.when);
      } catch (const std::length_error&) {
        return {false, {}, packFailed};
      }
      if (packed.empty()) return {false, {}, packFailed};
    }
    return Store(name, packed);
  }

  // Writes under a private name and renames, so a segment file under its final name is always
  // complete, even if the program dies mid-write.
  Outcome Store(const std::string& name, const std::vector<uint8_t>& bytes) const {
    const fs::path target = folder_ / name;
    fs::path temp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
      temp = folder_ / ("." + name + "." + std::to_string(getpid()) + "-" +
                        std::to_string(attempt) + ".part");
      fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0 && (errno != EEXIST || attempt >= 100)) return {false, {}, ErrorText(errno)};
    }
    int failure = WriteAll(fd, bytes.data(), bytes.size());
    if (close(fd) != 0 && failure == 0) failure = errno;
    if (failure == 0 && rename(temp.c_str(), target.c_str()) != 0) failure = errno;
    if (failure != 0) {
      unlink(temp.c_str());
      return {false, {}, ErrorText(failure)};
    }
    return {true, target.string(), {}};
  }

  std::string ChangedText() const {
    return "The file " + params_.source + " changed while it was being split.";
  }

  const OfflineSplitParams& params_;
  int source_;
  uint64_t fileSize_, segmentSize_;
  fs::path folder_;
  std::string baseName_;
};

// Each packing thread holds one piece plus its packed copy (about twice the segment size);
// the run as a whole stays within (threads + 1) segments plus a fixed allowance, so large
// segments get fewer threads.
unsigned PackingThreads(unsigned requested, uint64_t segmentSize, uint64_t count) {
  if (requested == 0) requested = std::max(1u, std::thread::hardware_concurrency());
  constexpr uint64_t kAllowance = 48ull << 20;
  constexpr uint64_t kPerThreadSlack = 1ull << 20;
  const uint64_t budget = (uint64_t{requested} + 1) * segmentSize + kAllowance;
  const uint64_t byMemory = budget / (2 * segmentSize + kPerThreadSlack);
  uint64_t n = std::min<uint64_t>({requested, count, byMemory});
  return static_cast<unsigned>(std::max<uint64_t>(n, 1));
}

// Hands out piece numbers to the packing threads and collects their outcomes for the
// in-order reporter. Threads never run more than `window` pieces ahead of the last piece
// reported, so a stop takes effect within a few pieces.
class PiecePool {
 public:
  PiecePool(const PieceWriter& writer, uint64_t count, unsigned threads)
      : writer_(writer), count_(count), window_(2 * uint64_t{threads}) {
    try {
      for (unsigned i = 0; i < threads; ++i) threads_.emplace_back([this] { Work(); });
    } catch (...) {
      Halt();
      throw;
    }
  }
  ~PiecePool() { Halt(); }

  // Waits for piece k and takes its outcome.
  Outcome Take(uint64_t k) {
    std::unique_lock lock(mu_);
    cv_.wait(lock, [&] { return done_.count(k) != 0; });
    Outcome o = std::move(done_[k]);
    done_.erase(k);
    return o;
  }

  void Reported(uint64_t k) {
    {
      std::lock_guard lock(mu_);
      reported_ = k;
    }
    cv_.notify_all();
  }

  // No further pieces are started; the ones in progress finish. Returns their outcomes.
  std::map<uint64_t, Outcome> Halt() {
    {
      std::lock_guard lock(mu_);
      halt_ = true;
    }
    cv_.notify_all();
    for (auto& t : threads_)
      if (t.joinable()) t.join();
    std::lock_guard lock(mu_);
    return std::move(done_);
  }

 private:
  void Work() {
    for (;;) {
      uint64_t k;
      {
        std::unique_lock lock(mu_);
        cv_.wait(lock, [&] { return halt_ || next_ > count_ || next_ <= reported_ + window_; });
        if (halt_ || next_ > count_) return;
        k = next_++;
      }
      Outcome o = writer_.Write(k);
      {
        std::lock_guard lock(mu_);
        done_.emplace(k, std::move(o));
      }
      cv_.notify_all();
    }
  }

  const PieceWriter& writer_;
  const uint64_t count_, window_;
  std::mutex mu_;
  std::condition_variable cv_;
  uint64_t next_ = 1, reported_ = 0;
  bool halt_ = false;
  std::map<uint64_t, Outcome> done_;
  std::vector<std::thread> threads_;
};

// A merge takes in every numbered segment it finds after the descriptor, so segments of an
// earlier, longer split of the same file left in the folder would be appended to this one's data.
// Only the unbroken run of names right after the last piece is removed.
void RemoveStaleSegments(const OfflineSplitParams& params, uint64_t count) {
  const fs::path folder = params.folder.empty() ? fs::path(".") : fs::path(params.folder);
  const std::string name = FileNameOf(params.source);
  for (uint64_t index = count;; ++index) {
    const fs::path stale = folder / SegmentFileName(name, static_cast<int64_t>(index));
    struct stat st {};
    if (lstat(stale.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || unlink(stale.c_str()) != 0) break;
  }
}

// An earlier split's recovery set describes pieces that are gone: left beside this run's, a
// merge would check the new pieces against it and find every one of them damaged.
void RemoveStaleRecoveryFiles(const OfflineSplitParams& params, const std::vector<std::string>& keep) {
  const fs::path folder = params.folder.empty() ? fs::path(".") : fs::path(params.folder);
  for (const auto& found : FindRecoveryFiles(folder, FileNameOf(params.source))) {
    if (std::find(keep.begin(), keep.end(), found.string()) != keep.end()) continue;
    struct stat st {};
    if (lstat(found.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(found.c_str());
  }
}

}  // namespace

OfflineSplitResult RunOfflineSplit(const OfflineSplitParams& params, OfflineSplitObserver& observer,
                                   std::stop_token stop) {
  OfflineSplitResult result;
  const auto fail = [&](ErrorCode code, std::string text, int system = 0) {
    observer.OnError(text);
    result.status = Error(code, std::move(text), system);
    return result;
  };
  if (params.segmentSize == 0 || params.recoveryPercent > kMaxRecoveryPercent)
    return fail(ErrorCode::InvalidArgument, ErrorText(EINVAL), EINVAL);
  const FdGuard source(open(params.source.c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st {};
  if (source.get() < 0 || fstat(source.get(), &st) != 0) {
    const int e = errno;
    return fail(e == ENOENT ? ErrorCode::NotFound : ErrorCode::Io, ErrorText(e), e);
  }
  if (S_ISDIR(st.st_mode)) return fail(ErrorCode::Io, ErrorText(EISDIR), EISDIR);
  const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
  if (fileSize == 0) {
    char text[64];
    std::snprintf(text, sizeof text, " size is too small (%d)", 0);
    return fail(ErrorCode::InvalidArgument, "The file " + params.source + text);
  }
  const uint64_t segmentSize = std::min(params.segmentSize, fileSize);
  result.count = SegmentCount(fileSize, segmentSize);
  observer.OnStarted(result.count);

  const PieceWriter writer(params, source.get(), fileSize, segmentSize);
  const unsigned threads = PackingThreads(params.threads, segmentSize, result.count);
  std::unique_ptr<PiecePool> pool;
  if (threads > 1) {
    try {
      pool = std::make_unique<PiecePool>(writer, result.count, threads);
    } catch (const std::system_error&) {
      pool.reset();  // no threads to be had: pack on this one
    }
  }

  std::string failure;
  bool stopped = false;
  std::vector<std::string> reported;  // the pieces' paths, for a stop to remove them again
  for (uint64_t k = 1; k <= result.count; ++k) {
    Outcome o = pool ? pool->Take(k) : writer.Write(k);
    if (!o.ok) {
      failure = std::move(o.error);
      break;
    }
    observer.OnPieceWritten(k, o.path);
    reported.push_back(o.path);
    result.written = k;
    if (pool) pool->Reported(k);
    if (stop.stop_requested() && k < result.count) {
      stopped = true;
      break;
    }
  }

  if (pool) {
    // Pieces other threads finished beyond the last one reported: after a failure nothing
    // beyond the failed piece may stay, and after a stop nothing of the run does.
    for (const auto& [k, o] : pool->Halt())
      if (o.ok) unlink(o.path.c_str());
  }
  if (!stopped && failure.empty() && result.written == result.count && params.recoveryPercent > 0) {
    std::vector<std::string> names;
    for (const auto& path : reported) names.push_back(fs::path(path).filename().string());
    const fs::path folder = params.folder.empty() ? fs::path(".") : fs::path(params.folder);
    observer.OnRecoveryStarted(RecoveryBlockCount(names.size(), params.recoveryPercent));
    auto made = MakeSegmentRecovery(folder, names, FileNameOf(params.source),
                                    params.recoveryPercent, stop);
    if (made) {
      for (const auto& n : *made) result.recoveryFiles.push_back((folder / n).string());
      observer.OnRecoveryWritten(result.recoveryFiles);
    } else if (made.error().code == ErrorCode::Cancelled) {
      stopped = true;
    } else {
      failure = made.error().message;
    }
  }
  // A failed run is no better than a stopped one: the pieces before the failure are the first
  // part of the file, and a merge of the folder would take them for all of it. The recovery
  // files are made last, so a run ending here never left any.
  if (stopped || !failure.empty()) {
    for (const auto& path : reported)
      if (unlink(path.c_str()) == 0) ++result.removed;
    result.written = 0;
  }

  if (!failure.empty()) return fail(ErrorCode::Failed, std::move(failure));
  if (result.written == result.count) {
    result.status = {};
    RemoveStaleSegments(params, result.count);
    RemoveStaleRecoveryFiles(params, result.recoveryFiles);
  } else {
    result.status = Error::Cancelled();
  }
  return result;
}

}  // namespace dtl
