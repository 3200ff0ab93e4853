#pragma once

#include "platform/process.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace quorva {

// A parsed absolute URL as the core needs it: the text to load or log, the
// scheme and the host exactly as the parser reports them.
struct Url {
    std::string text;
    std::string scheme;
    std::string host;

    bool operator==(const Url&) const = default;
};

class UrlParser {
public:
    virtual ~UrlParser() = default;
    // Strict parse of an absolute URL; nothing when the text is not one.
    virtual std::optional<Url> parse(std::string_view text) const = 0;
};

enum class NavigationPolicy { Allow, Cancel };

// How a load failed, as the web view reports it.
struct LoadFailure {
    enum class Cause {
        Error,
        // Cancelled or interrupted: a newer main-frame load may have taken its place.
        Stopped,
        // Its response went to a download instead of the view.
        BecameDownload,
    };
    std::string description;
    Cause cause = Cause::Error;
};

// Downloads: a response the view will not show is saved to a file instead.
enum class ResponsePolicy { Show, Download };

struct Response {
    bool mimeTypeSupported = true;
    std::string contentDisposition;
};

struct DownloadOutcome {
    enum class Error { None, Connection, DiskFull, NoPermission, Other };
    // The file's final path, or the path it was meant to have.
    std::string path;
    Error error = Error::None;
    // The platform's own words, for an error of no known kind.
    std::string detail;
};

// A short message over the page; the page itself stays as it is.
struct Notice {
    std::string text;
    bool failure = false;
    // A folder the notice offers to open, with the label of that action.
    std::string folder;
    std::string openFolderLabel;
};

enum class EditCommand { Undo, Redo, Cut, Copy, Paste, SelectAll };

// What a page asked to use.
enum class PermissionKind { Geolocation, Notifications, Camera, Microphone, ClipboardRead, Other };
enum class PermissionPolicy { Allow, Deny };

// A question with two answers. Keeping is the default: Return, Escape and
// closing the question all keep.
struct Question {
    std::string title;
    std::string text;
    std::string keepLabel;
    std::string leaveLabel;
};

// Why the page stopped working: its own process ended without being asked
// to, or the process that fetches for it was lost in the middle of a load.
enum class WebProcessTermination { Crashed, ExceededMemoryLimit, TerminatedByApi, NetworkProcessLost };

// The web view's navigation and UI callbacks, all on the main thread.
class WebViewDelegate {
public:
    virtual ~WebViewDelegate() = default;

    // Called once for every navigation; the answer is the decision.
    virtual NavigationPolicy decidePolicyForNavigationAction(const std::optional<Url>& url) = 0;
    // A page asked for a new window; no view is ever created for it.
    virtual void createWebViewForNavigationAction(const std::optional<Url>& url) = 0;
    virtual void didFinishNavigation() = 0;
    virtual void didFailNavigation(const LoadFailure& failure) = 0;
    virtual void didFailProvisionalNavigation(const LoadFailure& failure) = 0;

    // The page's process is gone; the view shows nothing live until the next load.
    virtual void webContentProcessDidTerminate(WebProcessTermination reason) = 0;
    // A main-frame load began.
    virtual void didStartProvisionalNavigation() = 0;
    virtual ResponsePolicy decidePolicyForResponse(const Response& response) = 0;
    // A download was saved or failed; one the user cancelled is not reported.
    virtual void downloadDidEnd(const DownloadOutcome& outcome) = 0;

    virtual PermissionPolicy decidePolicyForPermissionRequest(PermissionKind kind) = 0;
    // The page has unsaved input and asks whether to leave it; the answer goes
    // back through the handler, true to leave.
    virtual void runBeforeUnloadConfirmPanel(std::function<void(bool leave)> answer) = 0;
    // The page's own yes-or-no question (window.confirm); true when the user agrees.
    virtual void runConfirmPanel(const std::string& message,
                                 std::function<void(bool confirmed)> answer) = 0;
    // The page agreed to close after tryClose, or WebKit stopped waiting for
    // its answer: a question may still follow.
    virtual void webViewDidClose() = 0;
    virtual void printDidFail(const std::string& description) = 0;
};

struct WebViewConfiguration {
    int width = 0;
    int height = 0;
    bool persistentDataStore = true;
    bool inspectable = false;
};

class WebView {
public:
    virtual ~WebView() = default;

    // Shows a document from text with no base URL, so its address is about:blank.
    virtual void loadHtml(const std::string& html) = 0;
    virtual void loadRequest(const Url& url, double timeoutSeconds) = 0;
    virtual void reload() = 0;
    // Runs a script in the page; its result and errors are ignored.
    virtual void evaluateScript(const std::string& script) = 0;
    virtual std::optional<Url> currentUrl() const = 0;
    virtual void runEditCommand(EditCommand command) = 0;

