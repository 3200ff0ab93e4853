#include "app/app_delegate.h"
#include "app/shell.h"
#include "app_delegate_probe.h"
#include "fake_platform.h"
#include "pages/status_pages.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace quorva {
namespace {

using Probe = AppDelegateProbe;
using testing::FakePlatform;
using testing::FakeProcess;

const std::string bundledScript = "/opt/quorva/share/quorva/catalog.py";
const std::string timeoutTitle = "เซิร์ฟเวอร์ไม่ตอบสนองภายใน 25 วินาที";
const std::string startFailureTitle = "เปิดเซิร์ฟเวอร์ในเครื่องไม่สำเร็จ";

// A platform and its delegate: the fixture's own, or a fresh one for each row of a table.
struct Rig {
    void launch() { delegate->applicationDidFinishLaunching(); }
    void launchServer()
    {
        fake.fileSystem.readable.insert(bundledScript);
        launch();
        ASSERT_TRUE(Probe::server(*delegate));
    }
    FakeProcess& server() { return *fake.processLauncher.last; }
    void standardOutput(const std::string& chunk) { server().request.onStandardOutput(chunk); }
    void standardError(const std::string& chunk) { server().request.onStandardError(chunk); }
    // The server announces its address and the main thread takes it.
    void serve()
    {
        standardOutput("http://127.0.0.1:8765/\n");
        fake.mainQueue.runPending();
    }
    const std::vector<std::string>& pages() { return fake.windowSystem.webView->htmlLoads; }
    bool showsError(const std::string& title, const std::string& detail)
    {
        return !pages().empty() &&
               pages().back() == errorPage(title, detail, fake.windowSystem.hint);
    }
    std::size_t requestsLoaded() { return fake.log.count("webView.loadRequest"); }

    // The error pages carry whatever the platform gives as its hint.
    Rig() { fake.windowSystem.hint = "<p>get <code>python3</code></p>"; }

    FakePlatform fake;
    std::shared_ptr<AppDelegate> delegate = std::make_shared<AppDelegate>(fake.platform);
};

class AppDelegateTest : public ::testing::Test, protected Rig {};

TEST_F(AppDelegateTest, StartsWithNothingAndStartsNothing)
{
    EXPECT_FALSE(Probe::window(*delegate));
    EXPECT_FALSE(Probe::webView(*delegate));
    EXPECT_FALSE(Probe::server(*delegate));
    EXPECT_FALSE(Probe::serverURL(*delegate));
    EXPECT_FALSE(Probe::quitting(*delegate));
    EXPECT_FALSE(Probe::launchFailed(*delegate));
    EXPECT_EQ(Probe::stderrTail(*delegate), "");
    EXPECT_EQ(Probe::zoom(*delegate), 1.0);
    EXPECT_EQ(Probe::signalSourceCount(*delegate), 0u);
    EXPECT_TRUE(fake.log.all().empty());
    EXPECT_TRUE(delegate->applicationShouldTerminateAfterLastWindowClosed());
}

TEST_F(AppDelegateTest, LaunchBuildsViewThenWindowThenSignalsThenLoadingPageThenServer)
{
    launchServer();
    const std::vector<std::string> expected = {
        "createWebView 1280x840 persistent",
        "createWindow 1280x840",
        "window.setTitle QUORVA",
        "window.setTitleVisible false",
        "window.setTitlebarTransparent true",
        "window.setBackgroundWhite",
        "window.setMinimumSize 960x600",
        "window.setContent",
        "window.center",
        "window.setFrameAutosaveName QUORVAMainWindow",
        "window.makeKeyAndOrderFront",
        "activateIgnoringOtherApps",
        "signal.watch 15",
        "signal.watch 2",
        "webView.loadHtml",
        "environment.snapshot",
        "createDirectories /home/user/QUORVA",
        "launch /usr/bin/env python3 -u " + bundledScript +
            " serve --no-browser --exit-with-parent --port 8765 @/home/user/QUORVA",
        "mainQueue.asyncAfter 25.000000",
    };
    EXPECT_EQ(fake.log.all(), expected);
    EXPECT_EQ(pages(), std::vector<std::string>{std::string(loadingPage)});
    EXPECT_EQ(Probe::signalSourceCount(*delegate), 2u);
    EXPECT_FALSE(Probe::launchFailed(*delegate));
}

TEST_F(AppDelegateTest, ScriptLocation)
{
    struct Case {
        const char* name;
        std::optional<std::string> resources;
        bool bundledReadable;
        std::optional<std::string> configured;
        bool configuredReadable;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"bundle wins", "/opt/quorva/share/quorva", true, "/other/catalog.py", true,
         bundledScript},
        {"fallback as written", "/opt/quorva/share/quorva", false, "rel/catalog.py", true,
         "rel/catalog.py"},
        {"no resource directory", std::nullopt, false, "/x/catalog.py", true, "/x/catalog.py"},
        {"fallback unreadable", "/opt/quorva/share/quorva", false, "/x/catalog.py", false,
         std::nullopt},
        {"fallback empty", "/opt/quorva/share/quorva", false, "", true, std::nullopt},
        {"nothing", "/opt/quorva/share/quorva", false, std::nullopt, false, std::nullopt},
    };
    for (const auto& c : cases) {
        Rig each;
        each.fake.fileSystem.resources = c.resources;
        if (c.bundledReadable)
            each.fake.fileSystem.readable.insert(bundledScript);
        if (c.configured) {
            each.fake.environment.variables["QUORVA_CATALOG"] = *c.configured;
            if (c.configuredReadable && !c.configured->empty())
                each.fake.fileSystem.readable.insert(*c.configured);
        }
        EXPECT_EQ(Probe::catalogPath(*each.delegate), c.expected) << c.name;
    }
}

