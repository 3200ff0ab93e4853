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

void AppDelegate::didFailNavigation(const std::string& errorDescription)
{
    showLoadFailure("โหลดหน้าไม่สำเร็จ", errorDescription);
}

void AppDelegate::didFailProvisionalNavigation(const std::string& errorDescription)
{
    showLoadFailure("เชื่อมต่อเซิร์ฟเวอร์ในเครื่องไม่ได้", errorDescription);
}

void AppDelegate::showLoadFailure(const std::string& title, const std::string& errorDescription)
{
    if (!serverURL)
        return;
    showError(title, errorDescription);
}

}  // namespace quorva
