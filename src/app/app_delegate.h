#pragma once

#include "platform/platform.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorva {

struct AppDelegateProbe;

// Holds all of the shell's state and receives every callback: the
// application's launch and termination, the web view's navigation and load
// events, the menu's actions, the signals and the server's output and exit.
// Main-thread only, except where a member says otherwise.
class AppDelegate final : public WebViewDelegate,
                          public std::enable_shared_from_this<AppDelegate> {
public:
    explicit AppDelegate(Platform& platform);

    void applicationDidFinishLaunching();
    bool applicationShouldTerminateAfterLastWindowClosed() const;
    void applicationWillTerminate();
    // Quit and the window's close ask the page first; true: go ahead now.
    // Otherwise the delegate ends the application itself once the page agrees,
    // or has not answered in time.
    bool applicationShouldTerminate();
    bool windowShouldClose();

    NavigationPolicy decidePolicyForNavigationAction(const std::optional<Url>& url) override;
    void didFinishNavigation() override;
    void didFailNavigation(const LoadFailure& failure) override;
    void didFailProvisionalNavigation(const LoadFailure& failure) override;
    void createWebViewForNavigationAction(const std::optional<Url>& url) override;

    void webContentProcessDidTerminate(WebProcessTermination reason) override;
    void didStartProvisionalNavigation() override;
    ResponsePolicy decidePolicyForResponse(const Response& response) override;
    void downloadDidEnd(const DownloadOutcome& outcome) override;
    PermissionPolicy decidePolicyForPermissionRequest(PermissionKind kind) override;
    void runBeforeUnloadConfirmPanel(std::function<void(bool leave)> answer) override;
    void runConfirmPanel(const std::string& message,
                         std::function<void(bool confirmed)> answer) override;
    void webViewDidClose() override;
    void printDidFail(const std::string& description) override;

    void reloadPage();
    void zoomIn();
    void zoomOut();
    void zoomReset();
    void printPage();
    void findInPage();

    // The menu's window commands act on the one window.
    void minimizeWindow();
    void zoomWindow();
    void runEditCommand(EditCommand command);

private:
    friend struct AppDelegateProbe;

    void installSignalHandlers();
    void startServer();
    void stopServer();
    void scanForURL(std::string_view text);
    std::optional<std::string> applePython();
    std::optional<std::string> catalogPath();
    void debugLog(std::string_view message);

    void handleStandardOutput(std::string_view chunk);
    void handleStandardError(std::string_view chunk);
    void handleServerExit(int terminationStatus);
    void storeServerURL(const Url& url);
    void startupWatchdogFired();
    void showError(const std::string& title, const std::string& detail);
    void showLoadFailure(const std::string& title, const LoadFailure& failure);
    void judgeStoppedLoad(const std::string& title, const LoadFailure& failure,
                          unsigned long loadsStartedBefore);
    void applyZoom(double zoom);
    std::string trimmedErrorTail();
    bool askPageToClose();
    void awaitPageAnswer();
    void approveTermination();

    Platform& platform;

    std::unique_ptr<Window> window;
    std::unique_ptr<WebView> webView;
    std::shared_ptr<Process> server;
    std::optional<Url> serverURL;
    // Set once serverURL is stored, so reader threads can look without a race.
    std::atomic<bool> serverURLKnown{false};
    std::atomic<bool> quitting{false};
    bool launchFailed = false;
    std::string stderrTail;
    // How many characters stderrTail holds, so a chunk costs only its own length.
    std::size_t stderrTailCharacters = 0;
    // Bytes at its end not yet cut to the limit; settled before every read.
    std::size_t stderrTailUnsettled = 0;
    std::mutex stderrLock;
    double zoom = 1.0;
    std::vector<std::unique_ptr<SignalSource>> signalSources;

    // The page for a dead page process stands; another death shows nothing
    // more until the user reloads or a server page finishes, so a process
    // that dies on every page cannot start a loop.
    bool pageProcessDeathShown = false;
    // Main-frame loads begun so far, the shell's own error pages included: a
    // stopped load counts as replaced only when one of these began after it.
    unsigned long mainFrameLoadsStarted = 0;

    // Between tryClose and the page's answer; a page that stays silent longer
    // than its time does not hold the application.
    bool closeAsked = false;
    bool leaveQuestionShown = false;
    bool leaveChosen = false;
    bool terminationApproved = false;
    // Each wait for the page's answer; a timer counts only for its own.
    unsigned long closeWaits = 0;
};

}  // namespace quorva