TEST_F(AppDelegateTest, InterpreterNeedsTheExecutableAndTheLocator)
{
    struct Case {
        const char* name;
        bool executable;
        std::optional<int> locator;
        std::optional<std::string> expected;
        std::size_t locatorRuns;
    };
    const std::vector<Case> cases = {
        {"missing interpreter", false, 0, std::nullopt, 0},
        {"locator says yes", true, 0, "/usr/bin/python3", 1},
        {"locator says no", true, 2, std::nullopt, 1},
        {"locator cannot start", true, std::nullopt, std::nullopt, 1},
    };
    for (const auto& c : cases) {
        Rig each;
        if (c.executable)
            each.fake.fileSystem.executable.insert("/usr/bin/python3");
        if (c.locator)
            each.fake.processLauncher.completionStatus["/usr/bin/xcode-select"] = *c.locator;
        EXPECT_EQ(Probe::applePython(*each.delegate), c.expected) << c.name;
        EXPECT_EQ(each.fake.log.count("runToCompletion /usr/bin/xcode-select -p"), c.locatorRuns)
            << c.name;
    }
}

TEST_F(AppDelegateTest, LaunchUsesTheEnvironmentSnapshot)
{
    fake.fileSystem.readable.insert(bundledScript);
    fake.fileSystem.executable.insert("/usr/bin/python3");
    fake.processLauncher.completionStatus["/usr/bin/xcode-select"] = 0;
    fake.environment.variables = {
        {"QUORVA_HOME", "/srv/shop"}, {"QUORVA_DB", "shop.db"}, {"QUORVA_PORT", ""}};
    launch();
    EXPECT_EQ(fake.log.matching("createDirectories"),
              std::vector<std::string>{"createDirectories /srv/shop"});
    EXPECT_EQ(fake.log.matching("launch"),
              std::vector<std::string>{"launch /usr/bin/python3 -u " + bundledScript +
                                       " --db shop.db serve --no-browser --exit-with-parent "
                                       "--port  @/srv/shop"});
}

