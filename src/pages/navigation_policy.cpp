#include "pages/navigation_policy.h"

#include <algorithm>
#include <string>

namespace quorva {

NavigationDecision decideNavigation(const std::optional<Url>& url)
{
    if (!url)
        return NavigationDecision::Allow;
    std::string scheme = url->scheme;
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) {
        return static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    });
    if (scheme == "about" || scheme == "data" || scheme == "blob")
        return NavigationDecision::Allow;
    const bool web = scheme == "http" || scheme == "https";
    if (web && (url->host == "127.0.0.1" || url->host == "localhost"))
        return NavigationDecision::Allow;
    return NavigationDecision::HandOver;
}

}  // namespace quorva
