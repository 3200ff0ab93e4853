#include "app/app_delegate.h"
#include "pages/download_policy.h"

namespace quorva {

ResponsePolicy AppDelegate::decidePolicyForResponse(const Response& response)
{
    return decideResponse(response);
}

void AppDelegate::downloadDidEnd(const DownloadOutcome& outcome)
{
    const Notice notice = downloadNotice(outcome);
    debugLog("notice " + notice.text);
    if (webView)
        webView->showNotice(notice);
}

}  // namespace quorva
