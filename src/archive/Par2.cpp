#include "archive/Par2.h"

#include <openssl/evp.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <span>
#include <stdexcept>
#include <thread>

#include "archive/Gf16.h"

namespace dtl::par2 {
namespace {

namespace fs = std::filesystem;

constexpr char kMagic[8] = {'P', 'A', 'R', '2', '\0', 'P', 'K', 'T'};
constexpr size_t kHeader = 64;
constexpr char kTypeMain[16] = {'P', 'A', 'R', ' ', '2', '.', '0', '\0',
                                'M', 'a', 'i', 'n', 0,   0,   0,   0};
constexpr char kTypeFileDesc[16] = {'P', 'A', 'R', ' ', '2', '.', '0', '\0',
                                    'F', 'i', 'l', 'e', 'D', 'e', 's', 'c'};
constexpr char kTypeIfsc[16] = {'P', 'A', 'R', ' ', '2', '.', '0', '\0',
                                'I', 'F', 'S', 'C', 0,   0,   0,   0};
constexpr char kTypeRecovery[16] = {'P', 'A', 'R', ' ', '2', '.', '0', '\0',
                                    'R', 'e', 'c', 'v', 'S', 'l', 'i', 'c'};
constexpr char kTypeCreator[16] = {'P', 'A', 'R', ' ', '2', '.', '0', '\0',
                                   'C', 'r', 'e', 'a', 't', 'o', 'r', '\0'};
// Description packets are small (the checksum packet of the largest set is under 700 KB); a
// declared length above this is hostile or broken, and is never allocated.
constexpr uint64_t kMaxDescriptionPacket = 4u << 20;
constexpr size_t k16k = 16384;

// One MD5 stream through OpenSSL's EVP interface. Finish leaves the stream as it was, so one
// pass over a file of one slice can finish both the file's MD5 and the slice's (the file padded
// with zeros to the slice size).
class Md5Stream {
 public:
  Md5Stream() : ctx_(EVP_MD_CTX_new(), EVP_MD_CTX_free) {
    if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_md5(), nullptr) != 1)
      throw std::runtime_error("MD5 is not available from OpenSSL");
  }
  void Add(const void* p, size_t n) {
    if (n > 0) EVP_DigestUpdate(ctx_.get(), p, n);
  }
  void AddZeros(uint64_t n) {
    static const uint8_t zeros[65536] = {};
    while (n > 0) {
      const size_t k = static_cast<size_t>(std::min<uint64_t>(n, sizeof zeros));
      Add(zeros, k);
      n -= k;
    }
  }
  Hash Finish() const {
    // Finalising consumes a context, so the digest is taken from a copy.
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> copy(EVP_MD_CTX_new(),
                                                                 EVP_MD_CTX_free);
    if (!copy || EVP_MD_CTX_copy_ex(copy.get(), ctx_.get()) != 1)
      throw std::runtime_error("Cannot copy an MD5 state");
    Hash h{};
    unsigned len = 0;
    EVP_DigestFinal_ex(copy.get(), h.data(), &len);
    return h;
  }

 private:
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx_;
};

Hash Md5Of(const void* p, size_t n) {
  Md5Stream m;
  m.Add(p, n);
  return m.Finish();
}

// CRC-32 through zlib; crc32_z takes the length whole, whatever its width.
uint32_t Crc32(const uint8_t* p, size_t n, uint32_t crc = 0) {
  return static_cast<uint32_t>(crc32_z(crc, p, n));
}