// A directory that cannot be made is no failure of its own: the launch still decides.
TEST_F(AppDelegateTest, LaunchFailuresShowTheirPageAndStartNoServerNorWatchdog)
{
    const std::string refusal = "Failed to launch /usr/bin/env: No such file <dir>";
    struct Case {
        const char* name;
        bool script;
        std::string title;
        std::string detail;
    };
    const std::vector<Case> cases = {
        {"missing script", false, "ไม่พบไฟล์ catalog.py ในแอป",
         "QUORVA.app เสียหายหรือถูกแตกไฟล์ไม่ครบ - ลองโหลด QUORVA.zip ใหม่"},
        {"refused launch", true, "เรียก python3 ไม่สำเร็จ", refusal},
    };
    for (const auto& c : cases) {
        Rig each;
        each.fake.fileSystem.createSucceeds = false;
        if (c.script)
            each.fake.fileSystem.readable.insert(bundledScript);
        each.fake.processLauncher.failLaunchWith = refusal;
        each.launch();
        EXPECT_TRUE(each.showsError(c.title, c.detail)) << c.name;
        EXPECT_TRUE(Probe::launchFailed(*each.delegate)) << c.name;
        EXPECT_FALSE(Probe::server(*each.delegate)) << c.name;
        EXPECT_EQ(each.fake.log.count("createDirectories"), 1u) << c.name;
        EXPECT_EQ(each.fake.log.count("launch"), c.script ? 1u : 0u) << c.name;
        EXPECT_EQ(each.fake.mainQueue.pendingTimers(), 0u) << c.name;
        each.fake.mainQueue.advance(30);
        EXPECT_EQ(each.pages().size(), 2u) << c.name;
    }
}

// Each standard output chunk is searched on its own; the first address wins.
TEST_F(AppDelegateTest, AddressIsStoredOnceAndLoaded)
{
    launchServer();
    standardOutput("starting\n");
    standardOutput("Serving on http://127.0.0.1:8765/\n");
    standardOutput("http://127.0.0.1:9000/\n");
    EXPECT_EQ(requestsLoaded(), 0u) << "the load belongs to the main thread";
    fake.mainQueue.runPending();
    EXPECT_EQ(fake.log.matching("webView.loadRequest"),
              std::vector<std::string>{"webView.loadRequest http://127.0.0.1:8765/"});
    EXPECT_EQ(fake.windowSystem.webView->lastTimeout, 60.0);
    EXPECT_EQ(Probe::serverURL(*delegate)->text, "http://127.0.0.1:8765/");
    standardOutput("http://127.0.0.1:9001/\n");
    fake.mainQueue.runPending();
    EXPECT_EQ(requestsLoaded(), 1u);
}

TEST_F(AppDelegateTest, AddressChunksThatDoNotCount)
{
    launchServer();
    for (const std::string chunk :
         {"http://127.0.0.1:\xE0\xB8", "\xFF http://127.0.0.1:1/", "http://127.0.0.1:abc/",
          "http://127.0.0.1:1/\u0600 x\n",
          "http://127.0.0.1:/", "https://127.0.0.1:8765/", ""}) {
        standardOutput(chunk);
    }
    standardError("http://127.0.0.1:8765/\n");
    fake.mainQueue.runPending();
    EXPECT_EQ(requestsLoaded(), 0u);
    EXPECT_FALSE(Probe::serverURL(*delegate));
    standardOutput("ready at http://127.0.0.1:87");
    standardOutput("65/\n");
    fake.mainQueue.runPending();
    EXPECT_EQ(fake.log.matching("webView.loadRequest"),
              std::vector<std::string>{"webView.loadRequest http://127.0.0.1:87"});
}

TEST_F(AppDelegateTest, ErrorTailTakesOnlyWholeValidChunks)
{
    launchServer();
    standardError("line one\r\n");
    standardError("\xE0\xB8");  // a Thai letter cut in two: both halves dropped
    standardError("\x81\n");
    standardError("bad \xFF byte");
    standardOutput("stdout never reaches the tail");
    standardError("");
    EXPECT_EQ(Probe::stderrTail(*delegate), "line one\r\n");
}

TEST_F(AppDelegateTest, WatchdogShowsTimeoutWithTrimmedTail)
{
    launchServer();
    standardError("  \n Traceback: <boom> & more\n\n");
    fake.mainQueue.advance(24.9);
    EXPECT_EQ(pages().size(), 1u);
    fake.mainQueue.advance(0.2);
    EXPECT_TRUE(showsError(timeoutTitle, "Traceback: <boom> & more"));
    EXPECT_TRUE(Probe::launchFailed(*delegate));

    // A late address still replaces the timeout page; the flag stays.
    standardOutput("http://127.0.0.1:8765/\n");
    fake.mainQueue.runPending();
    EXPECT_EQ(requestsLoaded(), 1u);
    EXPECT_TRUE(Probe::launchFailed(*delegate));
}

