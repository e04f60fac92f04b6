// Writes a file of mixed compressibility for the split/merge benchmark: 1 MiB blocks, each either
// random bytes or text-like lines (words of a made-up vocabulary, numbers, punctuation), chosen
// by a fixed seed, so every run on every machine measures the very same bytes. Text never
// repeats at long range, so compressors with large windows gain nothing unfair.
//
//   gen_mixed OUT [SIZE_BYTES] [SEED]      (defaults: 1 GiB, 20240607)
//
// Built by bench/split_merge.sh with the system compiler; not part of the program.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Rng {  // xoshiro256** seeded through splitmix64
  uint64_t s[4];
  explicit Rng(uint64_t seed) {
    for (auto& v : s) {
      seed += 0x9E3779B97F4A7C15ull;
      uint64_t z = seed;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
      v = z ^ (z >> 31);
    }
  }
  static uint64_t Rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  uint64_t Next() {
    uint64_t r = Rotl(s[1] * 5, 7) * 9, t = s[1] << 17;
    s[2] ^= s[0], s[3] ^= s[1], s[1] ^= s[2], s[0] ^= s[3], s[2] ^= t, s[3] = Rotl(s[3], 45);
    return r;
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>((Next() >> 32) * n >> 32); }
};

constexpr size_t kBlock = 1 << 20;

std::vector<std::string> Vocabulary(Rng& rng) {
  // Letters roughly by English frequency.
  const std::string pool =
      "eeeeeeeeeeeettttttttaaaaaaaooooooiiiiiinnnnnnsssssshhhhhrrrrrddddllllcccuuummmwwffggyyppbbvk"
      "jxqz";
  const int lengths[] = {2, 3, 3, 4, 4, 5, 5, 6, 7, 8, 9, 11};
  std::vector<std::string> words;
  for (int i = 0; i < 4000; ++i) {
    std::string w;
    for (int n = lengths[rng.Below(12)]; n > 0; --n) w += pool[rng.Below(pool.size())];
    words.push_back(w);
  }
  return words;
}

void TextBlock(Rng& rng, const std::vector<std::string>& words, std::string& out) {
  const char ends[] = {'.', '.', ',', ';', '?', ':'};
  out.clear();
  while (out.size() < kBlock) {
    size_t start = out.size();
    for (uint32_t n = 4 + rng.Below(11); n > 0; --n) {
      out += words[rng.Below(words.size())];
      out += ' ';
    }
    if (rng.Below(10) < 3)
      out += std::to_string(rng.Below(100000)) + "." + std::to_string(10 + rng.Below(90));
    else
      out.pop_back();
    out[start] = static_cast<char>(out[start] - 'a' + 'A');
    out += ends[rng.Below(6)];
    out += '\n';
  }
  out.resize(kBlock);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: gen_mixed OUT [SIZE_BYTES] [SEED]\n");
    return 2;
  }
  uint64_t size = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : (1ull << 30);
  uint64_t seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 20240607;
  FILE* f = std::fopen(argv[1], "wb");
  if (!f) {
    std::perror(argv[1]);
    return 1;
  }
  Rng rng(seed);
  auto words = Vocabulary(rng);
  std::string block;
  for (uint64_t written = 0; written < size;) {
    size_t n = static_cast<size_t>(std::min<uint64_t>(kBlock, size - written));
    if (rng.Below(2) == 0) {
      block.resize(kBlock);
      for (size_t i = 0; i < kBlock; i += 8) {
        uint64_t v = rng.Next();
        for (int b = 0; b < 8; ++b) block[i + b] = static_cast<char>(v >> (8 * b));
      }
    } else {
      TextBlock(rng, words, block);
    }
    if (std::fwrite(block.data(), 1, n, f) != n) {
      std::perror(argv[1]);
      return 1;
    }
    written += n;
  }
  if (std::fclose(f) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
