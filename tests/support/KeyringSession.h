// One private session bus with an unlocked keyring per test process (see
// tests/fixtures/keyring_session.sh), started on first use and ended with the process. Each
// ctest test is its own process, so each case gets a fresh, empty keyring.
//
// One per process rather than one per case: GLib and libsecret keep the first session bus they
// connect to for the life of the process, so a second bus would not be seen.
#pragma once

#include <stdlib.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "base/SecretStore.h"
#include "fixtures/fixture_process.h"
#include "support/TestSupport.h"

namespace dtltest {

class KeyringSession {
 public:
  // The shared session; address() is empty when it could not be started or its Secret Service
  // did not answer within 20 s. Starting it sets DBUS_SESSION_BUS_ADDRESS in this process, so
  // the code under test finds it.
  static KeyringSession& Shared() {
    static KeyringSession session;
    return session;
  }
  const std::string& address() const { return address_; }
  // "DBUS_SESSION_BUS_ADDRESS='...'" for RunDtl's env.
  std::string Env() const { return "DBUS_SESSION_BUS_ADDRESS=" + ShellQuote(address_); }

 private:
  KeyringSession() {
    process_ = std::make_unique<FixtureProcess>(std::vector<std::string>{
        "/bin/sh", DTL_SOURCE_DIR "/tests/fixtures/keyring_session.sh", dir_.path().string()});
    const std::string& line = process_->firstLine();
    if (line.rfind("BUS ", 0) != 0) return;
    setenv("DBUS_SESSION_BUS_ADDRESS", line.c_str() + 4, 1);
    // The same question the program asks, so no other D-Bus tool is needed.
    auto secrets = dtl::MakeSystemSecretStore();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!secrets->Available()) {
      if (std::chrono::steady_clock::now() > deadline) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    address_ = line.substr(4);
  }

  TempDir dir_;
  std::unique_ptr<FixtureProcess> process_;
  std::string address_;
};

}  // namespace dtltest
