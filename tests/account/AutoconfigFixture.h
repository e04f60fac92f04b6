// A local HTTPS server standing in for a domain's autoconfig hosts (autoconfig_server.py), with
// a throw-away CA whose certificate names the test domains, and the endpoints that carry
// requests for those hosts to it.
//
//   AutoconfigPki pki;                       // once per suite
//   AutoconfigServer server(pki);
//   server.Route("autoconfig.example.test/mail/config-v1.1.xml", 200, xmlText);
//   dtl::NetworkEndpoints ep = server.Endpoints();
#pragma once

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "browser/NetworkEndpoints.h"
#include "fixtures/fixture_process.h"
#include "fixtures/test_pki.h"
#include "support/TestSupport.h"

namespace dtltest {

// The hosts the certificate names and Endpoints() carries to the server.
inline const std::vector<std::string>& AutoconfigHosts() {
  static const std::vector<std::string> hosts = {"autoconfig.example.test", "example.test",
                                                 "autoconfig.mail.test", "mail.test",
                                                 "elsewhere.example.test"};
  return hosts;
}

class AutoconfigPki : public TestPki {
 public:
  AutoconfigPki() : TestPki("Autoconfig Test CA", "example.test", AutoconfigHosts()) {}
};

class AutoconfigServer {
 public:
  explicit AutoconfigServer(const AutoconfigPki& pki) : caFile_(pki.file("ca.pem")) {
    WriteRoutes();
    process_ = std::make_unique<FixtureProcess>(std::vector<std::string>{
        "/usr/bin/python3", DTL_SOURCE_DIR "/tests/account/autoconfig_server.py", "--cert",
        pki.file("server.pem"), "--key", pki.file("server.key"), "--routes",
        (dir_.path() / "routes.json").string(), "--log", (dir_.path() / "requests.log").string()});
    if (std::sscanf(process_->firstLine().c_str(), "PORT %d", &port_) != 1) {
      error_ = "the autoconfig fixture did not start: " + process_->firstLine();
      port_ = 0;
    }
  }
  bool running() const { return port_ > 0; }
  const std::string& error() const { return error_; }
  int port() const { return port_; }
  const std::string& caFile() const { return caFile_; }

  // HOST/PATH answers `status` with `body` (a document), or a redirect to `location`.
  void Route(const std::string& hostPath, int status, const std::string& body) {
    const std::string name = "doc" + std::to_string(routes_.size()) + ".xml";
    WriteFileText(dir_.path() / name, body);
    routes_[hostPath] = "{\"status\": " + std::to_string(status) + ", \"file\": \"" + name + "\"}";
    WriteRoutes();
  }
  void Redirect(const std::string& hostPath, const std::string& location) {
    routes_[hostPath] = "{\"status\": 302, \"location\": \"" + location + "\"}";
    WriteRoutes();
  }
  // Every request so far, one "HOST PATH?QUERY" line each.
  std::vector<std::string> Requests() const {
    std::ifstream in(dir_.path() / "requests.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }

  // Every test host on port 443 carried to the fixture; its CA; short time-outs.
  dtl::NetworkEndpoints Endpoints() const {
    dtl::NetworkEndpoints ep;
    for (const auto& h : AutoconfigHosts())
      ep.connectTo.push_back(h + ":443:127.0.0.1:" + std::to_string(port_));
    ep.caFile = caFile_;
    ep.connectTimeoutMs = 5000;
    ep.receiveTimeoutMs = 10000;
    return ep;
  }

 private:
  void WriteRoutes() {
    std::string json = "{";
    for (const auto& [k, v] : routes_) json += (json.size() > 1 ? ", \"" : "\"") + k + "\": " + v;
    WriteFileText(dir_.path() / "routes.json", json + "}");
  }

  TempDir dir_;
  std::string caFile_;
  std::map<std::string, std::string> routes_;
  std::unique_ptr<FixtureProcess> process_;
  int port_ = 0;
  std::string error_;
};

}  // namespace dtltest