TEST_F(AppDelegateTest, WatchdogChangesNothingOnceAnAddressOrErrorStands)
{
    launchServer();
    standardOutput("http://127.0.0.1:8765/\n");
    fake.mainQueue.advance(30);
    EXPECT_EQ(pages().size(), 1u);
    EXPECT_FALSE(Probe::launchFailed(*delegate));
    // For an error that stands, see the exit titles below.
}

// Once its page stands, the watchdog changes nothing.
TEST_F(AppDelegateTest, ExitTitleDependsOnWhetherTheAddressWasSeen)
{
    struct Case {
        const char* name;
        bool addressFirst;
        int status;
        double exitAt;
        std::string title;
    };
    const std::vector<Case> cases = {
        {"exit 0 before address", false, 0, 5, startFailureTitle},
        {"exit after address", true, 1, 60, "เซิร์ฟเวอร์หยุดทำงาน (exit 1)"},
        {"killed after address", true, 9, 60, "เซิร์ฟเวอร์หยุดทำงาน (exit 9)"},
        {"negative status", true, -3, 60, "เซิร์ฟเวอร์หยุดทำงาน (exit -3)"},
        {"exit after timeout page", false, 2, 40, startFailureTitle},
    };
    for (const auto& c : cases) {
        Rig each;
        each.launchServer();
        each.standardError("Error: port in use\n");
        if (c.addressFirst)
            each.standardOutput("http://127.0.0.1:8765/\n");
        each.fake.mainQueue.advance(c.exitAt);
        each.server().exitWith(c.status);
        EXPECT_FALSE(each.showsError(c.title, "Error: port in use"))
            << c.name << ": the page belongs to the main thread";
        each.fake.mainQueue.runPending();
        EXPECT_TRUE(each.showsError(c.title, "Error: port in use")) << c.name;
        EXPECT_TRUE(Probe::launchFailed(*each.delegate)) << c.name;
        EXPECT_TRUE(Probe::server(*each.delegate)) << c.name;
        const auto shown = each.pages();
        each.fake.mainQueue.advance(30);
        EXPECT_EQ(each.pages(), shown) << c.name;
    }
}

TEST_F(AppDelegateTest, StopServerEarlyReturns)
{
    launch();  // no script: no server
    delegate->applicationWillTerminate();
    EXPECT_FALSE(Probe::quitting(*delegate));

    Rig other;
    other.launchServer();
    other.server().exitWith(1);
    other.delegate->applicationWillTerminate();
    EXPECT_FALSE(Probe::quitting(*other.delegate));
    EXPECT_EQ(other.fake.log.count("server.terminate"), 0u);
}

// Waited on the manual clock: a prompt exit ends the wait within one poll, and a server
// that ignores the request is killed after the grace. An exit so expected shows no page.
TEST_F(AppDelegateTest, StopServerWaitsForTheExitOrKillsAfterTheGrace)
{
    struct Case {
        const char* name;
        std::optional<double> exitsAfterTerminate;
        std::vector<std::string> calls;
        double least;
    };
    const std::vector<Case> cases = {
        {"prompt exit", 0.12, {"server.terminate"}, 0.12},
        {"ignores terminate", std::nullopt, {"server.terminate", "server.kill"}, 3.0},
    };
    for (const auto& c : cases) {
        Rig each;
        each.launchServer();
        each.server().exitsAfterTerminate = c.exitsAfterTerminate;
        const double start = each.fake.mainQueue.now();
        each.delegate->applicationWillTerminate();
        const double waited = each.fake.mainQueue.now() - start;
        EXPECT_TRUE(Probe::quitting(*each.delegate)) << c.name;
        EXPECT_EQ(each.fake.log.matching("server."), c.calls) << c.name;
        EXPECT_GE(waited, c.least) << c.name;
        EXPECT_LE(waited, c.least + 0.05 + 1e-9) << c.name;
        each.server().exitWith(c.calls.size() == 1 ? SIGTERM : SIGKILL);
        each.fake.mainQueue.runPending();
        EXPECT_EQ(each.pages().size(), 1u) << c.name;
    }
}

