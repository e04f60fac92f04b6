// dtl export-password as a script would run it: the marker on stdout decodes to the password it
// was given, the password never comes from the arguments, and refusals exit with their codes.
#include <gtest/gtest.h>

#include "browser/AccountPassword.h"
#include "support/TestSupport.h"

namespace {

using Outcome = dtltest::DtlResult;
Outcome Export(const std::string& args, const std::string& input) {
  return dtltest::RunDtl("export-password " + args, input);
}

TEST(ExportPasswordCommand, PrintsAMarkerThatDecodesToThePipedPassword) {
  for (bool ssl : {false, true}) {
    const Outcome r = Export(ssl ? "--ssl" : "", "pass word+/=\r\n");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string open = ssl ? "($" : "(#", close = ssl ? "$)\n" : "#)\n";
    ASSERT_GT(r.out.size(), open.size() + close.size());
    EXPECT_EQ(r.out.substr(0, 2), open);
    EXPECT_EQ(r.out.substr(r.out.size() - 3), close);
    const std::string inner = r.out.substr(2, r.out.size() - 5);
    EXPECT_EQ(inner.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
    EXPECT_EQ(dtl::DecodeAccountPassword(inner, 160, ssl).Str(), "pass word+/=");
    EXPECT_EQ(r.err.find("pass word"), std::string::npos);
  }
}

TEST(ExportPasswordCommand, RefusalsAndTheirExitCodes) {
  struct Case {
    const char* args;
    std::string input;
    int status;
    const char* error;
  } cases[] = {
      {"", "\n", 1, "an empty password gives no marker"},
      {"", std::string(51, 'x') + "\n", 1, "longer than 50 characters"},
      {"secret", "", 2, "never taken from the command line"},
      {"--password=secret", "", 2, "unknown option"},
  };
  for (const Case& c : cases) {
    const Outcome r = Export(c.args, c.input);
    EXPECT_EQ(r.status, c.status) << c.args;
    EXPECT_EQ(r.err.rfind("dtl export-password: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(c.error), std::string::npos) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(Export("", std::string(50, 'x')).status, 0);
  const Outcome help = Export("--help", "");
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: dtl export-password [OPTIONS]"), std::string::npos);
}

}  // namespace
