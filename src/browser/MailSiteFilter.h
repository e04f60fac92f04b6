// The mail-site refusal of the product's own HTML panes (banner, community, sibling product):
// they never open a web-mail site, so a mailbox is only ever opened in the inner browser, where
// the navigation policy runs.
#pragma once

#include <string_view>

namespace dtl {

// True when a pane must cancel the navigation to `url` (silently): its lower-cased text names
// one of the web-mail providers. Thread-safe; never throws.
bool PaneRefusesNavigation(std::string_view url);

}  // namespace dtl