void PutLe(std::vector<uint8_t>& out, uint64_t v, int width) {
  for (int i = 0; i < width; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint64_t GetLe(const uint8_t* p, int width) {
  uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}
void PutHash(std::vector<uint8_t>& out, const Hash& h) {
  out.insert(out.end(), h.begin(), h.end());
}
Hash GetHash(const uint8_t* p) {
  Hash h;
  std::memcpy(h.data(), p, 16);
  return h;
}

// The input constants are 2^n for the n in rising order that share no factor with 65535 (not
// divisible by 3, 5, 17 or 257), so that every constant generates a full-order subgroup.
std::vector<uint16_t> InputConstants(size_t count) {
  std::vector<uint16_t> out;
  out.reserve(count);
  for (uint32_t n = 1; out.size() < count && n < 65535; ++n)
    if (n % 3 && n % 5 && n % 17 && n % 257) out.push_back(gf16::Power(2, n));
  return out;
}

// A whole packet: header with its MD5 over set id, type and body. The body is padded to a
// multiple of 4 by the callers.
std::vector<uint8_t> Packet(const Hash& setId, const char (&type)[16],
                            const std::vector<uint8_t>& body) {
  std::vector<uint8_t> p(kHeader + body.size(), 0);
  std::memcpy(p.data(), kMagic, 8);
  const uint64_t len = p.size();
  for (int i = 0; i < 8; ++i) p[8 + i] = static_cast<uint8_t>(len >> (8 * i));
  std::memcpy(p.data() + 32, setId.data(), 16);  // MD5 goes at 16..31
  std::memcpy(p.data() + 48, type, 16);
  if (!body.empty()) std::memcpy(p.data() + kHeader, body.data(), body.size());
  const Hash h = Md5Of(p.data() + 32, p.size() - 32);
  std::memcpy(p.data() + 16, h.data(), 16);
  return p;
}

// Files are read with stdio: a slice at a time, at an explicit place.
struct FileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File OpenRead(const fs::path& p) { return File(std::fopen(p.c_str(), "rb")); }

// Reads up to n bytes at offset; returns how many came (short at the end of the file).
Result<size_t> ReadAt(std::FILE* f, uint64_t offset, uint8_t* out, size_t n, const fs::path& p) {
  if (fseeko(f, static_cast<off_t>(offset), SEEK_SET) != 0)
    return Error::FromErrno("Cannot read " + p.string());
  const size_t got = std::fread(out, 1, n, f);
  if (got < n && std::ferror(f)) return Error::FromErrno("Cannot read " + p.string());
  return got;
}

uint64_t SliceCountOf(uint64_t length, uint64_t sliceSize) {
  return (length + sliceSize - 1) / sliceSize;
}

std::atomic<unsigned> gThreads{0};

// Threads for a job costing `cost` bytes of field work: the number set by SetThreads, else one
// per core once the job is large enough that starting threads costs less than it saves.
unsigned ThreadsFor(uint64_t cost) {
  if (const unsigned set = gThreads.load()) return set;
  if (cost < (4u << 20)) return 1;
  return std::clamp<unsigned>(std::thread::hardware_concurrency(), 1, 16);
}

// Runs body() on n threads, this one among them, and returns when every one has.
void RunOn(unsigned n, const std::function<void()>& body) {
  std::vector<std::jthread> threads;
  for (unsigned i = 1; i < n; ++i) threads.emplace_back(body);
  body();
}

// The first error any thread met; the others see failed() and take no more work.
class FirstError {
 public:
  void Set(Error e) {
    std::lock_guard lock(mutex_);
    if (!error_) error_ = std::move(e);
    failed_ = true;
  }
  bool failed() const { return failed_.load(); }
  Status status() {
    std::lock_guard lock(mutex_);
    if (error_) return *error_;
    return {};
  }

 private:
  std::mutex mutex_;
  std::optional<Error> error_;
  std::atomic<bool> failed_{false};
};

// Adds factor[j] * src into each dsts[j], a region at a time under that region's lock, so
// threads holding different slices can add them into the same blocks at once. A region some
// other thread holds is passed over and taken later; XOR does not care about order, so the
// bytes are the same whichever thread got where first. A region of every block together stays
// in the core's cache while the source region is read once.
class Accumulator {
 public:
  static constexpr size_t kRegion = 64 << 10;  // a multiple of every vector step

  Accumulator(std::vector<std::vector<uint8_t>>& dsts, size_t bytes)
      : dsts_(dsts), bytes_(bytes), regions_((bytes + kRegion - 1) / kRegion), locks_(regions_) {}

  void Add(const uint8_t* src, const std::vector<uint16_t>& factors) {
    if (regions_ == 0) return;
    std::vector<char> done(regions_, 0);
    size_t left = regions_;
    // Threads start spread over the regions, so they rarely meet at all.
    const size_t first = start_.fetch_add(regions_ / 2 + 1) % regions_;
    while (left > 0) {
      bool progressed = false;
      for (size_t i = 0; i < regions_; ++i) {
        const size_t r = (first + i) % regions_;
        if (done[r]) continue;
        std::unique_lock lock(locks_[r], std::try_to_lock);
        if (!lock) continue;
        AddRegion(src, factors, r);
        done[r] = 1;
        --left;
        progressed = true;
      }
      if (!progressed) {
        const size_t r = static_cast<size_t>(std::find(done.begin(), done.end(), 0) - done.begin());
        std::lock_guard lock(locks_[r]);
        AddRegion(src, factors, r);
        done[r] = 1;
        --left;
      }
    }
  }

  // The lock of the region starting at byte `begin`, for callers that add several sources into
  // it at once.
  std::mutex& LockOf(size_t begin) { return locks_[begin / kRegion]; }

 private:
  void AddRegion(const uint8_t* src, const std::vector<uint16_t>& factors, size_t r) {
    const size_t begin = r * kRegion, n = std::min(bytes_, begin + kRegion) - begin;
    for (size_t j = 0; j < factors.size(); ++j)
      gf16::MulAdd(factors[j], src + begin, dsts_[j].data() + begin, n);
  }

  std::vector<std::vector<uint8_t>>& dsts_;
  const size_t bytes_, regions_;
  std::vector<std::mutex> locks_;
  std::atomic<size_t> start_{0};
};

// Runs work(begin, end) over [0, bytes) on `threads` threads, whole regions at a time taken in
// turn, for the field work that has one destination per thread.
void Shared(unsigned threads, size_t bytes, const std::function<void(size_t, size_t)>& work) {
  std::atomic<size_t> next{0};
  RunOn(threads, [&] {
    for (size_t b; (b = next.fetch_add(Accumulator::kRegion)) < bytes;)
      work(b, std::min(bytes, b + Accumulator::kRegion));
  });
}

// One slice to read and hash: slice `slice` of file `file`, zero-padded to the slice size.
struct SliceJob {
  size_t file = 0;
  uint64_t slice = 0;
  uint64_t global = 0;     // the slice's number in the set
  bool wholeFile = false;  // the file's only slice: its MD5 stream is the file's as well
  // What hashing found.
  bool present = false;  // every byte the slice should hold was there
  SliceCheck check;
  Hash fileMd5{};  // when wholeFile
};

// Called with the bytes [begin, end) of every slice of a group (zero-padded, data[l] for
// jobs[l]), in rising order of begin; `hasData[l]` says whether slice l holds any file bytes
// there (all zeros otherwise).
using RegionSink =
    std::function<void(size_t begin, size_t end, const std::vector<const uint8_t*>& data,
                       const std::vector<char>& hasData, std::span<SliceJob> jobs)>;

// Slices a thread takes at a time: enough that the region lock of the accumulator is taken once
// for many slices' worth of multiply-adds, few enough that the threads share the work evenly.
constexpr size_t kGroup = 16;

// Reads and hashes a group of at most kGroup slices a region at a time, each slice with an MD5
// stream and a CRC-32 of its own, the region then handed to the sink. A slice whose
// file is missing or ends early is left not present; with `exact` that is an error instead (the
// file changed while it was read). Memory: one region per slice.
Status HashSlices(std::span<SliceJob> jobs, const std::vector<fs::path>& paths,
                  const std::vector<uint64_t>& lengths, uint64_t ss, bool exact,
                  std::vector<uint8_t>& staging, const std::stop_token& stop,
                  const RegionSink& sink) {
  constexpr size_t kRegion = Accumulator::kRegion;
  const size_t n = jobs.size();
  staging.resize(n * kRegion);
  std::vector<File> files(n);
  std::vector<uint64_t> want(n);
  std::vector<char> alive(n, 0), hasData(n, 0);
  std::vector<Md5Stream> streams(n);
  std::vector<uint32_t> crcs(n, 0);
  std::vector<const uint8_t*> data(n);
  for (size_t l = 0; l < n; ++l) {
    const SliceJob& job = jobs[l];
    want[l] = std::min<uint64_t>(ss, lengths[job.file] - job.slice * ss);
    files[l] = OpenRead(paths[job.file]);
    if (!files[l] && exact) return Error::FromErrno("Cannot read " + paths[job.file].string());
    alive[l] = files[l] != nullptr;
    data[l] = staging.data() + l * kRegion;
  }
  for (uint64_t begin = 0; begin < ss; begin += kRegion) {
    if (stop.stop_requested()) return Error::Cancelled();
    const size_t len = static_cast<size_t>(std::min<uint64_t>(kRegion, ss - begin));
    bool any = false;
    for (size_t l = 0; l < n; ++l) {
      uint8_t* buf = staging.data() + l * kRegion;
      size_t have =
          want[l] > begin ? static_cast<size_t>(std::min<uint64_t>(len, want[l] - begin)) : 0;
      if (!alive[l]) have = 0;
      if (have > 0) {
        const fs::path& p = paths[jobs[l].file];
        auto got = ReadAt(files[l].get(), jobs[l].slice * ss + begin, buf, have, p);
        if (!got) return got.error();
        if (*got < have) {
          if (exact) return Error(ErrorCode::Io, p.string() + " changed while it was read");
          alive[l] = 0;
          files[l].reset();
          have = 0;
        }
      }
      std::memset(buf + have, 0, len - have);
      hasData[l] = have > 0;
      any |= have > 0;
      if (alive[l]) {
        streams[l].Add(buf, have);
        crcs[l] = Crc32(buf, len, crcs[l]);
      }
    }
    if (any && sink)
      sink(static_cast<size_t>(begin), static_cast<size_t>(begin) + len, data, hasData, jobs);
  }
  for (size_t l = 0; l < n; ++l) {
    SliceJob& job = jobs[l];
    job.present = alive[l];
    if (!job.present) continue;
    if (job.wholeFile) job.fileMd5 = streams[l].Finish();
    streams[l].AddZeros(ss - want[l]);
    job.check = {streams[l].Finish(), crcs[l]};
  }
  return {};
}

// The MD5 of the first `length` bytes of a file (fewer when it is shorter), for files of more
// than one slice, whose whole-file MD5 is one stream across their slices.
Result<Hash> WholeFileMd5(const fs::path& p, uint64_t length, std::vector<uint8_t>& chunk,
                          bool exact, const std::stop_token& stop) {
  File f = OpenRead(p);
  if (!f) return Error::FromErrno("Cannot read " + p.string());
  chunk.resize(1u << 20);
  Md5Stream md5;
  for (uint64_t done = 0; done < length;) {
    if (stop.stop_requested()) return Error::Cancelled();
    const size_t n = static_cast<size_t>(std::min<uint64_t>(chunk.size(), length - done));
    auto got = ReadAt(f.get(), done, chunk.data(), n, p);
    if (!got) return got.error();
    md5.Add(chunk.data(), *got);
    if (*got < n) {
      if (exact) return Error(ErrorCode::Io, p.string() + " changed while it was read");
      break;
    }
    done += n;
  }
  return md5.Finish();
}

// Hands out the work of a pass to the threads: the whole-file MD5s first (each is one long
// stream), then groups of slices.
class WorkQueue {
 public:
  WorkQueue(size_t wholeFiles, size_t slices, unsigned threads)
      : wholeFiles_(wholeFiles), slices_(slices), threads_(std::max(1u, threads)) {}

  // The next whole-file job, or nullopt.
  std::optional<size_t> NextWholeFile() {
    const size_t i = nextWhole_.fetch_add(1);
    if (i < wholeFiles_) return i;
    return std::nullopt;
  }
  // The next group of slices [begin, end); empty when none is left. The slices are cut into
  // groups of equal size, at most kGroup each and as many as a multiple of the threads, so no
  // thread is left with a long tail while the others wait.
  std::pair<size_t, size_t> NextGroup() {
    std::lock_guard lock(mutex_);
    const size_t groups = (slices_ + kGroup - 1) / kGroup;
    const size_t even = std::max<size_t>(1, (groups + threads_ - 1) / threads_ * threads_);
    const size_t size = (slices_ + even - 1) / even;
    const size_t begin = nextSlice_;
    nextSlice_ = std::min(slices_, begin + size);
    return {begin, nextSlice_};
  }

 private:
  const size_t wholeFiles_, slices_;
  const unsigned threads_;
  std::atomic<size_t> nextWhole_{0};
  std::mutex mutex_;
  size_t nextSlice_ = 0;
};

bool HashLess(const Hash& a, const Hash& b) {
  // File ids are ordered as 128-bit little-endian numbers.
  for (int i = 15; i >= 0; --i)
    if (a[i] != b[i]) return a[i] < b[i];
  return false;
}

std::string TempNameFor(const std::string& name) {
  std::random_device rd;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%08x", rd());
  return "." + name + "." + buf + ".dtl-part";
}

// Writes one recovery file: recovery packets for blocks [first, first + count), each straight
// from its block (the packet MD5 taken over the block where it lies, no copy of it made) and the
// block freed once written, then the set's description and creator packets.
Status WriteRecoveryFile(const fs::path& path, const Hash& setId,
                         std::vector<std::vector<uint8_t>>& blocks, uint32_t first, uint32_t count,
                         const std::vector<uint8_t>& description,
                         const std::vector<uint8_t>& creator) {
  File f(std::fopen(path.c_str(), "wb"));
  if (!f) return Error::FromErrno("Cannot write " + path.string());
  const auto put = [&](const uint8_t* p, size_t n) {
    return n == 0 || std::fwrite(p, 1, n, f.get()) == n;
  };
  for (uint32_t e = first; e < first + count; ++e) {
    std::vector<uint8_t>& data = blocks[e];
    uint8_t head[kHeader + 4] = {};
    std::memcpy(head, kMagic, 8);
    const uint64_t len = sizeof head + data.size();
    for (int i = 0; i < 8; ++i) head[8 + i] = static_cast<uint8_t>(len >> (8 * i));
    std::memcpy(head + 32, setId.data(), 16);
    std::memcpy(head + 48, kTypeRecovery, 16);
    for (int i = 0; i < 4; ++i) head[kHeader + i] = static_cast<uint8_t>(e >> (8 * i));
    Md5Stream md5;
    md5.Add(head + 32, sizeof head - 32);
    md5.Add(data.data(), data.size());
    const Hash h = md5.Finish();
    std::memcpy(head + 16, h.data(), 16);
    if (!put(head, sizeof head) || !put(data.data(), data.size()))
      return Error::FromErrno("Cannot write " + path.string());
    std::vector<uint8_t>().swap(data);
  }
  if (!put(description.data(), description.size()) || !put(creator.data(), creator.size()) ||
      std::fflush(f.get()) != 0)
    return Error::FromErrno("Cannot write " + path.string());
  return {};
}

}  // namespace

void SetThreads(unsigned threads) { gThreads = threads; }

bool IsPlainFileName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name)
    if (c < 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
  return true;
}