TEST_F(AppDelegateTest, SignalStopsTheServerAndExitsZero)
{
    for (int signalNumber : {SIGTERM, SIGINT}) {
        Rig each;
        each.launchServer();
        each.fake.signalSources.deliver(signalNumber);
        EXPECT_EQ(each.fake.log.count("server.terminate"), 1u) << signalNumber;
        EXPECT_EQ(each.fake.thisProcess.exits, std::vector<int>{0}) << signalNumber;
        EXPECT_EQ(each.fake.log.all().back(), "exit 0") << signalNumber;
    }
}

// Only a signal still counts: it exits.
TEST_F(AppDelegateTest, ClosuresDoNothingOnceTheDelegateIsGone)
{
    launchServer();
    auto process = fake.processLauncher.last;
    process->request.onStandardOutput("http://127.0.0.1:8765/\n");
    delegate.reset();
    process->request.onStandardError("late\n");
    process->exitWith(1);
    fake.mainQueue.advance(30);
    EXPECT_EQ(fake.log.count("webView."), 1u);  // the loading page only
    fake.signalSources.deliver(SIGTERM);
    EXPECT_EQ(fake.thisProcess.exits, std::vector<int>{0});
}

TEST_F(AppDelegateTest, FailedLoadsShowTheirPageOnlyOnceAnAddressIsKnown)
{
    launchServer();
    delegate->didFailProvisionalNavigation({"Could not connect"});
    EXPECT_EQ(pages().size(), 1u);
    EXPECT_FALSE(Probe::launchFailed(*delegate));

    serve();
    delegate->didFailProvisionalNavigation({"Could not connect: <refused> & gone"});
    EXPECT_TRUE(showsError("เชื่อมต่อเซิร์ฟเวอร์ในเครื่องไม่ได้", "Could not connect: <refused> & gone"));
    EXPECT_TRUE(Probe::launchFailed(*delegate));
    delegate->didFailNavigation({""});
    EXPECT_TRUE(showsError("โหลดหน้าไม่สำเร็จ", ""));
}

// A stopped load waits 0.25 s: a main-frame load begun after it replaced it.
// Each is judged on its own; one whose response became a download is no failure.
TEST_F(AppDelegateTest, StoppedLoadsAreJudgedEachOnItsOwn)
{
    struct Case {
        const char* name;
        // E error, S stopped, D became a download, L main-frame load began,
        // N a navigation allowed (a sub-frame's, say), t 0.1 s pass, T 0.3 s pass.
        const char* events;
        std::vector<std::string> shown;
    };
    const std::vector<Case> cases = {
        {"an error shows at once", "E", {"f0"}},
        {"a download is no failure", "DT", {}},
        {"stopped, within the grace", "St", {}},
        {"stopped, nothing followed", "ST", {"f0"}},
        {"stopped, then a newer load", "StLT", {}},
        {"a load begun before does not count", "LST", {"f0"}},
        {"a decision is not a load", "SNT", {"f0"}},
        {"a second stop keeps the first", "SttStLT", {"f0"}},
        {"two stops, one page", "SST", {"f0"}},
    };
    for (const auto& c : cases) {
        Rig each;
        each.launchServer();
        each.serve();
        auto& subject = each.delegate;
        int failures = 0;
        using Cause = LoadFailure::Cause;
        const std::map<char, Cause> causes = {
            {'E', Cause::Error}, {'S', Cause::Stopped}, {'D', Cause::BecameDownload}};
        for (const char* e = c.events; *e; ++e) {
            if (causes.count(*e))
                subject->didFailProvisionalNavigation(
                    {"f" + std::to_string(failures++), causes.at(*e)});
            else if (*e == 'L')
                subject->didStartProvisionalNavigation();
            else if (*e == 'N')
                subject->decidePolicyForNavigationAction(
                    each.fake.urlParser.parse("http://127.0.0.1:8765/frame"));
            else
                each.fake.mainQueue.advance(*e == 't' ? 0.1 : 0.3);
        }
        std::vector<std::string> expected = {std::string(loadingPage)};
        for (const auto& detail : c.shown)
            expected.push_back(errorPage("เชื่อมต่อเซิร์ฟเวอร์ในเครื่องไม่ได้", detail,
                                         each.fake.windowSystem.hint));
        EXPECT_EQ(each.pages(), expected) << c.name;
        EXPECT_EQ(Probe::launchFailed(*subject), !c.shown.empty()) << c.name;
    }
}

