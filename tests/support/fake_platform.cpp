#include "fake_platform.h"

#include <csignal>

namespace quorva::testing {

namespace {

std::string joined(const std::vector<std::string>& words)
{
    std::string text;
    for (const auto& word : words)
        text += (text.empty() ? "" : " ") + word;
    return text;
}

}  // namespace

std::vector<std::string> CallLog::matching(const std::string& prefix) const
{
    std::vector<std::string> found;
    for (const auto& call : calls) {
        if (call.rfind(prefix, 0) == 0)
            found.push_back(call);
    }
    return found;
}

void ManualMainQueue::async(std::function<void()> work)
{
    log.add("mainQueue.async");
    queued.push_back(std::move(work));
}

void ManualMainQueue::asyncAfter(double seconds, std::function<void()> work)
{
    log.add("mainQueue.asyncAfter " + std::to_string(seconds));
    timers.emplace(time + seconds, std::move(work));
}

void ManualMainQueue::runPending()
{
    for (;;) {
        if (!queued.empty()) {
            auto work = std::move(queued.front());
            queued.erase(queued.begin());
            work();
            continue;
        }
        auto due = timers.begin();
        if (due == timers.end() || due->first > time)
            return;
        auto work = std::move(due->second);
        timers.erase(due);
        work();
    }
}

void ManualMainQueue::advance(double seconds)
{
    const double target = time + seconds;
    runPending();
    while (!timers.empty() && timers.begin()->first <= target) {
        time = std::max(time, timers.begin()->first);
        runPending();
    }
    time = target;
    runPending();
}

void FakeWebView::loadHtml(const std::string& html)
{
    log.add("webView.loadHtml");
    htmlLoads.push_back(html);
}

void FakeWebView::loadRequest(const Url& url, double timeoutSeconds)
{
    log.add("webView.loadRequest " + url.text);
    lastTimeout = timeoutSeconds;
}

std::unique_ptr<WebView> FakeWindowSystem::createWebView(const WebViewConfiguration& configuration,
                                                         std::weak_ptr<WebViewDelegate>)
{
    log.add("createWebView " + std::to_string(configuration.width) + "x" +
            std::to_string(configuration.height) +
            (configuration.persistentDataStore ? " persistent" : " ephemeral") +
            (configuration.inspectable ? " inspectable" : ""));
    lastConfiguration = configuration;
    auto view = std::make_unique<FakeWebView>(log);
    webView = view.get();
    return view;
}

std::unique_ptr<Window> FakeWindowSystem::createWindow(int contentWidth, int contentHeight)
{
    log.add("createWindow " + std::to_string(contentWidth) + "x" + std::to_string(contentHeight));
    return std::make_unique<FakeWindow>(log);
}

bool FakeProcess::isRunning() const
{
    if (!running)
        return false;
    return !(terminatedAt && exitsAfterTerminate && clock() >= *terminatedAt + *exitsAfterTerminate);
}

void FakeProcess::terminate()
{
    log.add("server.terminate");
    if (!terminatedAt)
        terminatedAt = clock();
}

void FakeProcess::kill()
{
    log.add("server.kill");
    running = false;
    status = SIGKILL;
}

void FakeProcess::exitWith(int terminationStatus)
{
    running = false;
    status = terminationStatus;
    request.onExit(terminationStatus);
}

LaunchResult FakeProcessLauncher::launch(LaunchRequest request)
{
    log.add("launch " + request.executable + " " + joined(request.arguments) + " @" +
            request.workingDirectory);
    launches.push_back(request);
    if (failLaunchWith)
        return {nullptr, *failLaunchWith};
    last = std::make_shared<FakeProcess>(log);
    last->clock = clock;
    last->request = std::move(request);
    return {last, ""};
}

std::optional<int> FakeProcessLauncher::runToCompletion(const std::string& executable,
                                                        const std::vector<std::string>& arguments)
{
    log.add("runToCompletion " + executable + " " + joined(arguments));
    const auto found = completionStatus.find(executable);
    if (found == completionStatus.end())
        return std::nullopt;
    return found->second;
}

std::map<std::string, std::string> FakeEnvironment::snapshot() const
{
    log.add("environment.snapshot");
    return variables;
}

std::optional<std::string> FakeEnvironment::get(const std::string& name) const
{
    const auto found = variables.find(name);
    if (found == variables.end())
        return std::nullopt;
    return found->second;
}

std::unique_ptr<SignalSource> FakeSignalSources::watch(int signalNumber,
                                                       std::function<void()> handler)
{
    log.add("signal.watch " + std::to_string(signalNumber));
    handlers[signalNumber] = std::move(handler);
    return std::make_unique<SignalSource>();
}

bool FakeThisProcess::writeStandardError(std::string_view text)
{
    log.add("writeStandardError");
    if (writesFail)
        return false;
    standardError += text;
    return true;
}

}  // namespace quorva::testing