uint64_t InputSliceCount(const std::vector<uint64_t>& sizes, uint64_t sliceSize) {
  uint64_t n = 0;
  for (uint64_t s : sizes) n += SliceCountOf(s, sliceSize);
  return n;
}

// ---- making a set ----------------------------------------------------------------------------

Result<std::vector<std::string>> CreateRecoveryFiles(const fs::path& folder,
                                                     const std::vector<std::string>& names,
                                                     const std::string& baseName,
                                                     const CreateOptions& options,
                                                     std::stop_token stop) {
  const uint64_t ss = options.sliceSize;
  if (ss == 0 || ss % 4 != 0 || ss > kMaxSliceSize)
    return Error(ErrorCode::InvalidArgument,
                 "The slice size must be a positive multiple of 4 up to 256 MiB");
  if (names.empty()) return Error(ErrorCode::InvalidArgument, "No files to protect");
  if (!IsPlainFileName(baseName))
    return Error(ErrorCode::InvalidArgument, "Bad recovery file name: " + baseName);
  if (options.recoveryBlocks > 65535)
    return Error(ErrorCode::InvalidArgument, "At most 65535 recovery blocks");
  std::vector<uint32_t> volumes = options.perVolume;
  if (volumes.empty() && options.recoveryBlocks > 0) volumes.push_back(options.recoveryBlocks);
  uint64_t sum = 0;
  for (uint32_t v : volumes) sum += v;
  if (sum != options.recoveryBlocks)
    return Error(ErrorCode::InvalidArgument,
                 "The recovery files' blocks do not add up to the total");

  struct Input {
    std::string name;
    uint64_t length = 0;
    Hash md5{}, md5First16k{}, id{};
    std::vector<SliceCheck> slices;
  };
  std::vector<Input> inputs;
  std::vector<uint8_t> buf(std::max<uint64_t>(ss, k16k));
  for (const std::string& name : names) {
    if (!IsPlainFileName(name)) return Error(ErrorCode::InvalidArgument, "Bad file name: " + name);
    Input in;
    in.name = name;
    const fs::path p = folder / name;
    std::error_code ec;
    in.length = fs::file_size(p, ec);
    if (ec) return Error::FromErrno("Cannot read " + p.string(), ec.value());
    File f = OpenRead(p);
    if (!f) return Error::FromErrno("Cannot read " + p.string());
    auto got = ReadAt(f.get(), 0, buf.data(), k16k, p);
    if (!got) return got.error();
    in.md5First16k = Md5Of(buf.data(), std::min<uint64_t>(*got, in.length));
    std::vector<uint8_t> idInput(in.md5First16k.begin(), in.md5First16k.end());
    PutLe(idInput, in.length, 8);
    idInput.insert(idInput.end(), name.begin(), name.end());
    in.id = Md5Of(idInput.data(), idInput.size());
    inputs.push_back(std::move(in));
  }
  std::sort(inputs.begin(), inputs.end(),
            [](const Input& a, const Input& b) { return HashLess(a.id, b.id); });
  for (size_t i = 1; i < inputs.size(); ++i)
    if (inputs[i].id == inputs[i - 1].id)
      return Error(ErrorCode::InvalidArgument, "The same file is listed twice: " + inputs[i].name);
  std::vector<uint64_t> sizes;
  for (const Input& in : inputs) sizes.push_back(in.length);
  const uint64_t total = InputSliceCount(sizes, ss);
  if (total > kMaxInputSlices)
    return Error(ErrorCode::InvalidArgument,
                 "Too many slices for one recovery set: choose a larger slice size");

  // Each recovery block accumulates every input slice times its constant to the block's
  // exponent. Threads take groups of input slices in turn and read each group a region at a
  // time: its MD5s advance side by side, its CRC-32s alongside, and the region of every slice is
  // added into that region of every block under the region's lock. A file of one slice has its
  // whole-file MD5 from the same stream; a longer file's is one more job, read on its own. The
  // blocks and a region per slice of a group are the memory used.
  const std::vector<uint16_t> constants = InputConstants(total);
  std::vector<std::vector<uint8_t>> blocks(options.recoveryBlocks, std::vector<uint8_t>(ss, 0));
  std::vector<fs::path> paths;
  std::vector<uint64_t> lengths;
  std::vector<SliceJob> jobs;
  std::vector<size_t> longFiles;  // inputs of more than one slice (or none)
  jobs.reserve(static_cast<size_t>(total));
  for (size_t i = 0; i < inputs.size(); ++i) {
    paths.push_back(folder / inputs[i].name);
    lengths.push_back(inputs[i].length);
    const uint64_t count = SliceCountOf(inputs[i].length, ss);
    inputs[i].slices.resize(count);
    if (count != 1) longFiles.push_back(i);
    for (uint64_t s = 0; s < count; ++s) {
      SliceJob job;
      job.file = i;
      job.slice = s;
      job.global = jobs.size();
      job.wholeFile = count == 1;
      jobs.push_back(job);
    }
  }
  Accumulator accumulator(blocks, ss);
  const RegionSink addToBlocks = [&](size_t begin, size_t end,
                                     const std::vector<const uint8_t*>& data,
                                     const std::vector<char>& hasData, std::span<SliceJob> group) {
    std::vector<uint16_t> factors(group.size() * blocks.size());
    for (size_t l = 0; l < group.size(); ++l)
      for (uint32_t e = 0; e < blocks.size(); ++e)
        factors[l * blocks.size() + e] = gf16::Power(constants[group[l].global], e);
    std::lock_guard lock(accumulator.LockOf(begin));
    for (uint32_t e = 0; e < blocks.size(); ++e)
      for (size_t l = 0; l < group.size(); ++l)
        if (hasData[l])
          gf16::MulAdd(factors[l * blocks.size() + e], data[l], blocks[e].data() + begin,
                       end - begin);
  };
  const unsigned threads = ThreadsFor(total * ss * (options.recoveryBlocks + 1));
  WorkQueue queue(longFiles.size(), jobs.size(), threads);
  FirstError failure;
  RunOn(std::clamp<unsigned>(
            threads, 1, static_cast<unsigned>(std::max<size_t>(1, jobs.size() + longFiles.size()))),
        [&] {
          std::vector<uint8_t> staging;
          while (!failure.failed()) {
            if (auto w = queue.NextWholeFile()) {
              const size_t i = longFiles[*w];
              auto md5 = WholeFileMd5(paths[i], lengths[i], staging, true, stop);
              if (!md5) return failure.Set(md5.error());
              inputs[i].md5 = *md5;
              continue;
            }
            const auto [begin, end] = queue.NextGroup();
            if (begin == end) return;
            std::span<SliceJob> group(jobs.data() + begin, end - begin);
            if (Status st = HashSlices(group, paths, lengths, ss, true, staging, stop,
                                       blocks.empty() ? RegionSink() : addToBlocks);
                !st)
              return failure.Set(st.error());
          }
        });
  if (Status status = failure.status(); !status) return status.error();
  for (const SliceJob& job : jobs) {
    inputs[job.file].slices[job.slice] = job.check;
    if (job.wholeFile) inputs[job.file].md5 = job.fileMd5;
  }

  // The description packets, the same in every file of the set.
  std::vector<uint8_t> mainBody;
  PutLe(mainBody, ss, 8);
  PutLe(mainBody, inputs.size(), 4);
  for (const Input& in : inputs) PutHash(mainBody, in.id);
  const Hash setId = Md5Of(mainBody.data(), mainBody.size());
  std::vector<uint8_t> description = Packet(setId, kTypeMain, mainBody);
  for (const Input& in : inputs) {
    std::vector<uint8_t> body;
    PutHash(body, in.id);
    PutHash(body, in.md5);
    PutHash(body, in.md5First16k);
    PutLe(body, in.length, 8);
    body.insert(body.end(), in.name.begin(), in.name.end());
    while (body.size() % 4) body.push_back(0);
    const auto fd = Packet(setId, kTypeFileDesc, body);
    description.insert(description.end(), fd.begin(), fd.end());
    body.clear();
    PutHash(body, in.id);
    for (const SliceCheck& c : in.slices) {
      PutHash(body, c.md5);
      PutLe(body, c.crc, 4);
    }
    const auto ifsc = Packet(setId, kTypeIfsc, body);
    description.insert(description.end(), ifsc.begin(), ifsc.end());
  }
  std::vector<uint8_t> creatorBody(options.creator.begin(), options.creator.end());
  while (creatorBody.size() % 4) creatorBody.push_back(0);
  const std::vector<uint8_t> creator = Packet(setId, kTypeCreator, creatorBody);

  // The recovery files: the description alone, then one per volume, written by the threads in
  // turn under temporary names and renamed, in order, once every one is whole.
  struct Output {
    std::string name;
    uint32_t first = 0, count = 0;
    fs::path temp;
  };
  std::vector<Output> outputs{{baseName + ".par2", 0, 0, {}}};
  const int width =
      std::max<int>(2, static_cast<int>(std::to_string(options.recoveryBlocks).size()));
  uint32_t first = 0;
  for (uint32_t count : volumes) {
    char name[64];
    std::snprintf(name, sizeof name, ".vol%0*u+%0*u.par2", width, first, width, count);
    outputs.push_back({baseName + name, first, count, {}});
    first += count;
  }
  const auto removeTemps = [&] {
    std::error_code ec;
    for (const Output& out : outputs)
      if (!out.temp.empty()) fs::remove(out.temp, ec);
  };
  {
    FirstError failure;
    std::atomic<size_t> nextOutput{0};
    const unsigned writers = ThreadsFor(ss * options.recoveryBlocks);
    RunOn(std::clamp<unsigned>(writers, 1, static_cast<unsigned>(outputs.size())), [&] {
      for (size_t o; !failure.failed() && (o = nextOutput.fetch_add(1)) < outputs.size();) {
        if (stop.stop_requested()) return failure.Set(Error::Cancelled());
        Output& out = outputs[o];
        out.temp = folder / TempNameFor(out.name);
        if (Status s = WriteRecoveryFile(out.temp, setId, blocks, out.first, out.count, description,
                                         creator);
            !s)
          return failure.Set(s.error());
      }
    });
    if (Status status = failure.status(); !status) {
      removeTemps();
      return status.error();
    }
  }
  std::vector<std::string> written;
  for (Output& out : outputs) {
    std::error_code ec;
    fs::rename(out.temp, folder / out.name, ec);
    if (ec) {
      removeTemps();
      return Error::FromErrno("Cannot write " + (folder / out.name).string(), ec.value());
    }
    out.temp.clear();
    written.push_back(out.name);
  }
  return written;
}

