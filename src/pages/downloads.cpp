#include "app/app_delegate.h"
#include "pages/download_policy.h"

namespace quorva {

ResponsePolicy AppDelegate::decidePolicyForResponse(const Response& response)
{
    return decideResponse(response);
}

void AppDelegate::downloadDidEnd(const DownloadOutcome& outcome)
{
    if (webView)
        webView->showNotice(downloadNotice(outcome));
}

}  // namespace quorva
