#include "app/app_delegate.h"
#include "pages/status_pages.h"

namespace quorva {

void AppDelegate::didFinishNavigation()
{
    const auto url = webView->currentUrl();
    if (!url)
        return;
    if (url->scheme == "file" || url->scheme == "about")
        return;
    debugLog("loaded " + url->text);
}

void AppDelegate::didFailNavigation(const LoadFailure& failure)
{
    showLoadFailure("โหลดหน้าไม่สำเร็จ", failure);
}

void AppDelegate::didFailProvisionalNavigation(const LoadFailure& failure)
{
    showLoadFailure("เชื่อมต่อเซิร์ฟเวอร์ในเครื่องไม่ได้", failure);
}

void AppDelegate::showLoadFailure(const std::string& title, const LoadFailure& failure)
{
    if (!serverURL)
        return;
    // The newer navigation is on its way: an error page would cancel it in
    // turn, and the error page's own load could be cancelled the same way.
    if (failure.superseded)
        return;
    showError(title, failure.description);
}

}  // namespace quorva