// ---- reading a set ---------------------------------------------------------------------------

namespace {

struct Collected {
  bool haveMain = false;
  uint64_t sliceSize = 0;
  std::vector<Hash> ids;
  std::map<Hash, SetFile> descriptions;
  std::map<Hash, std::vector<SliceCheck>> checksums;
  std::map<uint32_t, RecoveryBlock> blocks;
  std::map<uint32_t, uint64_t> blockLength;
  std::string creator;
};

// The MD5 of bytes [from, to) of a file, read a bounded chunk at a time.
Result<Hash> Md5OfRange(std::FILE* f, uint64_t from, uint64_t to, const fs::path& p) {
  Md5Stream m;
  std::vector<uint8_t> chunk(1 << 20);
  while (from < to) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), to - from));
    auto got = ReadAt(f, from, chunk.data(), want, p);
    if (!got) return got.error();
    if (*got != want) return Error(ErrorCode::Corrupt, p.string() + " ends inside a packet");
    m.Add(chunk.data(), want);
    from += want;
  }
  return m.Finish();
}

// Where the next packet magic starts at or after `from`, or `size` when there is none.
Result<uint64_t> NextMagic(std::FILE* f, uint64_t from, uint64_t size, const fs::path& p) {
  std::vector<uint8_t> chunk(1 << 16);
  while (from + 8 <= size) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(chunk.size(), size - from));
    auto got = ReadAt(f, from, chunk.data(), want, p);
    if (!got) return got.error();
    if (*got < 8) break;
    const auto* hit = static_cast<const uint8_t*>(memmem(chunk.data(), *got, kMagic, 8));
    if (hit) return from + static_cast<uint64_t>(hit - chunk.data());
    from += *got - 7;  // a magic may straddle the chunk's end
  }
  return size;
}

