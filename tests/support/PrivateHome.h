// A home of the test's own for the dtl it runs: settings, the send journal and temporary files
// go under a test folder instead of the user's.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace dtltest {

// Points HOME at `dir`, XDG_CONFIG_HOME, XDG_STATE_HOME and TMPDIR at its folders config, state
// and tmp (tmp is made) for the object's life; the earlier values (or their absence) come back
// when it is destroyed. Declare it after the TempDir that holds `dir`: that folder lives under
// the earlier $TMPDIR, where the next test must find it again.
class PrivateHome {
 public:
  explicit PrivateHome(const std::filesystem::path& dir) {
    Set("HOME", dir);
    Set("XDG_CONFIG_HOME", dir / "config");
    Set("XDG_STATE_HOME", dir / "state");
    Set("TMPDIR", dir / "tmp");
    std::filesystem::create_directories(dir / "tmp");
  }
  ~PrivateHome() {
    for (const auto& [name, value] : saved_)
      if (value)
        setenv(name.c_str(), value->c_str(), 1);
      else
        unsetenv(name.c_str());
  }
  PrivateHome(const PrivateHome&) = delete;
  PrivateHome& operator=(const PrivateHome&) = delete;

 private:
  void Set(const char* name, const std::filesystem::path& value) {
    const char* old = getenv(name);
    saved_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    setenv(name, value.c_str(), 1);
  }

  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

}  // namespace dtltest
