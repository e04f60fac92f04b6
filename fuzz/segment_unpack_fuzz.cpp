// The merge's unpacking of one segment archive: the AES form decrypted in place (both pads
// removed) and the zip inside it read entry by entry through small memory chunks.
//
// Input: one mode byte, then the body. Mode bit 0 clear: the body is the ciphertext as it lies
// on disk. Set: the body is the plaintext the decryption must yield, pads and all, so the
// fuzzer steers the pad removal and the zip reader behind it.
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "archive/SegmentArchive.h"
#include "archive/SegmentCipher.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace dtl;
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  std::vector<uint8_t> body(data + 1, data + size);
  const std::string_view password = (mode & 2) ? std::string_view("hunter2") : std::string_view();
  std::vector<uint8_t> archive =
      (mode & 1) ? dtlfuzz::RawAesCbc(password.empty() ? kDefaultAesPassword : password, body)
                 : body;

  // The copying decryption and the in-place one agree on every input.
  std::vector<uint8_t> copied = DecryptBytes(CipherAlgorithm::Aes, 128, password, archive);
  DecryptSegmentInPlace(archive, password);
  if (copied != archive) std::abort();
  // Removing the pads only ever shortens the bytes.
  if (archive.size() > body.size()) std::abort();

  const uint32_t chunk = 1u + ((mode >> 2) * 97u);  // 1 .. 6112 bytes
  dtlfuzz::DrainZip(archive.data(), archive.size(), chunk);
  return 0;
}