void TakeDescriptionPacket(Collected& c, const char* type, const uint8_t* body, size_t n) {
  if (std::memcmp(type, kTypeMain, 16) == 0) {
    if (c.haveMain || n < 12) return;
    const uint64_t ss = GetLe(body, 8);
    const uint64_t count = GetLe(body + 8, 4);
    if (ss == 0 || ss % 4 || ss > kMaxSliceSize || count > (n - 12) / 16) return;
    c.haveMain = true;
    c.sliceSize = ss;
    for (uint64_t i = 0; i < count; ++i) c.ids.push_back(GetHash(body + 12 + 16 * i));
  } else if (std::memcmp(type, kTypeFileDesc, 16) == 0) {
    if (n < 56) return;
    SetFile f;
    f.id = GetHash(body);
    f.md5 = GetHash(body + 16);
    f.md5First16k = GetHash(body + 32);
    f.length = GetLe(body + 48, 8);
    const char* name = reinterpret_cast<const char*>(body + 56);
    f.name.assign(name, strnlen(name, n - 56));
    c.descriptions.emplace(f.id, std::move(f));
  } else if (std::memcmp(type, kTypeIfsc, 16) == 0) {
    if (n < 16 || (n - 16) % 20) return;
    std::vector<SliceCheck> checks((n - 16) / 20);
    for (size_t i = 0; i < checks.size(); ++i) {
      checks[i].md5 = GetHash(body + 16 + 20 * i);
      checks[i].crc = static_cast<uint32_t>(GetLe(body + 16 + 20 * i + 16, 4));
    }
    c.checksums.emplace(GetHash(body), std::move(checks));
  } else if (std::memcmp(type, kTypeCreator, 16) == 0) {
    if (c.creator.empty())
      c.creator.assign(reinterpret_cast<const char*>(body),
                       strnlen(reinterpret_cast<const char*>(body), n));
  }
}

}  // namespace

