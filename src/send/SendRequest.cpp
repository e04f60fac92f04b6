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
  const std::string trimmed = TrimBlanks(to);
  if (trimmed.find('@') == std::string::npos || trimmed.find(' ') != std::string::npos ||
      trimmed.size() < 2 || trimmed.find('.') == std::string::npos)
    return refuse(InvalidAddressMessage());
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

SendDialogDefaults LoadSendDialogDefaults(const SettingsStore& settings) {
  // The store's rules already give Direct Send, the default sender and 1000 for missing or
  // out-of-range values, and create the key when it is missing.
  SendDialogDefaults d;
  d.method = static_cast<SendMethod>(settings.SendType());
  d.from = settings.FromAddress();
  d.position = settings.SegSize();
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
