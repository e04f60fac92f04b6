// dtl fetch --imap: lists the segment attachments of a mailbox folder over IMAP, downloads the
// chosen files' segments over several connections and merges them, with the web-mail fetch's
// output, exit status and replace rules. The mailbox is only read: nothing in it changes.
#include "cli/FetchImap.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <stop_token>
#include <string>
#include <vector>

#include "account/AccessTokens.h"
#include "archive/MergeJob.h"
#include "base/SettingsStore.h"
#include "cli/CommandLine.h"
#include "cli/FetchEvents.h"
#include "cli/PasswordInput.h"
#include "cli/ProgramSettings.h"
#include "cli/TerminalProgress.h"
#include "receive/ImapReceive.h"

namespace dtlcli {

namespace {

namespace fs = std::filesystem;

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return s;
}

// One part of a parsed URL, percent escapes decoded when asked; nullopt when the URL has none
// (or it does not decode to text without control characters).
std::optional<std::string> UrlPart(CURLU* u, CURLUPart part, unsigned flags = 0) {
  char* text = nullptr;
  std::optional<std::string> value;
  if (curl_url_get(u, part, &text, flags) == CURLUE_OK && text) value = text;
  curl_free(text);
  return value;
}

// "1-3,5": numbers as `dtl send --segments` takes them, so a listing's missing line can be
// pasted there.
std::string NumbersText(const std::vector<uint64_t>& numbers) {
  std::string text;
  for (size_t i = 0; i < numbers.size();) {
    size_t j = i;
    while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) ++j;
    if (!text.empty()) text += ",";
    text += std::to_string(numbers[i]);
    if (j > i) text += "-" + std::to_string(numbers[j]);
    i = j + 1;
  }
  return text;
}

class ListEvents : public dtl::ImapListObserver {
 public:
  explicit ListEvents(TerminalProgress& bar) : bar_(bar) {}
  void OnListProgress(size_t scanned, size_t total) override {
    bar_.SetTotal(total);
    bar_.Update(scanned);
  }

 private:
  TerminalProgress& bar_;
};

// The listing, one block per file: whether the descriptor is there, the numbers present and
// the gaps, written as `dtl send --segments` takes them, and the recovery blocks when the
// file's recovery files are there.
void PrintListing(const dtl::ImapListing& listing, const std::string& folder,
                  const std::vector<const dtl::ImapListedFile*>& files) {
  std::printf("folder: %s (%zu messages)\n", folder.c_str(), listing.messagesScanned);
  for (const dtl::ImapListedFile* f : files) {
    std::printf("%s\n", f->name.c_str());
    std::printf("  descriptor: %s\n", f->hasDescriptor ? "present" : "missing");
    std::printf("  segments: %s\n", f->present.empty() ? "none" : NumbersText(f->present).c_str());
    std::string missing = f->hasDescriptor ? "" : "dtl";
    if (!f->missing.empty()) missing += (missing.empty() ? "" : ",") + NumbersText(f->missing);
    std::printf("  missing: %s\n", missing.empty() ? "none seen" : missing.c_str());
    if (!f->recoveryFiles.empty())
      std::printf("  recovery: %s\n", BlocksText(f->recoveryBlocks).c_str());
  }
  if (listing.duplicatesDropped > 0)
    std::printf("%zu segment mail(s) found twice were counted once\n", listing.duplicatesDropped);
}

// A failure the user can act on, from the listing's or the receive's error: where the fix
// lies is added to what the server said.
std::string Explain(const dtl::Error& error, const ImapTarget& target) {
  std::string text = error.message;
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
  switch (error.code) {
    case dtl::ErrorCode::Auth:
      return text +
             "; check the user name (--user, IMAPUserName) and the password "
             "(--login-password-file, IMAPPass)";
    case dtl::ErrorCode::Tls:
      return text +
             "; the server's certificate is checked against the system's CAs, or the PEM "
             "bundle named by DTL_CA_FILE";
    case dtl::ErrorCode::NotFound:
      return text.empty() ? "there is no folder " + target.folder + " on " + target.host : text;
    default: return error.message;
  }
}

}  // namespace

