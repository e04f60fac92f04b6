// A send request: what the File Split and Plain Transfer dialogs (and `dtl send`) collect, the
// checks their OK button makes with the exact texts the user sees, and the rules that turn the
// request into the document's fields. Pure functions over values plus a few reads and writes
// of the settings store; no windows, nothing printed.
//
// Call order in a dialog: LoadSendDialogDefaults() when it opens; ChooseFiles() on Browse;
// ChooseSendMethod() when the method changes; ValidateSendRequest() on OK, and only when it
// succeeds, StoreSendRequestSettings() and then SendDocument::BuildSplitJob/BuildPlainJob.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/Error.h"

namespace dtl {

class SettingsStore;

// The send methods, numbered as the SendType setting stores them.
enum class SendMethod : uint32_t {
  DirectSend = 0,  // SMTP straight to the recipient domain's mail exchanger; one recipient
  Mapi = 1,        // the desktop mail system's submission program; From is not used
  SmtpServer = 2,  // the configured SMTP server
};

// The messages of the OK checks, word for word (each shown with the information icon under the
// title "Drovetail").
inline constexpr std::string_view kNoFileMessage = "Please select a file to send\n\n";
inline constexpr std::string_view kOneRecipientMessage =
    "When using Direct Send, Please enter no more then one destination email address.\n\n";
inline constexpr std::string_view kSampleAddress = "someone@example.com";
// "Please enter a valid E-mail address:\n\n" + kSampleAddress + "\n\n".
std::string InvalidAddressMessage();

// One chosen file with the size it had when it was chosen.
struct ChosenFile {
  std::string path;
  uint64_t size = 0;
};

// What Browse leaves: the accepted files (full paths) in the order chosen, the file text ("a, b,
// c"), and one message per refused file, to be shown in order (error icon, title "Drovetail"): "The
// file %s size is too small (%d)" for an empty file, the system's text for one that cannot be
// opened.
struct FileChoice {
  std::vector<ChosenFile> files;
  std::string fileText;
  std::vector<std::string> refusals;
};
FileChoice ChooseFiles(const std::vector<std::string>& paths);

// A request as the dialog's OK (or `dtl send`) hands it to the document.
struct SendRequest {
  std::vector<ChosenFile> files;
  std::string fileText;  // the dialog's file text (", "-joined paths)
  std::string mailTo;    // the Mail To text as typed
  std::string from;      // From address (at most 200 characters)
  SendMethod method = SendMethod::DirectSend;
  std::string password;          // File Split only (at most 100 characters); trimmed on use
  uint32_t position = 1000;      // File Split slider, 1..1000: segment size = position x 10000
  uint64_t segmentSize = 0;      // when not 0, overrides the slider (the CLI's --segment-size)
  unsigned recoveryPercent = 0;  // File Split only: recovery data per file, 0..100 (0: none)
};

// The OK checks, in order: a file text longer than one character; for Direct Send no second "@";
// then, on the Mail To text trimmed of blanks, an "@", no blank, at least two characters and a
// ".". Returns an InvalidArgument error whose message is the text to show, or success when the
// request may go on.
Status ValidateSendRequest(const SendRequest& request);

// The recipients field of the document. Direct Send: the Mail To text with every ";" removed.
// Other methods: the text cut at ";", each piece longer than three characters followed by ";"
// ("a@b.com;c@d.com" -> "a@b.com;c@d.com;"). Blanks around each address are dropped, so an
// address never reaches RCPT TO with a blank inside its brackets.
std::string RecipientsField(std::string_view mailTo, SendMethod method);

// The ";"-separated non-empty tokens of a recipients field, in order.
std::vector<std::string> SplitRecipients(std::string_view field);

// Blanks, tabs and line ends trimmed at both ends (the password rule).
std::string TrimBlanks(std::string_view text);

// The size display of a slider position: "%6.2lf%s" with position x 10 and "KB" below 1000,
// else position x 0.01 and "MB" (25 -> "250.00KB", 150 -> "  1.50MB").
std::string SizeDisplayText(uint32_t position);

// Whether `text` is one mail address as the dialogs judge one: it passes the OK check's address
// test (an "@", no blank, a ".") with a single "@" that has text on both sides, and holds no ";"
// or ",".
bool IsSingleMailAddress(std::string_view text);

// Whether the method mails several recipients in one send, so that picking them from the address
// book ("Recipients...") is of use: every method but Direct Send, which takes exactly one.
bool TakesSeveralRecipients(SendMethod method);

// What a send dialog starts with, from the settings store (the key is created when missing).
struct SendDialogDefaults {
  // SendType once the user has chosen a method (a stored value in range, Direct Send included),
  // kept even when that is the SMTP server and none is configured any more (the dialog then asks
  // for one). Before any choice: the SMTP server when one is configured, else Direct Send.
  SendMethod method = SendMethod::DirectSend;
  // FromAddress once a usable one is stored. Before that, the SMTP login (SMTPUserName, trimmed)
  // when it is a single address, else the default sender.
  std::string from;
  uint32_t position = 1000;  // SegSize; 1000 when missing or outside 1..1000
};
SendDialogDefaults LoadSendDialogDefaults(const SettingsStore& settings);

// Applying a method choice: stores SendType at once (even if the dialog is later cancelled).
// Choosing the SMTP server with no SMTPServer stored calls `openSmtpSettings` (the SMTP Server
// Settings dialog; may be empty); when there is still no server afterwards, Direct Send is
// stored and returned instead. Returns the method the dialog shows now.
SendMethod ChooseSendMethod(SettingsStore& settings, SendMethod method,
                            const std::function<void()>& openSmtpSettings);

// OK's writes: FromAddress, SendType and (File Split) SegSize = the slider position. False when
// the store cannot be written (the dialog then stays open, silently, as it does when the key
// cannot be opened).
bool StoreSendRequestSettings(SettingsStore& settings, const SendRequest& request,
                              bool splitDialog);

}  // namespace dtl
