#include "app/app_delegate.h"

#include "pages/status_pages.h"

namespace quorva {

namespace {

constexpr int contentWidth = 1280;
constexpr int contentHeight = 840;
constexpr int minimumWidth = 960;
constexpr int minimumHeight = 600;

}  // namespace

AppDelegate::AppDelegate(Platform& platform) : platform(platform) {}

void AppDelegate::applicationDidFinishLaunching()
{
    WebViewConfiguration configuration;
    configuration.width = contentWidth;
    configuration.height = contentHeight;
    configuration.persistentDataStore = true;
    // Read once, now: a later change of the environment has no effect.
    configuration.inspectable = platform.environment.get("QUORVA_DEBUG").has_value();
    webView = platform.windowSystem.createWebView(configuration, weak_from_this());

    window = platform.windowSystem.createWindow(contentWidth, contentHeight);
    window->setTitle("QUORVA");
    window->setTitleVisible(false);
    window->setTitlebarTransparent(true);
    window->setBackgroundWhite();
    window->setMinimumSize(minimumWidth, minimumHeight);
    window->setContent(*webView);
    window->center();
    window->setFrameAutosaveName("QUORVAMainWindow");
    window->makeKeyAndOrderFront();
    platform.windowSystem.activateIgnoringOtherApps();

    installSignalHandlers();
    webView->loadHtml(std::string(loadingPage));
    startServer();
}

bool AppDelegate::applicationShouldTerminateAfterLastWindowClosed() const
{
    return true;
}

void AppDelegate::applicationWillTerminate()
{
    stopServer();
}

void AppDelegate::showError(const std::string& title, const std::string& detail)
{
    launchFailed = true;
    // It replaces a stopped load as surely as a navigation would.
    ++mainFrameLoadsStarted;
    webView->loadHtml(errorPage(title, detail, platform.windowSystem.interpreterHint()));
}

void AppDelegate::minimizeWindow()
{
    if (window)
        window->minimize();
}

void AppDelegate::zoomWindow()
{
    if (window)
        window->toggleZoomed();
}

void AppDelegate::runEditCommand(EditCommand command)
{
    if (webView)
        webView->runEditCommand(command);
}

}  // namespace quorva
