#pragma once

#include "pages/status_pages.h"
#include "platform/gtk/url_glib.h"
#include "platform/platform.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quorva::testing {

// Every call the core makes, in order, as one line each.
class CallLog {
public:
    void add(std::string call) { calls.push_back(std::move(call)); }
    const std::vector<std::string>& all() const { return calls; }
    // The calls that start with the prefix, in order.
    std::vector<std::string> matching(const std::string& prefix) const;
    std::size_t count(const std::string& prefix) const { return matching(prefix).size(); }

private:
    std::vector<std::string> calls;
};

// What every fake holds: the log it writes its calls to.
struct Logged {
    explicit Logged(CallLog& log) : log(log) {}
    CallLog& log;
};

// Main queue and clock in one: time moves only when the test says so, or
// when the code under test sleeps.
class ManualMainQueue final : public MainQueue, public Clock, Logged {
public:
    using Logged::Logged;

    void async(std::function<void()> work) override;
    void asyncAfter(double seconds, std::function<void()> work) override;
    double now() const override { return time; }
    void sleepMicroseconds(unsigned microseconds) override { time += microseconds / 1e6; }

    // Runs queued work, and timers that are due, until nothing is left to run.
    void runPending();
    // Moves the clock forward and runs what falls due on the way.
    void advance(double seconds);
    std::size_t pendingTimers() const { return timers.size(); }

private:
    double time = 1000.0;
    std::vector<std::function<void()>> queued;
    std::multimap<double, std::function<void()>> timers;
};

class FakeWebView final : public WebView, Logged {
public:
    using Logged::Logged;

    void loadHtml(const std::string& html) override;
    void loadRequest(const Url& url, double timeoutSeconds) override;
    void reload() override { log.add("webView.reload"); }
    void evaluateScript(const std::string& script) override
    {
        log.add("webView.evaluateScript " + script);
        scripts.push_back(script);
    }
    std::optional<Url> currentUrl() const override { return current; }
    void runEditCommand(EditCommand) override { log.add("webView.edit"); }
    void showNotice(const Notice& notice) override
    {
        log.add("webView.showNotice");
        notices.push_back(notice);
    }

    std::optional<Url> current;
    std::vector<Notice> notices;
    std::vector<std::string> htmlLoads;
    std::vector<std::string> scripts;
    double lastTimeout = 0;
};

// Only the window's construction is checked, as the calls it logs.
class FakeWindow final : public Window, Logged {
public:
    using Logged::Logged;

    void setTitle(const std::string& title) override { log.add("window.setTitle " + title); }
    void setTitleVisible(bool visible) override { add("setTitleVisible", visible); }
    void setTitlebarTransparent(bool transparent) override
    {
        add("setTitlebarTransparent", transparent);
    }
    void setBackgroundWhite() override { log.add("window.setBackgroundWhite"); }
    void setMinimumSize(int width, int height) override
    {
        log.add("window.setMinimumSize " + std::to_string(width) + "x" + std::to_string(height));
    }
    void setContent(WebView&) override { log.add("window.setContent"); }
    void center() override { log.add("window.center"); }
    void setFrameAutosaveName(const std::string& name) override
    {
        log.add("window.setFrameAutosaveName " + name);
    }
    void makeKeyAndOrderFront() override { log.add("window.makeKeyAndOrderFront"); }
    void minimize() override { log.add("window.minimize"); }
    void toggleZoomed() override { log.add("window.toggleZoomed"); }

private:
    void add(const char* call, bool value)
    {
        log.add(std::string("window.") + call + (value ? " true" : " false"));
    }
};

class FakeWindowSystem final : public WindowSystem, Logged {
public:
    using Logged::Logged;

    std::unique_ptr<WebView> createWebView(const WebViewConfiguration& configuration,
                                           std::weak_ptr<WebViewDelegate> delegate) override;
    std::unique_ptr<Window> createWindow(int contentWidth, int contentHeight) override;
    void activateIgnoringOtherApps() override { log.add("activateIgnoringOtherApps"); }
    std::string_view interpreterHint() const override { return hint; }

