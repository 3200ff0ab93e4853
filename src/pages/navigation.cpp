#include "app/app_delegate.h"
#include "pages/navigation_policy.h"

namespace quorva {

NavigationPolicy AppDelegate::decidePolicyForNavigationAction(const std::optional<Url>& url)
{
    if (decideNavigation(url) == NavigationDecision::Allow)
        return NavigationPolicy::Allow;
    platform.workspace.openURL(*url);
    return NavigationPolicy::Cancel;
}

void AppDelegate::createWebViewForNavigationAction(const std::optional<Url>& url)
{
    // Even a local address goes out: the window keeps its one page.
    if (url)
        platform.workspace.openURL(*url);
}

}  // namespace quorva
