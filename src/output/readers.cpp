#include "app/app_delegate.h"
#include "output/address_scan.h"
#include "output/error_tail.h"
#include "output/utf8.h"

namespace quorva {

namespace {

constexpr double addressRequestTimeoutSeconds = 60.0;

}  // namespace

void AppDelegate::handleStandardOutput(std::string_view chunk)
{
    if (chunk.empty() || !isValidUtf8(chunk))
        return;
    scanForURL(chunk);
}

void AppDelegate::handleStandardError(std::string_view chunk)
{
    if (chunk.empty() || !isValidUtf8(chunk))
        return;
    std::lock_guard lock(stderrLock);
    appendToTailLazily(stderrTail, stderrTailCharacters, stderrTailUnsettled, chunk);
}

void AppDelegate::scanForURL(std::string_view text)
{
    if (serverURLKnown.load())
        return;
    const auto candidate = findAddressCandidate(text);
    if (!candidate || containsWhitespace(*candidate))
        return;
    auto url = platform.urlParser.parse(*candidate);
    if (!url)
        return;
    platform.mainQueue.async([weakSelf = weak_from_this(), url = std::move(*url)] {
        if (auto self = weakSelf.lock())
            self->storeServerURL(url);
    });
}

void AppDelegate::storeServerURL(const Url& url)
{
    if (serverURL)
        return;
    serverURL = url;
    serverURLKnown.store(true);
    webView->loadRequest(url, addressRequestTimeoutSeconds);
}

}  // namespace quorva
