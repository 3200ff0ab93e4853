#include "app/app_delegate.h"
#include "pages/page_tools.h"

namespace quorva {

void AppDelegate::printPage()
{
    if (webView)
        webView->print(printFileName(webView->title()));
}

void AppDelegate::printDidFail(const std::string& description)
{
    if (webView)
        webView->showNotice(printFailureNotice(description));
}

void AppDelegate::runConfirmPanel(const std::string& message,
                                  std::function<void(bool confirmed)> answer)
{
    if (window)
        window->ask(pageConfirmQuestion(message), std::move(answer));
    else
        answer(false);
}

void AppDelegate::findInPage()
{
    if (webView)
        webView->showFindBar();
}

PermissionPolicy AppDelegate::decidePolicyForPermissionRequest(PermissionKind)
{
    // The catalog needs no location, camera, microphone, notifications or
    // clipboard reading, and nobody is asked to decide for it.
    return PermissionPolicy::Deny;
}

}  // namespace quorva
