// The error log file: the mail engine's log of a failed delivery attempt as XML, written to
// "DTLErrorLog.xml" in the program folder after every failed SMTP attempt (each attempt's log
// replaces the last one).
//
// Layout: the declaration line `<?xml version="1.0"  encoding="utf-8" standalone="yes" ?>`, then
// the root element TessalyLog; operations are elements named after the operation, nested as
// the calls were and indented four blanks a level; named values are elements named after the
// value; messages are "info", "error" and "debug" elements with a "date" attribute
// ("MM/DD/YYYY hh:mm:ss", local time). A text holding a line break, a tab, "&", "<" or ">"
// is written as a CDATA section. An empty log is the root holding "The log is empty".
#pragma once

#include <string>

#include "base/Error.h"
#include "mail/MailLog.h"

namespace dtl {

// The whole document. Never fails: a text holding "]]>" is split over two CDATA sections, bytes
// that XML cannot carry (control characters, broken UTF-8) are written as "\xNN", and a name
// that is not a valid element name has its offending characters replaced by "_".
std::string MailLogToXml(const MailLog& log);

// The log's file name; it lives in the user's data folder (DataFilePath picks the folder).
inline constexpr const char* kErrorLogName = "DTLErrorLog.xml";

// Writes MailLogToXml(log) to folder + "DTLErrorLog.xml" ("/" is added when the folder
// does not end in one) through a temporary file in the same folder renamed over the old log, so
// a reader never sees half a log. The file is mode 0600. Temporary files of an earlier write
// that never finished ("DTLErrorLog.xml." + six characters, older than ten minutes, regular,
// this user's) are removed first. Fails when the folder cannot be written, with the system's
// text alone as the message and errno in `system` (a missing folder is not created). The send
// engine ignores the failure (the log is diagnostic only).
Status WriteErrorLog(const std::string& folder, const MailLog& log);

}  // namespace dtl
