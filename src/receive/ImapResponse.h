// The reader of IMAP server responses (RFC 3501 section 7 and 9): one response at a time,
// tagged ("a1 OK ..."), untagged ("* 3 FETCH (...)") or a continuation request ("+ ...").
//
// Values inside a response are atoms, quoted strings, literals ({n} followed by n bytes), NIL
// and parenthesised lists nested to any depth up to kMaxListDepth. A literal's announced size
// is never allocated up front: its bytes are taken as they arrive, and a literal the caller
// routes to a sink (the body of a fetched part) is handed over chunk by chunk and never held in
// memory. What stays in memory per response is bounded by kMaxResponseBytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"

namespace dtl {

struct ImapValue {
  enum class Kind { Atom, Quoted, Literal, Nil, List };
  Kind kind = Kind::Nil;
  std::string text;              // atom, quoted string or in-memory literal (empty when streamed)
  std::vector<ImapValue> items;  // a list's members
  uint64_t literalSize = 0;      // a literal's announced size
  bool streamed = false;         // a literal whose bytes went to a sink instead of `text`

  bool IsString() const {
    return kind == Kind::Quoted || kind == Kind::Literal || kind == Kind::Atom;
  }
  bool IsList() const { return kind == Kind::List; }
  bool IsNil() const { return kind == Kind::Nil; }
};

struct ImapResponse {
  enum class Kind { Tagged, Untagged, Continuation };
  Kind kind = Kind::Untagged;
  std::string tag;                 // tagged only
  std::optional<uint32_t> number;  // untagged "* N NAME ..." (EXISTS, FETCH, ...)
  std::string name;                // upper case: OK, NO, BAD, BYE, PREAUTH, CAPABILITY, FETCH, ...
  std::string code;                // a status's response code inside [..], as sent (may be empty)
  std::string text;                // a status's or continuation's human-readable text
  std::vector<ImapValue> data;     // the values after the name of a non-status response

  bool IsStatus() const;  // OK, NO, BAD, BYE or PREAUTH
  // The first word of `code`, upper case ("ALERT", "CAPABILITY", "NONEXISTENT", ...).
  std::string CodeName() const;
};

// Receives a streamed literal's bytes in order; a failure stops the read and is returned.
using ImapSink = std::function<Status(std::string_view chunk)>;
// Asked when a literal begins, with the atom just before it in its list (e.g. "BODY[2]") or
// empty; returns the sink for its bytes, or nullptr to keep them in memory.
using ImapLiteralRouter = std::function<const ImapSink*(std::string_view key)>;
// Gives up to `size` bytes into `buffer`: the count, 0 at the end of the stream, or a failure.
using ImapByteSource = std::function<Result<size_t>(char* buffer, size_t size)>;

class ImapResponseReader {
 public:
  static constexpr size_t kMaxResponseBytes = 8u << 20;  // held in memory, per response
  static constexpr int kMaxListDepth = 64;

  explicit ImapResponseReader(ImapByteSource source) : source_(std::move(source)) {}

  // Reads the next whole response. Fails Protocol on anything the grammar does not allow or on
  // a response over the memory bound, Network when the stream ends within it, and with the
  // source's or a sink's failure. After a failure the stream's position is unknown: the
  // connection must be dropped.
  Result<ImapResponse> Next(const ImapLiteralRouter& router = {});

  // Bytes already read from the source but not yet taken (after STARTTLS's OK there must be
  // none: they came before the handshake).
  size_t Buffered() const { return len_ - pos_; }

 private:
  Result<char> Peek();
  Result<char> Take();
  Status Expect(char c);
  Status ExpectCrlf();
  Result<std::string> ReadAtom(bool allowBrackets);
  Result<std::string> ReadQuoted();
  Result<ImapValue> ReadLiteral(std::string_view key, const ImapLiteralRouter& router);
  Result<ImapValue> ReadValue(std::string_view key, const ImapLiteralRouter& router, int depth);
  Result<std::string> ReadRestOfLine();
  Status Fill();
  Status Count(size_t n);

  ImapByteSource source_;
  std::string buf_;
  size_t len_ = 0;
  size_t pos_ = 0;
  size_t held_ = 0;  // bytes of the current response kept in memory
};

// Quotes `s` as an IMAP quoted string, or gives nullopt when it cannot be one (CR, LF, NUL or
// a byte above 127): such a value has to go as a literal.
std::optional<std::string> ImapQuote(std::string_view s);

}  // namespace dtl