    // Replaces the notice shown, if any.
    virtual void showNotice(const Notice& notice) = 0;

    // Asks the page whether it may close. True: it agreed at once, having
    // nothing to ask. Otherwise it answers later with webViewDidClose, a
    // before-unload question, or not at all.
    virtual bool tryClose() = 0;
    virtual std::string title() const = 0;
    // The print dialog for the page shown; "Print to File" proposes the name.
    virtual void print(const std::string& fileName) = 0;
    // Opens the find bar, or ends the search and gives the page back its keys.
    virtual void showFindBar() = 0;
    virtual void endFind() = 0;
};

class Window {
public:
    virtual ~Window() = default;

    virtual void setTitle(const std::string& title) = 0;
    virtual void setTitleVisible(bool visible) = 0;
    virtual void setTitlebarTransparent(bool transparent) = 0;
    virtual void setBackgroundWhite() = 0;
    virtual void setMinimumSize(int width, int height) = 0;
    virtual void setContent(WebView& webView) = 0;
    virtual void center() = 0;
    // Restores the frame saved under this name, and saves it there from now on.
    virtual void setFrameAutosaveName(const std::string& name) = 0;
    virtual void makeKeyAndOrderFront() = 0;
    virtual void minimize() = 0;
    virtual void toggleZoomed() = 0;
    // Shows the question over the window; the answer comes later, true to leave.
    virtual void ask(const Question& question, std::function<void(bool leave)> answer) = 0;
};

// What the application object offers the delegate: its views and windows.
class WindowSystem {
public:
    virtual ~WindowSystem() = default;

    virtual std::unique_ptr<WebView> createWebView(const WebViewConfiguration& configuration,
                                                   std::weak_ptr<WebViewDelegate> delegate) = 0;
    virtual std::unique_ptr<Window> createWindow(int contentWidth, int contentHeight) = 0;
    virtual void activateIgnoringOtherApps() = 0;
    // Ends the application through its termination sequence, asking no one.
    virtual void terminate() = 0;

    // The error pages' paragraph (HTML) on getting python3 on this system.
    virtual std::string_view interpreterHint() const = 0;
};

// Work for the main thread; both calls are safe from any thread.
class MainQueue {
public:
    virtual ~MainQueue() = default;

    virtual void async(std::function<void()> work) = 0;
    virtual void asyncAfter(double seconds, std::function<void()> work) = 0;
};

class Clock {
public:
    virtual ~Clock() = default;

    // Seconds on a clock that never jumps.
    virtual double now() const = 0;
    virtual void sleepMicroseconds(unsigned microseconds) = 0;
};

class Workspace {
public:
    virtual ~Workspace() = default;

    // Hands the URL to the user's default application for its scheme.
    virtual void openURL(const Url& url) = 0;
};

class Environment {
public:
    virtual ~Environment() = default;

    virtual std::map<std::string, std::string> snapshot() const = 0;
    virtual std::optional<std::string> get(const std::string& name) const = 0;
    virtual std::string homeDirectory() const = 0;
};

class FileSystem {
public:
    virtual ~FileSystem() = default;

    // Creates the directory and its missing parents; false when it could not.
    virtual bool createDirectories(const std::string& path) = 0;
    virtual bool isReadableFile(const std::string& path) const = 0;
    virtual bool isExecutableFile(const std::string& path) const = 0;
    // The application's resource directory, when it has one.
    virtual std::optional<std::string> resourceDirectory() const = 0;
};

// A signal turned into events on the main thread; it stays armed while the
// source lives.
class SignalSource {
public:
    virtual ~SignalSource() = default;
};

class SignalSources {
public:
    virtual ~SignalSources() = default;

    virtual std::unique_ptr<SignalSource> watch(int signalNumber, std::function<void()> handler) = 0;
};

// The shell's own process.
class ThisProcess {
public:
    virtual ~ThisProcess() = default;

    // One write of the whole text; false when it failed.
    virtual bool writeStandardError(std::string_view text) = 0;
    // Ends the process at once, without the application's termination sequence.
    virtual void exit(int status) = 0;
};

struct Platform {
    WindowSystem& windowSystem;
    MainQueue& mainQueue;
    Clock& clock;
    Workspace& workspace;
    Environment& environment;
    FileSystem& fileSystem;
    ProcessLauncher& processLauncher;
    SignalSources& signalSources;
    UrlParser& urlParser;
    ThisProcess& thisProcess;
};

}  // namespace quorva
