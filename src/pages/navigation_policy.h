#pragma once

#include "platform/platform.h"

#include <optional>

namespace quorva {

enum class NavigationDecision { Allow, HandOver };

// Status pages and in-page documents stay; so does http(s) on the loopback
// names, on any port. Everything else belongs to the default browser.
NavigationDecision decideNavigation(const std::optional<Url>& url);

}  // namespace quorva
