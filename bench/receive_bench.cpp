// The download engine alone, for bench/receive.sh: fetches the given attachment URLs into a
// folder with Auto Merge on, as the Segment Manager's download does after a crawl.
//
//   receive_bench --out DIR --cookie STRING [--connect-to H:P:TH:TP]... NAME=URL...
//
// Prints nothing on success; exit 1 when the run did not complete or the merge was incomplete.
#include <cstdio>
#include <string>
#include <vector>

#include "browser/CookieJar.h"
#include "browser/NetworkEndpoints.h"
#include "receive/DownloadEngine.h"

int main(int argc, char** argv) {
  dtl::DownloadEngine::Params params;
  dtl::NetworkEndpoints endpoints;
  std::string cookie;
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    if (a == "--out" && i + 1 < argc) {
      params.folder = argv[++i];
    } else if (a == "--cookie" && i + 1 < argc) {
      cookie = argv[++i];
    } else if (a == "--connect-to" && i + 1 < argc) {
      endpoints.connectTo.push_back(argv[++i]);
    } else if (size_t eq = a.find('='); eq != std::string::npos) {
      params.items.push_back({a.substr(0, eq), a.substr(eq + 1)});
    } else {
      std::fprintf(stderr, "receive_bench: unknown argument %s\n", a.c_str());
      return 2;
    }
  }
  if (params.folder.empty() || params.items.empty()) {
    std::fprintf(
        stderr, "usage: receive_bench --out DIR --cookie STRING [--connect-to X]... NAME=URL...\n");
    return 2;
  }
  dtl::CookieJar jar;
  (void)jar.Store(params.items.front().key, cookie);
  params.providerId = 0;  // keys are whole URLs
  params.autoMerge = true;
  params.prepareHandle = [&](CURL* handle) {
    jar.Attach(handle);
    dtl::ApplyEndpoints(handle, endpoints);
  };
  struct Quiet : dtl::DownloadObserver {
    dtl::ReplaceMode ConfirmReplace(const std::string&) override {
      return dtl::ReplaceMode::OverwriteAll;
    }
  } observer;
  dtl::DownloadEngine::Summary r = dtl::DownloadEngine::Run(params, observer, std::stop_token());
  if (r.outcome != dtl::DownloadEngine::Outcome::Completed || !r.mergeComplete) {
    std::fprintf(stderr,
                 "receive_bench: the run did not complete (%zu saved, %llu attempts failed)\n",
                 r.itemsSaved, static_cast<unsigned long long>(r.attemptsFailed));
    return 1;
  }
  return 0;
}
