#include "send/SendRequest.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "base/SettingsStore.h"

namespace dtl {

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// The address test of the OK check, on text already trimmed.
bool PassesAddressTest(std::string_view trimmed) {
  return trimmed.find('@') != std::string_view::npos &&
         trimmed.find(' ') == std::string_view::npos && trimmed.size() >= 2 &&
         trimmed.find('.') != std::string_view::npos;
}

}  // namespace

std::string InvalidAddressMessage() {
  std::string m = "Please enter a valid E-mail address:\n\n";
  m += kSampleAddress;
  m += "\n\n";
  return m;
}

std::string TrimBlanks(std::string_view text) {
  size_t b = 0, e = text.size();
  while (b < e && IsBlank(text[b])) ++b;
  while (e > b && IsBlank(text[e - 1])) --e;
  return std::string(text.substr(b, e - b));
}

FileChoice ChooseFiles(const std::vector<std::string>& paths) {
  FileChoice choice;
  for (const std::string& given : paths) {
    // Records keep full paths: a resumed or retried job must find the file from anywhere.
    std::error_code ec;
    const std::filesystem::path full = std::filesystem::absolute(given, ec);
    const std::string path = ec ? given : full.lexically_normal().string();
    // The size is taken from the opened file, so what is measured is what will be read.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      const int e = fd < 0 ? errno : (S_ISREG(st.st_mode) ? errno : EISDIR);
      if (fd >= 0) ::close(fd);
      choice.refusals.push_back(path + ": " + std::generic_category().message(e));
      continue;
    }
    ::close(fd);
    if (st.st_size == 0) {
      char text[64];
      std::snprintf(text, sizeof text, " size is too small (%d)", 0);
      choice.refusals.push_back("The file " + path + text);
      continue;
    }
    choice.files.push_back({path, static_cast<uint64_t>(st.st_size)});
    if (!choice.fileText.empty()) choice.fileText += ", ";
    choice.fileText += path;
  }
  return choice;
}

Status ValidateSendRequest(const SendRequest& request) {
  auto refuse = [](std::string message) {
    return Error(ErrorCode::InvalidArgument, std::move(message));
  };
  if (request.fileText.size() <= 1) return refuse(std::string(kNoFileMessage));
  const std::string& to = request.mailTo;
  if (request.method == SendMethod::DirectSend) {
    const size_t at = to.find('@');
    if (at != std::string::npos && to.find('@', at + 1) != std::string::npos)
      return refuse(std::string(kOneRecipientMessage));
  }
  if (!PassesAddressTest(TrimBlanks(to))) return refuse(InvalidAddressMessage());
  return {};
}

std::string RecipientsField(std::string_view mailTo, SendMethod method) {
  std::string out;
  if (method == SendMethod::DirectSend) {
    for (char c : mailTo)
      if (c != ';') out.push_back(c);
    return TrimBlanks(out);
  }
  size_t start = 0;
  while (start <= mailTo.size()) {
    size_t cut = mailTo.find(';', start);
    if (cut == std::string_view::npos) cut = mailTo.size();
    const std::string piece = TrimBlanks(mailTo.substr(start, cut - start));
    if (piece.size() > 3) out += piece + ";";
    start = cut + 1;
  }
  return out;
}

std::vector<std::string> SplitRecipients(std::string_view field) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < field.size()) {
    size_t cut = field.find(';', start);
    if (cut == std::string_view::npos) cut = field.size();
    if (cut > start) out.emplace_back(field.substr(start, cut - start));
    start = cut + 1;
  }
  return out;
}

std::string SizeDisplayText(uint32_t position) {
  double value = position * 10.0;
  const char* unit = "KB";
  if (value >= 1000) {
    value *= 0.001;
    unit = "MB";
  }
  char text[48];
  std::snprintf(text, sizeof text, "%6.2lf%s", value, unit);
  return text;
}

bool IsSingleMailAddress(std::string_view text) {
  if (!PassesAddressTest(text) || text.find_first_of(";,\t\r\n") != std::string_view::npos)
    return false;
  const size_t at = text.find('@');
  return at > 0 && at + 1 < text.size() && text.find('@', at + 1) == std::string_view::npos;
}

bool TakesSeveralRecipients(SendMethod method) { return method != SendMethod::DirectSend; }

SendDialogDefaults LoadSendDialogDefaults(const SettingsStore& settings) {
  // The store's rules give 1000 for a missing or out-of-range SegSize and create the key when it
  // is missing (the first read below does that).
  SendDialogDefaults d;
  d.position = settings.SegSize();
  // A missing SendType reads as Direct Send, exactly like a stored Direct Send: only the raw row
  // tells a user who chose Direct Send from one who never chose, and only the latter is better
  // served by the SMTP server they set up (port 25 is blocked on most home lines).
  const SettingInfo* sendType = FindSetting("SendType");
  const std::optional<uint32_t> chosen = settings.RawDword(kSettingsKey, "SendType");
  if (chosen && sendType && IsValidDword(*sendType, *chosen))
    d.method = static_cast<SendMethod>(*chosen);
  else
    d.method = settings.SmtpServer().empty() ? SendMethod::DirectSend : SendMethod::SmtpServer;
  // An empty or overlong FromAddress reads as the default sender, so it counts as none stored.
  const SettingInfo* fromRow = FindSetting("FromAddress");
  const std::optional<std::string> stored = settings.RawString(kSettingsKey, "FromAddress");
  const std::string login = TrimBlanks(settings.SmtpUserName());
  if (!(stored && fromRow && IsValidString(*fromRow, *stored)) && IsSingleMailAddress(login))
    d.from = login;
  else
    d.from = settings.FromAddress();
  return d;
}

SendMethod ChooseSendMethod(SettingsStore& settings, SendMethod method,
                            const std::function<void()>& openSmtpSettings) {
  if (method == SendMethod::SmtpServer && settings.SmtpServer().empty()) {
    if (openSmtpSettings) openSmtpSettings();
    if (settings.SmtpServer().empty()) method = SendMethod::DirectSend;
  }
  // The choice is remembered when it can be; the send goes ahead with it either way.
  (void)settings.SetDword("SendType", static_cast<uint32_t>(method));
  return method;
}

bool StoreSendRequestSettings(SettingsStore& settings, const SendRequest& request,
                              bool splitDialog) {
  bool ok = settings.SetString("FromAddress", request.from).ok();
  ok = settings.SetDword("SendType", static_cast<uint32_t>(request.method)).ok() && ok;
  if (splitDialog) ok = settings.SetDword("SegSize", request.position).ok() && ok;
  return ok;
}

}  // namespace dtl
