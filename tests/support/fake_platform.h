#pragma once

#include "pages/status_pages.h"
#include "platform/gtk/url_glib.h"
#include "platform/platform.h"

#include <algorithm>
#include <csignal>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quorva::testing {

// The calls whose count or arguments a test reads, in order, as one line each.
struct CallLog {
    void add(std::string call) { all.push_back(std::move(call)); }
    std::vector<std::string> matching(const std::string& prefix) const
    {
        std::vector<std::string> found;
        std::copy_if(all.begin(), all.end(), std::back_inserter(found),
                     [&](const std::string& call) { return call.starts_with(prefix); });
        return found;
    }
    std::size_t count(const std::string& prefix) const { return matching(prefix).size(); }

    std::vector<std::string> all;
};

class FakeWebView final : public WebView {
public:
    explicit FakeWebView(CallLog& log) : log(log) {}

    void loadHtml(const std::string& html) override { htmlLoads.push_back(html); }
    void loadRequest(const Url& url, double) override { log.add("webView.load " + url.text); }
    void reload() override { log.add("webView.reload"); }
    void evaluateScript(const std::string& script) override { scripts.push_back(script); }
    std::optional<Url> currentUrl() const override { return current; }
    void runEditCommand(EditCommand) override {}
    void showNotice(const Notice& notice) override { notices.push_back(notice); }
    bool tryClose() override
    {
        log.add("webView.tryClose");
        return closesAtOnce;
    }
    std::string title() const override { return pageTitle; }
    void print(const std::string& fileName) override { log.add("webView.print " + fileName); }
    void showFindBar() override { log.add("webView.showFindBar"); }
    void endFind() override {}

    CallLog& log;
    std::string pageTitle;
    // The page has no handlers to run before it closes.
    bool closesAtOnce = false;
    std::optional<Url> current;
    std::vector<Notice> notices;
    std::vector<std::string> htmlLoads;
    std::vector<std::string> scripts;
};

class FakeWindow final : public Window {
public:
    void setTitle(const std::string&) override {}
    void setTitleVisible(bool) override {}
    void setTitlebarTransparent(bool) override {}
    void setBackgroundWhite() override {}
    void setMinimumSize(int, int) override {}
    void setContent(WebView&) override {}
    void center() override {}
    void setFrameAutosaveName(const std::string&) override {}
    void makeKeyAndOrderFront() override {}
    void minimize() override {}
    void toggleZoomed() override {}
    void ask(const Question& question, std::function<void(bool)> answer) override
    {
        asked.push_back(question.title + ": " + question.text);
        answers.push_back(std::move(answer));
    }

    // The questions asked and not yet answered, oldest first.
    std::vector<std::function<void(bool)>> answers;
    std::vector<std::string> asked;
};

class FakeProcess final : public Process {
public:
    FakeProcess(CallLog& log, const Clock& clock, LaunchRequest request)
        : log(log), clock(clock), request(std::move(request))
    {
    }

    int pid() const override { return 4242; }
    bool isRunning() const override
    {
        return running && !(terminatedAt && exitsAfterTerminate &&
                             clock.now() >= *terminatedAt + *exitsAfterTerminate);
    }
    void terminate() override
    {
        log.add("server.terminate");
        terminatedAt = terminatedAt.value_or(clock.now());
    }
    void kill() override
    {
        log.add("server.kill");
        running = false;
        status = SIGKILL;
    }
    int terminationStatus() const override { return status; }

    // Delivers the exit as the waiter thread would.
    void exitWith(int terminationStatus)
    {
        running = false;
        status = terminationStatus;
        request.onExit(terminationStatus);
    }

    CallLog& log;
    const Clock& clock;
    LaunchRequest request;
    bool running = true;
    int status = 0;
    // Seconds after terminate() at which the process exits; none: ignores it.
    std::optional<double> exitsAfterTerminate = 0.0;
    std::optional<double> terminatedAt;
};

