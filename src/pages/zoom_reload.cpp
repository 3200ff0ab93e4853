#include "app/app_delegate.h"
#include "pages/zoom.h"

namespace quorva {

namespace {

constexpr double reloadRequestTimeoutSeconds = 60.0;

}  // namespace

void AppDelegate::applyZoom(double factor)
{
    zoom = factor;
    webView->evaluateScript(zoomScript(zoom));
}

void AppDelegate::zoomIn()
{
    applyZoom(zoomedIn(zoom));
}

void AppDelegate::zoomOut()
{
    applyZoom(zoomedOut(zoom));
}

void AppDelegate::zoomReset()
{
    applyZoom(1.0);
}

void AppDelegate::reloadPage()
{
    pageProcessDeathShown = false;
    if (serverURL && launchFailed) {
        launchFailed = false;
        webView->loadRequest(*serverURL, reloadRequestTimeoutSeconds);
        return;
    }
    webView->reload();
}

}  // namespace quorva