// The switch counts when present, whatever its value.
TEST_F(AppDelegateTest, DebugMakesTheViewInspectableAndLogsFinishedServerPages)
{
    struct Case {
        const char* name;
        std::optional<std::string> debug;
        std::optional<std::string> url;
        std::string logged;
    };
    const std::vector<Case> cases = {
        {"server page", "", "http://127.0.0.1:8765/items?q=ก", "[QUORVA] loaded http://127.0.0.1:8765/items?q=ก\n"},
        {"any value", "0", "http://localhost:1/", "[QUORVA] loaded http://localhost:1/\n"},
        {"switch off", std::nullopt, "http://127.0.0.1:8765/", ""},
        {"status page", "1", "about:blank", ""},
        {"file", "1", "file:///tmp/x.html", ""},
        {"no address", "1", std::nullopt, ""},
    };
    for (const auto& c : cases) {
        Rig each;
        if (c.debug)
            each.fake.environment.variables["QUORVA_DEBUG"] = *c.debug;
        each.launch();
        EXPECT_EQ(each.fake.windowSystem.lastConfiguration.inspectable, c.debug.has_value())
            << c.name;
        if (c.url)
            each.fake.windowSystem.webView->current = each.fake.urlParser.parse(*c.url);
        each.delegate->didFinishNavigation();
        EXPECT_EQ(each.fake.thisProcess.standardError, c.logged) << c.name;
    }
}

TEST_F(AppDelegateTest, DebugLogWritesOneLineInOneWriteAndSurvivesFailure)
{
    fake.environment.variables["QUORVA_DEBUG"] = "";
    Probe::debugLog(*delegate, "two\nlines ✓");
    EXPECT_EQ(fake.thisProcess.standardError, "[QUORVA] two\nlines ✓\n");
    EXPECT_EQ(fake.log.count("writeStandardError"), 1u);
    fake.thisProcess.writesFail = true;
    Probe::debugLog(*delegate, "lost");
    fake.environment.variables.erase("QUORVA_DEBUG");
    Probe::debugLog(*delegate, "off");
    EXPECT_EQ(fake.log.count("writeStandardError"), 2u);
}

TEST_F(AppDelegateTest, NavigationHandsOverExactlyWhatMayNotStay)
{
    launch();
    const auto local = fake.urlParser.parse("http://127.0.0.1:9/x");
    const auto remote = fake.urlParser.parse("https://example.com/");
    EXPECT_EQ(delegate->decidePolicyForNavigationAction(local), NavigationPolicy::Allow);
    EXPECT_EQ(delegate->decidePolicyForNavigationAction(std::nullopt), NavigationPolicy::Allow);
    EXPECT_EQ(delegate->decidePolicyForNavigationAction(remote), NavigationPolicy::Cancel);
    delegate->createWebViewForNavigationAction(local);
    delegate->createWebViewForNavigationAction(std::nullopt);
    EXPECT_EQ(fake.workspace.opened,
              (std::vector<std::string>{"https://example.com/", "http://127.0.0.1:9/x"}));
}

TEST_F(AppDelegateTest, ReloadGoesBackToTheServerOnceAfterAnErrorPage)
{
    launchServer();
    delegate->reloadPage();
    EXPECT_EQ(fake.log.count("webView.reload"), 1u);

    Probe::setLaunchFailed(*delegate, true);
    delegate->reloadPage();  // no address yet: plain reload, flag kept
    EXPECT_EQ(fake.log.count("webView.reload"), 2u);
    EXPECT_TRUE(Probe::launchFailed(*delegate));

    serve();
    delegate->didFailProvisionalNavigation({"refused"});
    delegate->reloadPage();
    EXPECT_FALSE(Probe::launchFailed(*delegate));
    EXPECT_EQ(requestsLoaded(), 2u);
    delegate->reloadPage();
    EXPECT_EQ(fake.log.count("webView.reload"), 3u);
    EXPECT_EQ(requestsLoaded(), 2u);
}