// The whole platform in one object. Its main queue is also its clock: time
// moves only when the test says so, or when the code sleeps.
class FakePlatform final : public WindowSystem, public MainQueue, public Clock, public Workspace,
                           public Environment, public FileSystem, public ProcessLauncher,
                           public SignalSources, public ThisProcess {
public:
    std::unique_ptr<WebView> createWebView(const WebViewConfiguration& configuration,
                                           std::weak_ptr<WebViewDelegate>) override
    {
        webViewConfiguration = configuration;
        auto view = std::make_unique<FakeWebView>(log);
        webView = view.get();
        return view;
    }
    std::unique_ptr<Window> createWindow(int, int) override
    {
        auto created = std::make_unique<FakeWindow>();
        window = created.get();
        return created;
    }
    void activateIgnoringOtherApps() override {}
    void terminate() override { ++terminations; }
    std::string_view interpreterHint() const override { return hint; }

    void async(std::function<void()> work) override { queued.push_back(std::move(work)); }
    void asyncAfter(double seconds, std::function<void()> work) override
    {
        timers.emplace(time + seconds, std::move(work));
    }
    double now() const override { return time; }
    void sleepMicroseconds(unsigned microseconds) override { time += microseconds / 1e6; }
    // Runs queued work, and timers that are due, until nothing is left to run.
    void runPending()
    {
        while (!queued.empty() || due(time)) {
            std::function<void()> work;
            if (!queued.empty()) {
                work = std::move(queued.front());
                queued.pop_front();
            } else {
                work = std::move(timers.begin()->second);
                timers.erase(timers.begin());
            }
            work();
        }
    }
    // Moves the clock forward and runs what falls due on the way.
    void advance(double seconds)
    {
        const double target = time + seconds;
        for (runPending(); due(target); runPending())
            time = std::max(time, timers.begin()->first);
        time = target;
        runPending();
    }

    void openURL(const Url& url) override { log.add("openURL " + url.text); }

    std::map<std::string, std::string> snapshot() const override { return variables; }
    std::optional<std::string> get(const std::string& name) const override
    {
        const auto found = variables.find(name);
        return found == variables.end() ? std::nullopt : std::optional(found->second);
    }
    std::string homeDirectory() const override { return home; }

    bool createDirectories(const std::string& path) override
    {
        log.add("createDirectories " + path);
        return createSucceeds;
    }
    bool isReadableFile(const std::string& path) const override { return readable.count(path); }
    bool isExecutableFile(const std::string& path) const override { return executable.count(path); }
    std::optional<std::string> resourceDirectory() const override { return resources; }

    LaunchResult launch(LaunchRequest request) override
    {
        std::string call = "launch " + request.executable;
        for (const auto& argument : request.arguments)
            call += " " + argument;
        log.add(call + " @" + request.workingDirectory);
        if (failLaunchWith)
            return {nullptr, *failLaunchWith};
        process = std::make_shared<FakeProcess>(log, *this, std::move(request));
        return {process, ""};
    }
    std::optional<int> runToCompletion(const std::string& executable,
                                       const std::vector<std::string>&) override
    {
        log.add("runToCompletion " + executable);
        const auto found = completionStatus.find(executable);
        return found == completionStatus.end() ? std::nullopt : std::optional(found->second);
    }

    std::unique_ptr<SignalSource> watch(int signalNumber, std::function<void()> handler) override
    {
        handlers[signalNumber] = std::move(handler);
        return std::make_unique<SignalSource>();
    }
    // Delivers the signal's event as the main loop would.
    void deliver(int signalNumber) { handlers.at(signalNumber)(); }

    bool writeStandardError(std::string_view text) override
    {
        ++standardErrorWrites;
        standardError += text;
        return true;
    }
    void exit(int status) override { exits.push_back(status); }

    mutable CallLog log;
    FakeWebView* webView = nullptr;
    FakeWindow* window = nullptr;
    WebViewConfiguration webViewConfiguration;
    int terminations = 0;
    std::string hint = std::string(commandLineToolsHint);
    std::map<std::string, std::string> variables;
    std::string home = "/home/user";
    std::set<std::string> readable;
    std::set<std::string> executable;
    std::optional<std::string> resources = "/opt/quorva/share/quorva";
    bool createSucceeds = true;
    // The answer to the next launch: a description makes it fail.
    std::optional<std::string> failLaunchWith;
    // Exit status of runToCompletion by executable; absent: cannot be started.
    std::map<std::string, int> completionStatus;
    std::shared_ptr<FakeProcess> process;  // the last launched
    std::map<int, std::function<void()>> handlers;
    std::string standardError;
    int standardErrorWrites = 0;
    std::vector<int> exits;
    GlibUrlParser urlParser;
    Platform platform{*this, *this, *this, *this, *this, *this, *this, *this, urlParser, *this};

private:
    double time = 1000.0;
    bool due(double by) const { return !timers.empty() && timers.begin()->first <= by; }

    std::deque<std::function<void()>> queued;
    std::multimap<double, std::function<void()>> timers;
};

}  // namespace quorva::testing