std::variant<ImapTarget, std::string> ResolveImapTarget(const std::string& url,
                                                        const std::optional<std::string>& user,
                                                        const dtl::SettingsStore& settings) {
  ImapTarget target;
  const std::string storedHost = settings.ImapServer();
  std::optional<std::string> urlUser;
  std::string folder;
  if (url.empty()) {
    if (storedHost.empty())
      return "no IMAP server is set; give --imap imaps://HOST or store one with 'dtl config set "
             "IMAPServer HOST'";
    target.host = storedHost;
    target.port = static_cast<int>(settings.ImapPort());
    target.startTls = settings.ImapStartTls();
  } else {
    const std::string form =
        "--imap takes imaps://HOST[:PORT][/FOLDER] or imap://HOST[:PORT][/FOLDER]";
    const std::string scheme = Lower(url.substr(0, url.find("://")));
    if (url.find("://") == std::string::npos || (scheme != "imaps" && scheme != "imap"))
      return form;
    CURLU* u = curl_url();
    if (!u) return form;
    const bool parsed = curl_url_set(u, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK;
    const auto host = parsed ? UrlPart(u, CURLUPART_HOST) : std::nullopt;
    const auto port = parsed ? UrlPart(u, CURLUPART_PORT) : std::nullopt;
    const bool password = parsed && UrlPart(u, CURLUPART_PASSWORD).has_value();
    const bool extra = parsed && (UrlPart(u, CURLUPART_QUERY).has_value() ||
                                  UrlPart(u, CURLUPART_FRAGMENT).has_value() ||
                                  UrlPart(u, CURLUPART_OPTIONS).has_value());
    if (parsed) urlUser = UrlPart(u, CURLUPART_USER, CURLU_URLDECODE);
    const auto rawPath = parsed ? UrlPart(u, CURLUPART_PATH) : std::nullopt;
    const auto path = parsed ? UrlPart(u, CURLUPART_PATH, CURLU_URLDECODE) : std::nullopt;
    curl_url_cleanup(u);
    if (password)
      return "passwords are never taken from the command line; use --login-password-file or "
             "the stored IMAPPass";
    if (!parsed || !host || host->empty() || extra) return form;
    if (rawPath && !path)
      return "the folder in the --imap URL does not decode to a name (control characters)";
    target.startTls = scheme == "imap";
    // An IPv6 address comes back in its brackets; the connection wants the address alone.
    target.host =
        host->size() > 2 && host->front() == '[' ? host->substr(1, host->size() - 2) : *host;
    if (port) {
      target.port = std::stoi(*port);  // the URL parser checked it: 1..65535 digits
    } else if (Lower(target.host) == Lower(storedHost) &&
               target.startTls == settings.ImapStartTls()) {
      target.port = static_cast<int>(settings.ImapPort());  // the stored server's own port
    } else {
      target.port = target.startTls ? 143 : 993;
    }
    folder = path.value_or("");
    if (!folder.empty() && folder.front() == '/') folder.erase(0, 1);
    if (!folder.empty() && folder.back() == '/') folder.pop_back();
  }
  target.folder = folder.empty() ? settings.ImapFolder() : folder;
  if (target.folder.empty()) target.folder = "INBOX";
  target.user = user ? *user : urlUser && !urlUser->empty() ? *urlUser : settings.ImapUserName();
  if (target.user.empty())
    return "no IMAP user name; give --user NAME or store one with 'dtl config set IMAPUserName "
           "NAME'";
  return target;
}

int RunImapFetch(const ImapFetchOptions& o, const std::function<int(const std::string&)>& usage) {
  if (o.out.empty() && !o.list) return usage("--out is required");
  // Not const: an OAuth2 provider that rotates refresh tokens has the new one kept here.
  dtl::SettingsStore settings = OpenSettings();
  auto resolved = ResolveImapTarget(o.url, o.user, settings);
  if (auto* why = std::get_if<std::string>(&resolved)) return usage(*why);
  const ImapTarget target = std::get<ImapTarget>(resolved);
  const bool oauth = !o.loginPasswordFile && settings.GetDword("IMAPAuth") == 1;
  bool stored = false;
  if (!o.loginPasswordFile && !oauth) {
    std::string pass = settings.ImapPass();
    stored = !pass.empty();
    WipeString(pass);
  }
  if (!o.loginPasswordFile && !stored && !oauth)
    return usage(
        "no IMAP password; give --login-password-file F or store it with 'dtl config set "
        "IMAPPass'");
  std::error_code ec;
  if (!o.list && !fs::is_directory(o.out, ec))
    return FetchFail("the download folder " + o.out + " is not a folder");

  dtl::ImapSettings imap;
  imap.host = target.host;
  imap.port = target.port;
  imap.security = target.startTls ? dtl::ImapSecurity::StartTls : dtl::ImapSecurity::ImplicitTls;
  imap.user = target.user;
  // Wiped however the run ends: the login password is in memory from here on.
  struct Wipe {
    std::string& a;
    std::string& b;
    ~Wipe() {
      WipeString(a);
      WipeString(b);
    }
  };
  std::string password;
  Wipe wipe{imap.password, password};
  if (o.loginPasswordFile) {
    auto pw = PasswordFromFile(*o.loginPasswordFile);
    if (!pw) return FetchFail(pw.error().message);
    imap.password = std::move(*pw);
    WipeString(*pw);
  } else if (oauth) {
    dtl::NetworkEndpoints tokenEndpoint;
    if (const char* ca = std::getenv("DTL_CA_FILE"); ca && *ca) tokenEndpoint.caFile = ca;
    auto source = dtl::MakeAccessTokenSourceFromSettings(settings, tokenEndpoint);
    if (!source) return FetchFail(source.error().message);
    imap.accessToken = std::move(*source);
  } else {
    imap.password = settings.ImapPass();
  }
  if (!o.list) {
    auto pw = PasswordFromOptions(o.passwordFile, o.passwordStdin, "Decryption password: ");
    if (!pw) return FetchFail(pw.error().message);
    password = std::move(*pw);
    WipeString(*pw);
  }

  const std::stop_token stop = StopOnInterrupt();

  dtl::Result<dtl::ImapListing> listing = [&] {
    TerminalProgress bar("Listing segments");
    ListEvents events(bar);
    return dtl::ListImapSegments(imap, target.folder, events, stop);
  }();
  if (stop.stop_requested()) return FetchFail("stopped");
  if (!listing) return FetchFail(Explain(listing.error(), target));

  const std::set<std::string> chosen(o.files.begin(), o.files.end());
  std::vector<const dtl::ImapListedFile*> files;
  for (const auto& f : listing->files)
    if (chosen.empty() || chosen.count(f.name)) files.push_back(&f);
  for (const std::string& name : chosen)
    if (std::none_of(files.begin(), files.end(), [&](auto* f) { return f->name == name; }))
      std::fprintf(stderr, "dtl fetch: no segments of %s in %s\n", name.c_str(),
                   target.folder.c_str());

  if (o.list) {
    PrintListing(*listing, target.folder, files);
    return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
  }
  if (files.empty()) return FetchFail("no segments to download");

  dtl::ImapReceiveJob::Params params;
  params.settings = imap;
  params.folder = target.folder;
  // The UIDs are the listing's: if the folder was renumbered since, they name other mails.
  params.uidValidity = listing->folder.uidValidity;
  params.outFolder = o.out;
  params.limitPauses = dtl::LimitPausesFrom(settings);
  for (const dtl::ImapListedFile* f : files)
    params.items.insert(params.items.end(), f->segments.begin(), f->segments.end());
  params.jobs = o.jobs;
  params.replace = o.overwrite      ? dtl::ReplaceMode::OverwriteAll
                   : o.skipExisting ? dtl::ReplaceMode::SkipAll
                                    : dtl::ReplaceMode::Skip;
  params.autoMerge = !o.noMerge;
  params.password = password;
  dtl::ImapReceiveJob::Summary result;
  std::set<std::string> keptOutputs;
  bool refused = false;
  {
    TerminalProgress bar("Downloading");
    // A segment on disk is asked about only when it does not verify (a sound one is kept
    // without asking, so a run again resumes): a broken one is fetched again.
    FetchEvents events(bar, dtl::ReplaceMode::Overwrite, params.replace);
    params.mergeObserver = &events;
    result = dtl::ImapReceiveJob::Run(params, events, stop);
    keptOutputs = events.KeptOutputs();
    refused = events.Refused();
  }
  WipeString(params.password);
  WipeString(params.settings.password);

  switch (result.outcome) {
    case dtl::ImapReceiveJob::Outcome::Completed: break;
    case dtl::ImapReceiveJob::Outcome::Stopped:
      return FetchFail("stopped; the segment in progress was removed");
    case dtl::ImapReceiveJob::Outcome::Failed: return FetchFail(Explain(result.error, target));
  }
  std::fprintf(stderr, "dtl fetch: %zu segment(s) downloaded, %zu kept\n", result.itemsSaved,
               result.itemsSkipped);
  // A corrupt or vanished segment was named on stderr as it happened.
  if (o.noMerge) return result.corrupt.empty() && result.gone.empty() ? kExitOk : kExitFailure;

  // Every chosen file must come back whole: one without its descriptor never reaches the merge,
  // so it is looked for by name rather than taken from the merge's results alone.
  // A lost segment counts against the run unless the recovery data made up for it.
  bool allRebuilt = result.merged && result.LossesMended() && result.leftOut.empty() && !refused;
  for (const dtl::ImapListedFile* f : files) {
    bool rebuilt = false;
    for (const auto& r : result.mergeResults) {
      if (r.output.filename().string() != f->name) continue;
      // A file kept by --skip-existing is as good as rebuilt (a refusal fails the run apart).
      // Matched by the output's name: a file whose descriptor came from its recovery data was
      // handed to the merge by a recovery file.
      rebuilt = r.outcome == dtl::MergeJob::Outcome::Complete ||
                r.outcome == dtl::MergeJob::Outcome::Kept;
      if (r.outcome == dtl::MergeJob::Outcome::Complete &&
          !keptOutputs.count(r.output.filename().string()))
        std::printf("%s\n", r.output.c_str());
    }
    // With recovery files the merge tries to rebuild the descriptor and says itself if it
    // cannot.
    if (!f->hasDescriptor && f->recoveryFiles.empty())
      std::fprintf(stderr,
                   "dtl fetch: %s cannot be rebuilt: its descriptor (%s.dtl) is not in %s\n",
                   f->name.c_str(), f->name.c_str(), target.folder.c_str());
    allRebuilt = allRebuilt && rebuilt;
  }
  if (std::fflush(stdout) != 0) return kExitFailure;
  return allRebuilt ? kExitOk : kExitFailure;
}

}  // namespace dtlcli
