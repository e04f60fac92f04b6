// The mail engine's log of one operation (one delivery attempt or one server test): operations
// nested as the calls were, each holding named values and info/error/debug messages in order.
// The SMTP client records into it; after a failed delivery it is written out as the error log
// file (ErrorLog.h).
//
// Not thread-safe: one log per attempt, on the thread doing the attempt. Credentials never go
// in here (the SMTP client writes a placeholder instead).
#pragma once

#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dtl {

struct MailLogNode {
  enum class Kind { Operation, Value, Info, Error, Debug };
  Kind kind = Kind::Operation;
  std::string name;  // operation or value name
  std::string text;  // value or message text
  std::time_t when = 0;
  std::vector<MailLogNode> children;  // operations only
};

class MailLog {
 public:
  using Clock = std::function<std::time_t()>;
  explicit MailLog(Clock clock = [] { return std::time(nullptr); }) : clock_(std::move(clock)) {
    root_.name = "TessalyLog";
  }

  // Opens a nested operation; Leave() closes the innermost one (extra Leave() calls are ignored).
  void Enter(std::string_view operation) {
    MailLogNode n;
    n.kind = MailLogNode::Kind::Operation;
    n.name = operation;
    n.when = clock_();
    Current().children.push_back(std::move(n));
    path_.push_back(Current().children.size() - 1);
  }
  void Leave() {
    if (!path_.empty()) path_.pop_back();
  }
  void Value(std::string_view name, std::string_view value) {
    Add(MailLogNode::Kind::Value, name, value);
  }
  void Info(std::string_view text) { Add(MailLogNode::Kind::Info, {}, text); }
  void Error(std::string_view text) { Add(MailLogNode::Kind::Error, {}, text); }
  void Debug(std::string_view text) { Add(MailLogNode::Kind::Debug, {}, text); }

  bool Empty() const { return root_.children.empty(); }
  const MailLogNode& Root() const { return root_; }

  // Every error text recorded, in order (tests and status texts use it).
  std::vector<std::string> Errors() const {
    std::vector<std::string> out;
    Collect(root_, out);
    return out;
  }

 private:
  MailLogNode& Current() {
    MailLogNode* n = &root_;
    for (size_t i : path_) n = &n->children[i];
    return *n;
  }
  void Add(MailLogNode::Kind kind, std::string_view name, std::string_view text) {
    MailLogNode n;
    n.kind = kind;
    n.name = name;
    n.text = text;
    n.when = clock_();
    Current().children.push_back(std::move(n));
  }
  static void Collect(const MailLogNode& n, std::vector<std::string>& out) {
    for (const auto& c : n.children) {
      if (c.kind == MailLogNode::Kind::Error) out.push_back(c.text);
      Collect(c, out);
    }
  }

  Clock clock_;
  MailLogNode root_;
  std::vector<size_t> path_;
};

// Opens an operation for the lifetime of the object.
class MailLogScope {
 public:
  MailLogScope(MailLog& log, std::string_view operation) : log_(log) { log_.Enter(operation); }
  ~MailLogScope() { log_.Leave(); }
  MailLogScope(const MailLogScope&) = delete;
  MailLogScope& operator=(const MailLogScope&) = delete;

 private:
  MailLog& log_;
};

}  // namespace dtl