Result<RecoverySet> ReadRecoverySet(const std::vector<fs::path>& par2Files) {
  std::map<Hash, Collected> sets;
  std::vector<Hash> mainOrder;  // sets in the order their main packet was found
  for (const fs::path& p : par2Files) {
    File f = OpenRead(p);
    if (!f) return Error::FromErrno("Cannot read " + p.string());
    std::error_code ec;
    const uint64_t size = fs::file_size(p, ec);
    if (ec) return Error::FromErrno("Cannot read " + p.string(), ec.value());
    uint64_t pos = 0;
    uint8_t h[kHeader];
    while (pos + kHeader <= size) {
      auto got = ReadAt(f.get(), pos, h, kHeader, p);
      if (!got) return got.error();
      const uint64_t len = GetLe(h + 8, 8);
      const bool framed = *got == kHeader && std::memcmp(h, kMagic, 8) == 0 && len >= kHeader &&
                          len % 4 == 0 && len <= size - pos;
      if (!framed) {
        auto next = NextMagic(f.get(), pos + 1, size, p);
        if (!next) return next.error();
        pos = *next;
        continue;
      }
      const Hash setId = GetHash(h + 32);
      const char* type = reinterpret_cast<const char*>(h + 48);
      const bool isRecovery = std::memcmp(type, kTypeRecovery, 16) == 0;
      bool valid = false;
      if (!isRecovery && len <= kMaxDescriptionPacket) {
        std::vector<uint8_t> packet(len - 32);
        auto read = ReadAt(f.get(), pos + 32, packet.data(), packet.size(), p);
        if (!read) return read.error();
        valid = *read == packet.size() && Md5Of(packet.data(), packet.size()) == GetHash(h + 16);
        if (valid) {
          Collected& c = sets[setId];
          const bool hadMain = c.haveMain;
          TakeDescriptionPacket(c, type, packet.data() + 32, packet.size() - 32);
          if (c.haveMain && !hadMain) {
            // A main packet names its own set: its id is the MD5 of its body.
            if (Md5Of(packet.data() + 32, packet.size() - 32) == setId) {
              mainOrder.push_back(setId);
            } else {
              c.haveMain = false;
              c.ids.clear();
            }
          }
        }
      } else if (isRecovery && len >= kHeader + 4 && len - kHeader - 4 <= kMaxSliceSize) {
        auto md5 = Md5OfRange(f.get(), pos + 32, pos + len, p);
        if (!md5) return md5.error();
        valid = *md5 == GetHash(h + 16);
        if (valid) {
          uint8_t e[4];
          auto read = ReadAt(f.get(), pos + kHeader, e, 4, p);
          if (!read) return read.error();
          const uint32_t exponent = static_cast<uint32_t>(GetLe(e, 4));
          Collected& c = sets[setId];
          // The block's length is checked against the slice size once the set is known.
          if (exponent < 65535 && !c.blocks.count(exponent)) {
            c.blocks[exponent] = RecoveryBlock{exponent, p, pos + kHeader + 4};
            c.blockLength[exponent] = len - kHeader - 4;
          }
        }
      } else {
        // Unknown or oversized packets are stepped over only when their MD5 holds, so a lying
        // length cannot hide the packets behind it.
        auto md5 = Md5OfRange(f.get(), pos + 32, pos + len, p);
        if (!md5) return md5.error();
        valid = *md5 == GetHash(h + 16);
      }
      if (valid) {
        pos += len;
      } else {
        auto next = NextMagic(f.get(), pos + 1, size, p);
        if (!next) return next.error();
        pos = *next;
      }
    }
  }
  if (mainOrder.empty())
    return Error(ErrorCode::Corrupt, "No recovery set found in the recovery files");
  Collected& c = sets[mainOrder.front()];
  RecoverySet set;
  set.setId = mainOrder.front();
  set.sliceSize = c.sliceSize;
  set.creator = c.creator;
  uint64_t slices = 0;
  std::vector<Hash> seen;
  for (const Hash& id : c.ids) {
    if (std::find(seen.begin(), seen.end(), id) != seen.end())
      return Error(ErrorCode::Corrupt, "The recovery set lists a file twice");
    seen.push_back(id);
    auto d = c.descriptions.find(id);
    auto k = c.checksums.find(id);
    if (d == c.descriptions.end() || k == c.checksums.end())
      return Error(ErrorCode::Corrupt, "The recovery files lack a file's description or checksums");
    SetFile file = d->second;
    if (!IsPlainFileName(file.name))
      return Error(ErrorCode::Corrupt,
                   "The recovery set names a file outside its folder: " + file.name);
    std::vector<uint8_t> idInput(file.md5First16k.begin(), file.md5First16k.end());
    PutLe(idInput, file.length, 8);
    idInput.insert(idInput.end(), file.name.begin(), file.name.end());
    if (Md5Of(idInput.data(), idInput.size()) != id)
      return Error(ErrorCode::Corrupt, "A file's description does not match its id: " + file.name);
    const uint64_t count = SliceCountOf(file.length, set.sliceSize);
    if (count != k->second.size())
      return Error(ErrorCode::Corrupt,
                   "The checksums of " + file.name + " do not match its length");
    slices += count;
    if (slices > kMaxInputSlices)
      return Error(ErrorCode::Corrupt, "The recovery set has too many slices");
    file.slices = k->second;
    set.files.push_back(std::move(file));
  }
  for (auto& [exponent, block] : c.blocks)
    if (c.blockLength[exponent] == set.sliceSize) set.blocks.push_back(block);
  return set;
}

// ---- checking and repairing ------------------------------------------------------------------

bool Verification::complete() const {
  return std::all_of(files.begin(), files.end(),
                     [](const FileStatus& f) { return f.state == FileState::Complete; });
}
bool Verification::repairable() const { return missingSlices <= recoveryBlocks; }

namespace {

struct Checked {
  Verification v;
  std::vector<std::vector<bool>> good;  // per file, per slice
};

// Reads slice s of a file of the set into `buf` (ss bytes, zero-padded); false when the file is
// too short to hold it whole.
Result<bool> ReadSlice(std::FILE* f, const SetFile& file, uint64_t s, uint64_t ss, uint8_t* buf,
                       const fs::path& p) {
  const uint64_t want = std::min<uint64_t>(ss, file.length - s * ss);
  auto got = ReadAt(f, s * ss, buf, want, p);
  if (!got) return got.error();
  std::memset(buf + want, 0, ss - want);
  return *got == want;
}

// Checks every file of the set: each slice at its place against its MD5 and CRC-32, and the
// whole file against its MD5. The slices are hashed in groups side by side (HashSlices), a
// region at a time, so a set declaring a huge slice size costs no memory before any recovery
// data backs it; a file of more than one slice has its whole-file MD5 read as a job of its own.
Result<Checked> Check(const RecoverySet& set, const fs::path& folder, std::stop_token stop) {
  Checked out;
  const uint64_t ss = set.sliceSize;
  const size_t n = set.files.size();
  std::vector<fs::path> paths;
  std::vector<uint64_t> lengths;
  std::vector<char> regular(n, 0), sizeRight(n, 0);
  std::vector<SliceJob> jobs;
  std::vector<size_t> longFiles;
  std::vector<Hash> wholeMd5(n);
  uint64_t cost = 0;
  for (size_t i = 0; i < n; ++i) {
    const SetFile& file = set.files[i];
    paths.push_back(folder / file.name);
    lengths.push_back(file.length);
    std::error_code ec;
    // A file that cannot be opened counts as missing, like one that is not there.
    regular[i] = fs::is_regular_file(paths[i], ec) && OpenRead(paths[i]) != nullptr;
    if (!regular[i]) continue;
    const uint64_t size = fs::file_size(paths[i], ec);
    sizeRight[i] = !ec && size == file.length;
    if (file.slices.size() != 1) longFiles.push_back(i);
    for (uint64_t s = 0; s < file.slices.size(); ++s) {
      SliceJob job;
      job.file = i;
      job.slice = s;
      job.wholeFile = file.slices.size() == 1;
      jobs.push_back(job);
    }
    cost += file.length;
  }
  const unsigned threads = ThreadsFor(cost);
  WorkQueue queue(longFiles.size(), jobs.size(), threads);
  FirstError failure;
  RunOn(std::clamp<unsigned>(
            threads, 1, static_cast<unsigned>(std::max<size_t>(1, jobs.size() + longFiles.size()))),
        [&] {
          std::vector<uint8_t> staging;
          while (!failure.failed()) {
            if (auto w = queue.NextWholeFile()) {
              const size_t i = longFiles[*w];
              auto md5 = WholeFileMd5(paths[i], lengths[i], staging, false, stop);
              if (!md5) {
                // A file that vanished meanwhile is only not whole; anything else is an error.
                if (md5.error().code == ErrorCode::Cancelled || fs::exists(paths[i]))
                  return failure.Set(md5.error());
                sizeRight[i] = 0;
              } else {
                wholeMd5[i] = *md5;
              }
              continue;
            }
            const auto [begin, end] = queue.NextGroup();
            if (begin == end) return;
            std::span<SliceJob> group(jobs.data() + begin, end - begin);
            if (Status st = HashSlices(group, paths, lengths, ss, false, staging, stop, {}); !st)
              return failure.Set(st.error());
          }
        });
  if (Status status = failure.status(); !status) return status.error();

  out.good.resize(n);
  for (size_t i = 0; i < n; ++i) out.good[i].assign(set.files[i].slices.size(), false);
  for (const SliceJob& job : jobs) {
    const SliceCheck& want = set.files[job.file].slices[job.slice];
    out.good[job.file][job.slice] =
        job.present && job.check.md5 == want.md5 && job.check.crc == want.crc;
    if (job.wholeFile) wholeMd5[job.file] = job.fileMd5;
  }
  for (size_t i = 0; i < n; ++i) {
    const SetFile& file = set.files[i];
    FileStatus st;
    st.name = file.name;
    st.totalSlices = static_cast<uint32_t>(file.slices.size());
    if (regular[i]) {
      st.goodSlices =
          static_cast<uint32_t>(std::count(out.good[i].begin(), out.good[i].end(), true));
      const bool allGood = st.goodSlices == st.totalSlices;
      st.state = sizeRight[i] && allGood && wholeMd5[i] == file.md5 ? FileState::Complete
                                                                    : FileState::Damaged;
    }
    out.v.missingSlices += st.totalSlices - st.goodSlices;
    out.v.files.push_back(st);
  }
  out.v.recoveryBlocks = static_cast<uint32_t>(set.blocks.size());
  return out;
}

// Removes the temporary files of a repair that did not finish.
struct TempGuard {
  std::vector<fs::path> paths;
  ~TempGuard() {
    std::error_code ec;
    for (const fs::path& p : paths) fs::remove(p, ec);
  }
};

}  // namespace