// A dead page process gets one page, never a loop; reload returns to the
// same server, which keeps running.
TEST_F(AppDelegateTest, DeadPageProcessShowsItsPageOnceAndReloadGoesBack)
{
    const std::string title = "หน้าเว็บหยุดทำงาน";
    const std::string advice = " เลือก “โหลดใหม่” ในเมนู “มุมมอง” เพื่อเปิดหน้าอีกครั้ง";
    const std::vector<std::pair<WebProcessTermination, std::string>> cases = {
        {WebProcessTermination::Crashed,
         "ส่วนที่แสดงหน้าเว็บปิดตัวลงกะทันหัน อาจขัดข้องเองหรือถูกโปรแกรมอื่นสั่งปิด"},
        {WebProcessTermination::ExceededMemoryLimit,
         "หน้าเว็บใช้หน่วยความจำเกินขีดจำกัด ระบบจึงปิดส่วนที่แสดงหน้าเว็บไป"},
        {WebProcessTermination::TerminatedByApi, "ส่วนที่แสดงหน้าเว็บถูกสั่งปิด"},
        {WebProcessTermination::NetworkProcessLost,
         "ส่วนที่รับส่งข้อมูลให้หน้าเว็บหยุดทำงานกะทันหันระหว่างโหลดหน้า"},
    };
    launchServer();
    serve();
    for (const auto& [reason, detail] : cases) {
        delegate->webContentProcessDidTerminate(reason);
        EXPECT_TRUE(showsError(title, detail + advice)) << detail;
        EXPECT_TRUE(Probe::launchFailed(*delegate));
        const auto shown = pages().size();
        delegate->webContentProcessDidTerminate(reason);  // the error page's own process
        EXPECT_EQ(pages().size(), shown);
        const auto requests = requestsLoaded();
        delegate->reloadPage();
        EXPECT_EQ(requestsLoaded(), requests + 1);
        EXPECT_FALSE(Probe::launchFailed(*delegate));
    }
    // A server page that loads also ends the hold.
    delegate->webContentProcessDidTerminate(WebProcessTermination::Crashed);
    fake.windowSystem.webView->current = fake.urlParser.parse("http://127.0.0.1:8765/");
    delegate->didFinishNavigation();
    const auto shown = pages().size();
    delegate->webContentProcessDidTerminate(WebProcessTermination::Crashed);
    EXPECT_EQ(pages().size(), shown + 1);
    EXPECT_EQ(fake.processLauncher.launches.size(), 1u);
    EXPECT_EQ(fake.log.count("server."), 0u);
}

TEST_F(AppDelegateTest, EveryZoomCommandRunsTheScript)
{
    launch();
    for (int i = 0; i < 11; ++i)
        delegate->zoomIn();
    EXPECT_EQ(Probe::zoom(*delegate), 2.0);
    delegate->zoomOut();
    delegate->zoomReset();
    const auto& scripts = fake.windowSystem.webView->scripts;
    ASSERT_EQ(scripts.size(), 13u);
    std::vector<std::string> last;
    for (const char* zoom : {"2.0", "2.0", "1.9", "1.0"})
        last.push_back(std::string("document.documentElement.style.zoom='") + zoom + "'");
    EXPECT_EQ(std::vector<std::string>(scripts.begin() + 9, scripts.end()), last);
}

TEST(QUORVAShellTest, DelegateIsCreatedOnceWhoeverAsksFirst)
{
    std::vector<const AppDelegate*> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = QUORVAShell::delegate().get(); });
    for (auto& thread : threads)
        thread.join();
    for (const auto* delegate : seen)
        EXPECT_EQ(delegate, seen.front());
    EXPECT_NE(seen.front(), nullptr);
}

}  // namespace

Platform& QUORVAShell::platform()
{
    static FakePlatform* fake = new FakePlatform();
    return fake->platform;
}

}  // namespace quorva
