#include "mail/MapiSession.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace dtl {
namespace {

constexpr size_t kMaxOutput = 64 * 1024;

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

bool IsExecutableFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

std::string FindProgram(const std::string& program) {
  if (program.empty()) return {};
  if (program.find('/') != std::string::npos)
    return IsExecutableFile(program) ? program : std::string();
  const char* path = std::getenv("PATH");
  std::string_view dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
  while (true) {
    size_t colon = dirs.find(':');
    std::string dir(dirs.substr(0, colon));
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + program;
    if (IsExecutableFile(candidate)) return candidate;
    if (colon == std::string_view::npos) return {};
    dirs.remove_prefix(colon + 1);
  }
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

MapiSession::MapiSession() {
  const char* env = std::getenv("DTL_SENDMAIL");
  program = env && *env ? std::string(env) : std::string(kDefaultSubmissionProgram);
}

Error MapiSession::Fail(std::string text, ErrorCode code) { return Error(code, std::move(text)); }

Status MapiSession::Logon(std::string_view profile, std::string_view /*password*/) {
  loggedOn_ = false;
  profile_ = Trim(profile);
  resolved_ = FindProgram(program);
  if (resolved_.empty())
    return Fail("No mail submission program found at " + program, ErrorCode::NotFound);
  loggedOn_ = true;
  return {};
}

Status MapiSession::Compose(const std::vector<std::string>& recipients, std::string_view subject,
                            std::string_view body, const std::vector<uint8_t>& attachment,
                            std::string_view attachmentName, bool highImportance) {
  composed_ = false;
  message_.clear();
  if (!loggedOn_) return Fail("Not logged on to the mail submission program");
  EmailObject mail = EmailObject::CreateMessage(stamp ? stamp() : CurrentMessageStamp());
  if (highImportance) {
    mail.SetHeader("X-Priority", "1 (Highest)");
    mail.SetHeader("Importance", "high");
  }
  mail.SetSubject(subject);
  // A recipient text ends in ";", so cutting it leaves an empty last token: it names nobody.
  for (const std::string& r : recipients) {
    std::string_view a = Trim(r);
    if (!a.empty()) mail.AddTo(a, a);
  }
  if (mail.ToList().empty()) return Fail("No recipients", ErrorCode::InvalidArgument);
  if (!attachment.empty()) {
    std::string name(Trim(attachmentName));
    if (name.empty()) name = kFallbackAttachmentName;
    mail.AddAttachmentBytes(name, MediaTypeForFileName(name), attachment);
  }
  mail.SetBody(body);
  if (!mail.Render(message_)) return Fail("Failed to prepare email for sending.");
  composed_ = true;
  return {};
}

Status MapiSession::Submit() {
  output_.clear();
  if (!composed_) return Fail("No message was composed");

  std::vector<std::string> args{resolved_};
  if (!profile_.empty()) {
    args.push_back("-a");
    args.push_back(profile_);
  }
  args.push_back("-t");
  args.push_back("-i");
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  // The message goes through a socket rather than a pipe: send() with MSG_NOSIGNAL reports a
  // program that quit early as EPIPE instead of killing this process with SIGPIPE.
  int in[2] = {-1, -1}, out[2] = {-1, -1}, status[2] = {-1, -1};
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0 ||
      ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(status, O_CLOEXEC) != 0) {
    int err = errno;
    for (int* fd : {&in[0], &in[1], &out[0], &out[1], &status[0], &status[1]}) CloseFd(*fd);
    return Error(ErrorCode::Io,
                 std::string("Cannot start the mail submission program: ") + std::strerror(err),
                 err);
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    // Only async-signal-safe calls from here on: the parent may have other threads.
    ::dup2(in[1], 0);
    ::dup2(out[1], 1);
    ::dup2(out[1], 2);
    ::execv(argv[0], argv.data());
    int err = errno;
    ssize_t ignored = ::write(status[1], &err, sizeof err);
    (void)ignored;
    ::_exit(127);
  }
  int forkErr = errno;
  CloseFd(in[1]);
  CloseFd(out[1]);
  CloseFd(status[1]);
  if (pid < 0) {
    CloseFd(in[0]);
    CloseFd(out[0]);
    CloseFd(status[0]);
    return Error(ErrorCode::Io,
                 std::string("Cannot start the mail submission program: ") + std::strerror(forkErr),
                 forkErr);
  }

  // The status pipe closes on a successful exec; otherwise it carries the exec error.
  int execErr = 0;
  ssize_t got;
  do {
    got = ::read(status[0], &execErr, sizeof execErr);
  } while (got < 0 && errno == EINTR);
  CloseFd(status[0]);

  // Write and read at once: a program that answers at length before reading all of its input
  // would otherwise block on a full pipe while this side blocks on a full socket.
  ::fcntl(in[0], F_SETFL, ::fcntl(in[0], F_GETFL) | O_NONBLOCK);
  size_t sent = 0;
  bool writeFailed = false;
  if (got == static_cast<ssize_t>(sizeof execErr)) CloseFd(in[0]);
  while (out[0] >= 0) {
    if (in[0] >= 0 && sent == message_.size()) {
      ::shutdown(in[0], SHUT_WR);
      CloseFd(in[0]);
    }
    pollfd fds[2] = {{out[0], POLLIN, 0}, {in[0], POLLOUT, 0}};
    int n = ::poll(fds, in[0] >= 0 ? 2 : 1, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents) {
      char buf[4096];
      ssize_t r = ::read(out[0], buf, sizeof buf);
      if (r > 0) {
        output_.append(buf, std::min(static_cast<size_t>(r),
                                     kMaxOutput - std::min(kMaxOutput, output_.size())));
      } else if (r == 0 || errno != EINTR) {
        CloseFd(out[0]);
      }
    }
    if (in[0] >= 0 && fds[1].revents) {
      ssize_t w = ::send(in[0], message_.data() + sent, message_.size() - sent, MSG_NOSIGNAL);
      if (w > 0) {
        sent += static_cast<size_t>(w);
      } else if (w < 0 && errno != EINTR && errno != EAGAIN) {
        writeFailed = true;
        CloseFd(in[0]);
      }
    }
  }
  CloseFd(in[0]);
  CloseFd(out[0]);

  int st = 0;
  while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  if (got == static_cast<ssize_t>(sizeof execErr))
    return Error(
        ErrorCode::Io,
        "Cannot run the mail submission program " + resolved_ + ": " + std::strerror(execErr),
        execErr);
  if (WIFSIGNALED(st))
    return Fail("The mail submission program was killed by signal " + std::to_string(WTERMSIG(st)));
  if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
    std::string text =
        "The mail submission program exited with status " + std::to_string(WEXITSTATUS(st));
    if (!output_.empty()) text += ": " + output_;
    return Error(ErrorCode::Refused, std::move(text), WEXITSTATUS(st));
  }
  if (writeFailed || sent != message_.size())
    return Fail("The mail submission program did not read the whole message");
  return {};
}

Result<MapiLogonStep> LogonInOrder(
    std::string_view userName, std::string_view pass,
    const std::function<Status(std::string_view profile, std::string_view password)>& logon,
    std::optional<MapiLogonStep> after) {
  const int first = after ? static_cast<int>(*after) + 1 : 0;
  if (first > static_cast<int>(MapiLogonStep::Outlook))
    return Error(ErrorCode::NotFound, "No logon step is left");
  if (first <= 0 && (!userName.empty() || !pass.empty()) && logon(userName, pass))
    return MapiLogonStep::StoredProfile;
  if (first <= 1 && logon({}, {})) return MapiLogonStep::NoProfile;
  Status last = logon("Outlook", {});
  if (last) return MapiLogonStep::Outlook;
  return std::move(last.error());
}

}  // namespace dtl