Result<Verification> VerifyFiles(const RecoverySet& set, const fs::path& folder,
                                 std::stop_token stop) {
  auto checked = Check(set, folder, stop);
  if (!checked) return checked.error();
  return std::move(checked->v);
}

Result<RepairReport> RepairFiles(const RecoverySet& set, const fs::path& folder,
                                 std::stop_token stop) {
  auto checked = Check(set, folder, stop);
  if (!checked) return checked.error();
  const Verification& v = checked->v;
  RepairReport report;
  if (v.complete()) return report;
  if (!v.repairable())
    return Error(ErrorCode::Corrupt, std::to_string(v.missingSlices - v.recoveryBlocks) +
                                         " more recovery blocks are needed to repair the files (" +
                                         std::to_string(v.missingSlices) + " slices are missing, " +
                                         std::to_string(v.recoveryBlocks) +
                                         " recovery blocks came)");
  const uint64_t ss = set.sliceSize;
  uint64_t total = 0;
  for (const SetFile& f : set.files) total += f.slices.size();
  const std::vector<uint16_t> constants = InputConstants(total);

  // The missing slices by global number, and the file and slice each one is.
  std::vector<uint64_t> missing;
  std::vector<std::pair<size_t, uint64_t>> where;
  {
    uint64_t g = 0;
    for (size_t i = 0; i < set.files.size(); ++i)
      for (uint64_t s = 0; s < set.files[i].slices.size(); ++s, ++g)
        if (!checked->good[i][s]) {
          missing.push_back(g);
          where.push_back({i, s});
        }
  }
  const size_t m = missing.size();

  // Pick m recovery blocks whose rows (constant^exponent over the missing slices) are
  // independent: any m usually are, but not every choice of exponents is invertible.
  std::vector<size_t> chosen;
  std::vector<std::vector<uint16_t>> basis;  // reduced rows, basis[k] has its pivot at pivots[k]
  std::vector<size_t> pivots;
  for (size_t b = 0; b < set.blocks.size() && chosen.size() < m; ++b) {
    std::vector<uint16_t> row(m);
    for (size_t k = 0; k < m; ++k)
      row[k] = gf16::Power(constants[missing[k]], set.blocks[b].exponent);
    for (size_t r = 0; r < basis.size(); ++r)
      if (const uint16_t f = row[pivots[r]])
        for (size_t k = 0; k < m; ++k) row[k] ^= gf16::Mul(f, basis[r][k]);
    size_t pivot = 0;
    while (pivot < m && row[pivot] == 0) ++pivot;
    if (pivot == m) continue;
    const uint16_t inv = gf16::Inverse(row[pivot]);
    for (uint16_t& x : row) x = gf16::Mul(x, inv);
    basis.push_back(std::move(row));
    pivots.push_back(pivot);
    chosen.push_back(b);
  }
  if (chosen.size() < m)
    return Error(ErrorCode::Corrupt,
                 "The recovery blocks that came cannot rebuild the missing slices");

  // Invert the chosen rows by Gauss-Jordan elimination.
  std::vector<std::vector<uint16_t>> a(m, std::vector<uint16_t>(2 * m, 0));
  for (size_t j = 0; j < m; ++j) {
    for (size_t k = 0; k < m; ++k)
      a[j][k] = gf16::Power(constants[missing[k]], set.blocks[chosen[j]].exponent);
    a[j][m + j] = 1;
  }
  for (size_t col = 0; col < m; ++col) {
    size_t r = col;
    while (r < m && a[r][col] == 0) ++r;
    if (r == m)
      return Error(ErrorCode::Corrupt,
                   "The recovery blocks that came cannot rebuild the missing slices");
    std::swap(a[r], a[col]);
    const uint16_t inv = gf16::Inverse(a[col][col]);
    for (uint16_t& x : a[col]) x = gf16::Mul(x, inv);
    for (size_t i = 0; i < m; ++i)
      if (i != col && a[i][col])
        for (size_t k = 0, f = a[i][col]; k < 2 * m; ++k)
          a[i][k] ^= gf16::Mul(static_cast<uint16_t>(f), a[col][k]);
  }

  // Each chosen block minus what the intact slices contribute leaves the missing part only.
  std::vector<std::vector<uint8_t>> rhs(m, std::vector<uint8_t>(ss));
  for (size_t j = 0; j < m; ++j) {
    const RecoveryBlock& b = set.blocks[chosen[j]];
    File f = OpenRead(b.file);
    if (!f) return Error::FromErrno("Cannot read " + b.file.string());
    auto got = ReadAt(f.get(), b.dataOffset, rhs[j].data(), ss, b.file);
    if (!got) return got.error();
    if (*got != ss)
      return Error(ErrorCode::Corrupt, b.file.string() + " changed while it was read");
  }
  {
    // Threads take the intact slices in turn and add each into every chosen block.
    struct Item {
      size_t file;
      uint64_t slice, global;
    };
    std::vector<Item> items;
    uint64_t g = 0;
    for (size_t i = 0; i < set.files.size(); ++i)
      for (uint64_t s = 0; s < set.files[i].slices.size(); ++s, ++g)
        if (checked->good[i][s]) items.push_back({i, s, g});
    Accumulator accumulator(rhs, ss);
    FirstError failure;
    std::atomic<size_t> next{0};
    const unsigned threads = ThreadsFor(items.size() * ss * m);
    RunOn(std::clamp<unsigned>(threads, 1, std::max<size_t>(1, items.size())), [&] {
      std::vector<uint8_t> slice(ss);
      std::vector<uint16_t> factors(m);
      File f;
      size_t opened = SIZE_MAX;
      for (size_t k; !failure.failed() && (k = next.fetch_add(1)) < items.size();) {
        if (stop.stop_requested()) return failure.Set(Error::Cancelled());
        const Item& it = items[k];
        const SetFile& file = set.files[it.file];
        const fs::path p = folder / file.name;
        if (opened != it.file) {
          if (!(f = OpenRead(p))) return failure.Set(Error::FromErrno("Cannot read " + p.string()));
          opened = it.file;
        }
        auto ok = ReadSlice(f.get(), file, it.slice, ss, slice.data(), p);
        if (!ok) return failure.Set(ok.error());
        if (!*ok)
          return failure.Set(Error(ErrorCode::Io, p.string() + " changed during the repair"));
        for (size_t j = 0; j < m; ++j)
          factors[j] = gf16::Power(constants[it.global], set.blocks[chosen[j]].exponent);
        accumulator.Add(slice.data(), factors);
      }
    });
    if (Status status = failure.status(); !status) return status.error();
  }
  std::vector<uint8_t> buf(ss);

  // Rebuild each damaged file under a temporary name: its intact slices copied, its missing
  // ones solved and checked, then the whole checked again before anything is replaced.
  TempGuard temps;
  std::map<size_t, File> outs;
  std::map<size_t, fs::path> outPaths;
  for (size_t i = 0; i < set.files.size(); ++i) {
    if (v.files[i].state == FileState::Complete) continue;
    const SetFile& file = set.files[i];
    const fs::path tmp = folder / TempNameFor(file.name);
    File out(std::fopen(tmp.c_str(), "w+b"));
    if (!out) return Error::FromErrno("Cannot write " + tmp.string());
    temps.paths.push_back(tmp);
    const fs::path p = folder / file.name;
    File in;
    for (uint64_t s = 0; s < file.slices.size(); ++s) {
      if (!checked->good[i][s]) continue;
      if (!in && !(in = OpenRead(p))) return Error::FromErrno("Cannot read " + p.string());
      auto ok = ReadSlice(in.get(), file, s, ss, buf.data(), p);
      if (!ok) return ok.error();
      const size_t want = static_cast<size_t>(std::min<uint64_t>(ss, file.length - s * ss));
      if (fseeko(out.get(), static_cast<off_t>(s * ss), SEEK_SET) != 0 ||
          std::fwrite(buf.data(), 1, want, out.get()) != want)
        return Error::FromErrno("Cannot write " + tmp.string());
    }
    outs[i] = std::move(out);
    outPaths[i] = tmp;
  }
  // Solve region by region in place: every missing slice's region from that region of the
  // chosen blocks, the results then taking the blocks' place there (no longer needed), so the
  // solved slices cost no memory beyond the blocks' and can be hashed side by side.
  if (stop.stop_requested()) return Error::Cancelled();
  Shared(ThreadsFor(ss * m * m), ss, [&](size_t b, size_t end) {
    const size_t len = end - b;
    std::vector<uint8_t> solved(m * len, 0);
    for (size_t k = 0; k < m; ++k)
      for (size_t j = 0; j < m; ++j)
        gf16::MulAdd(a[k][m + j], rhs[j].data() + b, solved.data() + k * len, len);
    for (size_t k = 0; k < m; ++k) std::memcpy(rhs[k].data() + b, solved.data() + k * len, len);
  });
  std::vector<std::vector<uint8_t>>& rebuilt = rhs;
  std::map<size_t, Hash> rebuiltMd5;  // files rebuilt whole from one slice, by index
  // Every rebuilt slice is checked against its MD5 and CRC-32 before any of it is written; the
  // slices are independent streams, so the threads take them one at a time.
  if (stop.stop_requested()) return Error::Cancelled();
  std::vector<SliceCheck> rebuiltChecks(m);
  std::vector<Hash> rebuiltWhole(m);
  std::atomic<size_t> nextRebuilt{0};
  RunOn(std::clamp<unsigned>(ThreadsFor(ss * m), 1, static_cast<unsigned>(m)), [&] {
    for (size_t k; (k = nextRebuilt.fetch_add(1)) < m;) {
      const auto [i, s] = where[k];
      const uint64_t want = std::min<uint64_t>(ss, set.files[i].length - s * ss);
      Md5Stream md5;
      md5.Add(rebuilt[k].data(), static_cast<size_t>(want));
      // A file of one slice is that slice's first bytes: the same pass checks both.
      if (set.files[i].slices.size() == 1) rebuiltWhole[k] = md5.Finish();
      md5.AddZeros(ss - want);
      rebuiltChecks[k] = {md5.Finish(), Crc32(rebuilt[k].data(), ss)};
    }
  });
  for (size_t k = 0; k < m; ++k) {
    if (stop.stop_requested()) return Error::Cancelled();
    const auto [i, s] = where[k];
    const SetFile& file = set.files[i];
    if (file.slices.size() == 1) rebuiltMd5[i] = rebuiltWhole[k];
    const size_t want = static_cast<size_t>(std::min<uint64_t>(ss, file.length - s * ss));
    if (rebuiltChecks[k].md5 != file.slices[s].md5 || rebuiltChecks[k].crc != file.slices[s].crc)
      return Error(ErrorCode::Corrupt, "The recovery data does not rebuild " + file.name +
                                           " (slice " + std::to_string(s + 1) +
                                           " fails its MD5)");
    std::FILE* out = outs[i].get();
    if (fseeko(out, static_cast<off_t>(s * ss), SEEK_SET) != 0 ||
        std::fwrite(rebuilt[k].data(), 1, want, out) != want)
      return Error::FromErrno("Cannot write " + outPaths[i].string());
  }
  for (auto& [i, out] : outs) {
    const SetFile& file = set.files[i];
    if (std::fflush(out.get()) != 0)
      return Error::FromErrno("Cannot write " + outPaths[i].string());
    Hash md5;
    if (auto known = rebuiltMd5.find(i); known != rebuiltMd5.end()) {
      md5 = known->second;
    } else {
      auto read = Md5OfRange(out.get(), 0, file.length, outPaths[i]);
      if (!read) return read.error();
      md5 = *read;
    }
    if (md5 != file.md5)
      return Error(ErrorCode::Corrupt, "The rebuilt " + file.name + " fails its MD5");
    if (std::fclose(out.release()) != 0)
      return Error::FromErrno("Cannot write " + outPaths[i].string());
  }
  for (auto& [i, tmp] : outPaths) {
    std::error_code ec;
    fs::rename(tmp, folder / set.files[i].name, ec);
    if (ec)
      return Error::FromErrno("Cannot replace " + (folder / set.files[i].name).string(),
                              ec.value());
    report.repaired.push_back(set.files[i].name);
  }
  temps.paths.clear();
  return report;
}

}  // namespace dtl::par2