    FakeWebView* webView = nullptr;
    std::string hint = std::string(commandLineToolsHint);
    WebViewConfiguration lastConfiguration;
};

class FakeProcess final : public Process, Logged {
public:
    using Logged::Logged;

    int pid() const override { return 4242; }
    bool isRunning() const override;
    void terminate() override;
    void kill() override;
    int terminationStatus() const override { return status; }

    // Delivers the exit as the waiter thread would.
    void exitWith(int terminationStatus);

    bool running = true;
    int status = 0;
    // Seconds after terminate() at which the process exits; none: ignores it.
    std::optional<double> exitsAfterTerminate = 0.0;
    std::optional<double> terminatedAt;
    LaunchRequest request;
    std::function<double()> clock;
};

class FakeProcessLauncher final : public ProcessLauncher, Logged {
public:
    using Logged::Logged;

    LaunchResult launch(LaunchRequest request) override;
    std::optional<int> runToCompletion(const std::string& executable,
                                       const std::vector<std::string>& arguments) override;

    // The answer to the next launch: a description makes it fail.
    std::optional<std::string> failLaunchWith;
    // Exit status of runToCompletion by executable; absent: cannot be started.
    std::map<std::string, int> completionStatus;
    std::shared_ptr<FakeProcess> last;
    std::vector<LaunchRequest> launches;
    std::function<double()> clock;
};

class FakeEnvironment final : public Environment, Logged {
public:
    using Logged::Logged;

    std::map<std::string, std::string> snapshot() const override;
    std::optional<std::string> get(const std::string& name) const override;
    std::string homeDirectory() const override { return home; }

    std::map<std::string, std::string> variables;
    std::string home = "/home/user";
};

class FakeFileSystem final : public FileSystem, Logged {
public:
    using Logged::Logged;

    bool createDirectories(const std::string& path) override
    {
        log.add("createDirectories " + path);
        return createSucceeds;
    }
    bool isReadableFile(const std::string& path) const override { return readable.count(path); }
    bool isExecutableFile(const std::string& path) const override { return executable.count(path); }
    std::optional<std::string> resourceDirectory() const override { return resources; }

    std::set<std::string> readable;
    std::set<std::string> executable;
    std::optional<std::string> resources = "/opt/quorva/share/quorva";
    bool createSucceeds = true;
};

class FakeWorkspace final : public Workspace, Logged {
public:
    using Logged::Logged;
    void openURL(const Url& url) override
    {
        log.add("openURL " + url.text);
        opened.push_back(url.text);
    }
    std::vector<std::string> opened;
};

class FakeSignalSources final : public SignalSources, Logged {
public:
    using Logged::Logged;
    std::unique_ptr<SignalSource> watch(int signalNumber, std::function<void()> handler) override;
    // Delivers the signal's event as the main loop would.
    void deliver(int signalNumber) { handlers.at(signalNumber)(); }
    std::map<int, std::function<void()>> handlers;
};

class FakeThisProcess final : public ThisProcess, Logged {
public:
    using Logged::Logged;
    bool writeStandardError(std::string_view text) override;
    void exit(int status) override
    {
        log.add("exit " + std::to_string(status));
        exits.push_back(status);
    }

    std::string standardError;
    std::vector<int> exits;
    bool writesFail = false;
};

// The whole fake platform, with one call log.
struct FakePlatform {
    FakePlatform() { processLauncher.clock = [this] { return mainQueue.now(); }; }
    FakePlatform(const FakePlatform&) = delete;
    FakePlatform& operator=(const FakePlatform&) = delete;

    CallLog log;
    ManualMainQueue mainQueue{log};
    FakeWindowSystem windowSystem{log};
    FakeWorkspace workspace{log};
    FakeEnvironment environment{log};
    FakeFileSystem fileSystem{log};
    FakeProcessLauncher processLauncher{log};
    FakeSignalSources signalSources{log};
    GlibUrlParser urlParser;
    FakeThisProcess thisProcess{log};
    Platform platform{windowSystem, mainQueue,       mainQueue,     workspace, environment,
                      fileSystem,   processLauncher, signalSources, urlParser, thisProcess};
};

}  // namespace quorva::testing
