// Provider recognition and the table's small helpers. The templates and markers themselves are
// exercised by crawling the provider fixture (InboxCrawler_test).
#include <gtest/gtest.h>

#include <string>

#include "receive/ProviderTable.h"

namespace {

TEST(RecognizeProvider, LaterFragmentsOverrideEarlierOnesAndNoneMeansGmail) {
  struct Case { const char* url; int32_t id; };
  for (const Case& c : {
           Case{"https://mail.google.com/mail/?shva=1", dtl::kProviderGmail},
           Case{"http://www.gmail.com/", dtl::kProviderGmail},
           Case{"http://webmail.example.test/inbox", dtl::kProviderGmail},
           Case{"", dtl::kProviderGmail},
           Case{"HTTP://MAIL.YAHOO.COM/ym/ShowFolder", dtl::kProviderYahoo},
           Case{"http://mail.yahoo.com/?from=gmail", dtl::kProviderYahoo},
           Case{"http://mail.walla.com/?back=http://mail.yahoo.com/", dtl::kProviderWalla},
           Case{"http://poczta.o2.pl/?ref=netscape.com", dtl::kProviderO2},
           Case{"http://mail.hriders.com:8080/index.cgi?uid=joe", dtl::kProviderHriders},
           // Gawab is searched last, so it wins over Lycos.
           Case{"http://mail.lycos.com/?partner=gawab.com", dtl::kProviderGawab},
           Case{"http://mail.gawab.com/?partner=lycos.com", dtl::kProviderGawab},
       }) {
    EXPECT_EQ(dtl::RecognizeProvider(c.url), c.id) << c.url;
  }
}

TEST(ProviderHelpers, UsedIdsPageBaseFormattingAndRandomDigits) {
  for (int32_t unused : {-1, 8, 10, 13, 15}) EXPECT_EQ(dtl::FindProvider(unused), nullptr) << unused;
  EXPECT_EQ(dtl::PageBase("http://mail.gawab.com/webmail/index.php?a=1?b"), "http://mail.gawab.com/webmail/index.php");
  EXPECT_EQ(dtl::PageBase("http://mail.gawab.com/"), "http://mail.gawab.com/");
  // Keys and identifiers from pages are arguments, never formats, whatever their length.
  const std::string key(10000, '%');
  EXPECT_EQ(dtl::FormatUrl("http://%s/%s/", "h", key.c_str()), "http://h/" + key + "/");
  EXPECT_EQ(dtl::FormatUrl("%s?st=%d&s=a", "b", 50), "b?st=50&s=a");
  // Five digits from 0 to 8: each random number taken modulo 9.
  const uint32_t values[] = {8, 9, 17, 26, 0xffffffffu};
  size_t next = 0;
  EXPECT_EQ(dtl::RandomDigits([&] { return values[next++]; }), "80883");
}

}  // namespace
