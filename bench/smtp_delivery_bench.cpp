// Composes one segment mail around a piece of random bytes (as the send engine does: zipped,
// AES-encrypted, base64 in a multipart message) and delivers it to an SMTP server on loopback.
// Prints machine-readable lines for bench/smtp_delivery.sh:
//   piece_bytes N / wire_bytes N / compose_s S / deliver_s S (best of the runs)
// and writes the rendered message to --out so another mailer can deliver the same bytes.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "mail/EmailObject.h"
#include "mail/SmtpClient.h"

namespace {

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0, runs = 3;
  size_t size = 10'000'000;
  std::string out;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--port"))
      port = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--runs"))
      runs = std::atoi(argv[i + 1]);
    else if (!std::strcmp(argv[i], "--size"))
      size = std::strtoull(argv[i + 1], nullptr, 10);
    else if (!std::strcmp(argv[i], "--out"))
      out = argv[i + 1];
  }
  if (port <= 0 || runs <= 0) {
    std::fprintf(stderr,
                 "usage: smtp_delivery_bench --port N [--runs N] [--size BYTES] [--out FILE]\n");
    return 2;
  }

  std::vector<uint8_t> piece(size);
  std::mt19937_64 rng(42);
  for (size_t i = 0; i < size; i += 8) {
    uint64_t v = rng();
    std::memcpy(piece.data() + i, &v, std::min<size_t>(8, size - i));
  }

  auto t0 = std::chrono::steady_clock::now();
  auto email = dtl::EmailObject::CreateMessage(dtl::CurrentMessageStamp());
  email.SetHeader("X-Mailer", "");
  const std::string subject = "bench.bin - segment number 1         a1b2c3d4e5";
  email.SetSubject(subject);
  email.SetFrom("bench@example.test");
  email.AddTo("sink@example.test", "sink@example.test");
  email.AddAttachmentBytes("bench.bin.001", "", std::move(piece));
  if (!email.ZipAttachments("bench.bin.001.doc") || !email.AesEncrypt("")) {
    std::fprintf(stderr, "composing failed\n");
    return 1;
  }
  email.SetBody(subject + ".");
  const double compose = Seconds(t0);

  std::string wire;
  if (!email.Render(wire)) return 1;
  if (!out.empty())
    std::ofstream(out, std::ios::binary)
        .write(wire.data(), static_cast<std::streamsize>(wire.size()));

  dtl::SmtpSettings settings;
  settings.host = "127.0.0.1";
  settings.port = port;
  settings.startTls = dtl::StartTlsMode::Off;
  double best = 1e9;
  for (int r = 0; r < runs; ++r) {
    dtl::SmtpClient client(settings);
    auto t = std::chrono::steady_clock::now();
    if (const dtl::Status sent = client.SendEmail(email); !sent) {
      std::fprintf(stderr, "delivery failed: %s\n", sent.error().message.c_str());
      return 1;
    }
    best = std::min(best, Seconds(t));
  }
  std::printf("piece_bytes %zu\nwire_bytes %zu\ncompose_s %.4f\ndeliver_s %.4f\n", size,
              wire.size(), compose, best);
  return 0;
}
