// The product panes never open a web-mail site.
#include <gtest/gtest.h>

#include "browser/MailSiteFilter.h"

namespace {

TEST(MailSiteFilter, PanesRefuseEveryProviderAndNothingElse) {
  for (const char* url : {"https://mail.GOOGLE.com/", "http://gmail.com", "http://mail.yahoo.com/", "http://walla.co.il",
                          "http://omnilect.com", "http://www.gawab.com", "http://unitedemailsystems.com",
                          "http://spymac.com", "http://www.hriders.com:8383/", "http://intermail.example",
                          "http://rotomail.com", "http://webmail.netscape.com", "http://mail.lycos.com",
                          "http://poczta.o2.pl/", "http://xasamail.com/", "http://example.org/?next=yahoo"})
    EXPECT_TRUE(dtl::PaneRefusesNavigation(url)) << url;
  for (const char* url : {"https://www.drovetail.org/forums/", "http://mail.example.com/", "http://hotmail.com/",
                          "file:///opt/drovetail/verb1.html", ""})
    EXPECT_FALSE(dtl::PaneRefusesNavigation(url)) << url;
}

}  // namespace
