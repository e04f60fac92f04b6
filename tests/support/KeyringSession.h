// One private session bus with an unlocked keyring per test process (see
// tests/fixtures/keyring_session.sh), started on first use and ended with the process. Each
// ctest test is its own process, so each case gets a fresh, empty keyring.
//
// One per process rather than one per case: GLib and libsecret keep the first session bus they
// connect to for the life of the process, so a second bus would not be seen.
#pragma once

#include <stdlib.h>

#include <memory>
#include <string>

#include "fixtures/fixture_process.h"
#include "support/TestSupport.h"

namespace dtltest {

class KeyringSession {
 public:
  // The shared session; address() is empty when it could not be started. Starting it sets
  // DBUS_SESSION_BUS_ADDRESS in this process, so the code under test finds it.
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
    address_ = line.substr(4);
    setenv("DBUS_SESSION_BUS_ADDRESS", address_.c_str(), 1);
  }

  TempDir dir_;
  std::unique_ptr<FixtureProcess> process_;
  std::string address_;
};

}  // namespace dtltest
