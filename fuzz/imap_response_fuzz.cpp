// The IMAP response reader against a server whose every byte comes from the fuzz input: reads
// responses until the stream fails, with the bodies of fetched parts (literals after a
// "BODY[...]" atom) streamed to a counting sink and every other literal kept in memory. What
// the listing makes of a response goes through too: a FETCH's BODYSTRUCTURE is flattened into
// parts, and every string is tried as a folder name in modified UTF-7.
//
// Input: a read-size byte, then the server's byte stream.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "receive/ImapBodyStructure.h"
#include "receive/ImapMailboxName.h"
#include "receive/ImapResponse.h"

namespace {

// Walks a value tree; a streamed literal holds no bytes, an in-memory one exactly its size.
size_t Check(const dtl::ImapValue& v, int depth) {
  if (depth > dtl::ImapResponseReader::kMaxListDepth + 1) std::abort();
  if (v.kind == dtl::ImapValue::Kind::Literal) {
    if (v.streamed ? !v.text.empty() : v.text.size() != v.literalSize) std::abort();
  }
  size_t n = v.text.size();
  for (const auto& item : v.items) n += Check(item, depth + 1);
  // A name that decodes encodes again, to a form that decodes to the same name (a server may
  // split one run in two, so the form itself can differ).
  if (v.kind == dtl::ImapValue::Kind::Quoted) {
    if (auto name = dtl::DecodeMailboxName(v.text)) {
      auto again = dtl::EncodeMailboxName(*name);
      if (!again) std::abort();
      auto back = dtl::DecodeMailboxName(*again);
      if (!back || *back != *name) std::abort();
    }
  }
  return n;
}

// Every part of a structure that flattens has a section of dot-separated numbers.
void CheckStructure(const dtl::ImapResponse& r) {
  if (r.name != "FETCH" || r.data.empty() || !r.data[0].IsList()) return;
  const auto& items = r.data[0].items;
  for (size_t i = 0; i + 1 < items.size(); i += 2) {
    if (items[i].text != "BODYSTRUCTURE") continue;
    auto parts = dtl::ImapBodyParts(items[i + 1]);
    if (!parts) continue;
    for (const auto& p : *parts)
      if (p.section.empty() || p.section.find_first_not_of("0123456789.") != std::string::npos)
        std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t readSize = 1 + data[0] % 64;
  const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
  size_t pos = 0;
  dtl::ImapResponseReader reader([&](char* buffer, size_t room) -> dtl::Result<size_t> {
    if (room == 0) std::abort();  // the reader must always offer room
    const size_t n = std::min({room, readSize, bytes.size() - pos});
    std::copy_n(bytes.data() + pos, n, buffer);
    pos += n;
    return n;
  });
  uint64_t streamed = 0;
  const dtl::ImapSink sink = [&](std::string_view chunk) -> dtl::Status {
    if (chunk.empty()) std::abort();  // a sink is only called with bytes
    streamed += chunk.size();
    return {};
  };
  const dtl::ImapLiteralRouter router = [&](std::string_view key) -> const dtl::ImapSink* {
    return key.substr(0, 5) == "BODY[" ? &sink : nullptr;
  };
  for (int i = 0; i < 1000; ++i) {
    auto r = reader.Next(router);
    if (!r) break;
    size_t held = r->tag.size() + r->name.size() + r->code.size() + r->text.size();
    for (const auto& v : r->data) held += Check(v, 0);
    CheckStructure(*r);
    if (held > dtl::ImapResponseReader::kMaxResponseBytes) std::abort();
  }
  // Nothing streamed that the input did not hold.
  if (streamed > bytes.size()) std::abort();
  return 0;
}
