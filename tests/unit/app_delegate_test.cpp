#include "app/menu.h"
#include "app/shell.h"
#include "app_delegate_probe.h"
#include "fake_platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <set>
#include <thread>

namespace quorva {
namespace {

using Probe = AppDelegateProbe;
using Strings = std::vector<std::string>;
using testing::FakePlatform;

const std::string bundledScript = "/opt/quorva/share/quorva/catalog.py";
const std::string connectTitle = "เชื่อมต่อเซิร์ฟเวอร์ในเครื่องไม่ได้";

// A platform and its delegate: the fixture's own, or a fresh one for each row of a table.
struct Rig {
    // The error pages carry whatever the platform gives as its hint.
    Rig() { fake.hint = "<p>get <code>python3</code></p>"; }

    void launch() { delegate->applicationDidFinishLaunching(); }
    void launchServer()
    {
        fake.readable.insert(bundledScript);
        launch();
        ASSERT_TRUE(Probe::server(*delegate));
    }
    void standardOutput(const std::string& chunk) { fake.process->request.onStandardOutput(chunk); }
    void standardError(const std::string& chunk) { fake.process->request.onStandardError(chunk); }
    // The server announces its address and the main thread takes it.
    void serve()
    {
        standardOutput("http://127.0.0.1:8765/\n");
        fake.runPending();
    }
    const Strings& pages() { return fake.webView->htmlLoads; }
    bool showsError(const std::string& title, const std::string& detail)
    {
        return !pages().empty() && pages().back() == errorPage(title, detail, fake.hint);
    }
    std::size_t requestsLoaded() { return fake.log.count("webView.loadRequest"); }
    bool failed() { return Probe::launchFailed(*delegate); }

    FakePlatform fake;
    std::shared_ptr<AppDelegate> delegate = std::make_shared<AppDelegate>(fake.platform);
};

class AppDelegateTest : public ::testing::Test, protected Rig {};

// Construction starts nothing. The window shows, the signals are watched and the loading page
// stands before the server starts, and the server then has 25 s to answer.
TEST_F(AppDelegateTest, LaunchShowsTheWindowAndWatchesTheSignalsBeforeTheServerStarts)
{
    EXPECT_EQ(fake.log.all, Strings{});
    EXPECT_TRUE(delegate->applicationShouldTerminateAfterLastWindowClosed());
    launchServer();
    const Strings& calls = fake.log.all;
    const auto launched = std::find_if(calls.begin(), calls.end(), [](const std::string& call) {
        return call.starts_with("launch ");
    });
    for (const char* call : {"createWebView 1280x840 persistent", "window.setTitle QUORVA",
                             "window.setMinimumSize 960x600", "window.setContent",
                             "window.makeKeyAndOrderFront", "signal.watch 15", "signal.watch 2"})
        EXPECT_NE(std::find(calls.begin(), launched, call), launched) << call;
    EXPECT_EQ(pages(), Strings{std::string(loadingPage)});
    EXPECT_EQ(fake.log.matching("mainQueue.asyncAfter"), Strings{"mainQueue.asyncAfter 25.000000"});
    EXPECT_EQ(Probe::signalSourceCount(*delegate), 2u);
    EXPECT_FALSE(failed());
}

// The bundled script wins; else QUORVA_CATALOG as written, when it names a readable file.
TEST_F(AppDelegateTest, ScriptLocation)
{
    using Path = std::optional<std::string>;
    const Path resources = "/opt/quorva/share/quorva";
    // Resource directory, readable files, QUORVA_CATALOG, the script found.
    const std::tuple<Path, std::set<std::string>, Path, Path> cases[] = {
        {resources, {bundledScript, "/other/catalog.py"}, "/other/catalog.py", bundledScript},
        {resources, {"rel/catalog.py"}, "rel/catalog.py", "rel/catalog.py"},
        {std::nullopt, {"/x/catalog.py"}, "/x/catalog.py", "/x/catalog.py"},
        {resources, {}, "/x/catalog.py", std::nullopt},
        {resources, {}, "", std::nullopt},
        {resources, {}, std::nullopt, std::nullopt},
    };
    for (const auto& [directory, readable, configured, expected] : cases) {
        Rig each;
        each.fake.resources = directory;
        each.fake.readable = readable;
        if (configured)
            each.fake.variables["QUORVA_CATALOG"] = *configured;
        EXPECT_EQ(Probe::catalogPath(*each.delegate), expected) << configured.value_or("-");
    }
}

TEST_F(AppDelegateTest, InterpreterNeedsTheExecutableAndTheLocator)
{
    struct Case {
        bool executable;
        std::optional<int> locator;  // none: cannot start
        std::optional<std::string> expected;
        std::size_t locatorRuns;
    };
    for (const auto& c : {Case{false, 0, std::nullopt, 0}, Case{true, 0, "/usr/bin/python3", 1},
                          Case{true, 2, std::nullopt, 1},
                          Case{true, std::nullopt, std::nullopt, 1}}) {
        Rig each;
        if (c.executable)
            each.fake.executable.insert("/usr/bin/python3");
        if (c.locator)
            each.fake.completionStatus["/usr/bin/xcode-select"] = *c.locator;
        SCOPED_TRACE(::testing::Message() << c.executable << " " << c.locator.value_or(-1));
        EXPECT_EQ(Probe::applePython(*each.delegate), c.expected);
        EXPECT_EQ(each.fake.log.count("runToCompletion /usr/bin/xcode-select -p"), c.locatorRuns);
    }
}

TEST_F(AppDelegateTest, LaunchUsesTheEnvironmentSnapshot)
{
    fake.readable.insert(bundledScript);
    fake.executable.insert("/usr/bin/python3");
    fake.completionStatus["/usr/bin/xcode-select"] = 0;
    fake.variables = {{"QUORVA_HOME", "/srv/shop"}, {"QUORVA_DB", "shop.db"}, {"QUORVA_PORT", ""}};
    launch();
    EXPECT_EQ(fake.log.matching("createDirectories"), Strings{"createDirectories /srv/shop"});
    EXPECT_EQ(fake.log.matching("launch"),
              Strings{"launch /usr/bin/python3 -u " + bundledScript +
                      " --db shop.db serve --no-browser --exit-with-parent --port  @/srv/shop"});
}

// A directory that cannot be made is no failure of its own: the launch still decides.
TEST_F(AppDelegateTest, LaunchFailuresShowTheirPageAndStartNoServerNorWatchdog)
{
    const std::string refusal = "Failed to launch /usr/bin/env: No such file <dir>";
    for (const bool script : {false, true}) {
        SCOPED_TRACE(script ? "refused launch" : "missing script");
        Rig each;
        each.fake.createSucceeds = false;
        if (script)
            each.fake.readable.insert(bundledScript);
        each.fake.failLaunchWith = refusal;
        each.launch();
        EXPECT_TRUE(script ? each.showsError("เรียก python3 ไม่สำเร็จ", refusal)
                           : each.showsError("ไม่พบไฟล์ catalog.py ในแอป",
                                             "QUORVA.app เสียหายหรือถูกแตกไฟล์ไม่ครบ - "
                                             "ลองโหลด QUORVA.zip ใหม่"));
        EXPECT_TRUE(each.failed());
        EXPECT_FALSE(Probe::server(*each.delegate));
        EXPECT_EQ(each.fake.log.count("createDirectories"), 1u);
        EXPECT_EQ(each.fake.log.count("launch "), script ? 1u : 0u);
        EXPECT_EQ(each.fake.log.count("mainQueue.asyncAfter"), 0u);
        each.fake.advance(30);
        EXPECT_EQ(each.pages().size(), 2u);
    }
}

// Each standard output chunk is searched on its own, standard error never; the first
// address wins, and its load belongs to the main thread.
TEST_F(AppDelegateTest, FirstAddressInAWholeValidOutputChunkIsStoredOnceAndLoaded)
{
    launchServer();
    for (const std::string chunk :
         {"starting\n", "http://127.0.0.1:\xE0\xB8", "\xFF http://127.0.0.1:1/",
          "http://127.0.0.1:abc/", "http://127.0.0.1:1/\u0600 x\n", "http://127.0.0.1:/",
          "https://127.0.0.1:8765/", ""})
        standardOutput(chunk);
    standardError("http://127.0.0.1:8765/\n");
    fake.runPending();
    EXPECT_EQ(requestsLoaded(), 0u);
    EXPECT_FALSE(Probe::serverURL(*delegate));
    standardOutput("ready at http://127.0.0.1:87");
    standardOutput("65/\n");
    standardOutput("http://127.0.0.1:9000/\n");
    EXPECT_EQ(requestsLoaded(), 0u);
    fake.runPending();
    EXPECT_EQ(fake.log.matching("webView.loadRequest"),
              Strings{"webView.loadRequest http://127.0.0.1:87"});
    EXPECT_EQ(fake.webView->lastTimeout, 60.0);
    EXPECT_EQ(Probe::serverURL(*delegate)->text, "http://127.0.0.1:87");
    serve();
    EXPECT_EQ(requestsLoaded(), 1u);
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

TEST_F(AppDelegateTest, WatchdogShowsTimeoutWithTrimmedTailUnlessAnAddressCame)
{
    launchServer();
    standardError("  \n Traceback: <boom> & more\n\n");
    fake.advance(24.9);
    EXPECT_EQ(pages().size(), 1u);
    fake.advance(0.2);
    EXPECT_TRUE(showsError("เซิร์ฟเวอร์ไม่ตอบสนองภายใน 25 วินาที", "Traceback: <boom> & more"));
    EXPECT_TRUE(failed());
    // A late address still replaces the timeout page; the flag stays.
    serve();
    EXPECT_EQ(requestsLoaded(), 1u);
    EXPECT_TRUE(failed());

    Rig served;
    served.launchServer();
    served.standardOutput("http://127.0.0.1:8765/\n");
    served.fake.advance(30);
    EXPECT_EQ(served.pages().size(), 1u);
    EXPECT_FALSE(served.failed());
}

// Once its page stands, the watchdog changes nothing.
TEST_F(AppDelegateTest, ExitTitleDependsOnWhetherTheAddressWasSeen)
{
    const std::tuple<bool, int, double> cases[] = {
        {false, 0, 5}, {true, 1, 60}, {true, 9, 60}, {true, -3, 60}, {false, 2, 40}};
    for (const auto& [addressFirst, status, exitAt] : cases) {
        const std::string title = addressFirst
                                      ? "เซิร์ฟเวอร์หยุดทำงาน (exit " + std::to_string(status) + ")"
                                      : "เปิดเซิร์ฟเวอร์ในเครื่องไม่สำเร็จ";
        SCOPED_TRACE(title + " at " + std::to_string(exitAt));
        Rig each;
        each.launchServer();
        each.standardError("Error: port in use\n");
        if (addressFirst)
            each.standardOutput("http://127.0.0.1:8765/\n");
        each.fake.advance(exitAt);
        each.fake.process->exitWith(status);
        EXPECT_FALSE(each.showsError(title, "Error: port in use")) << "before the main thread";
        each.fake.runPending();
        EXPECT_TRUE(each.showsError(title, "Error: port in use"));
        EXPECT_TRUE(each.failed());
        EXPECT_TRUE(Probe::server(*each.delegate));
        const auto shown = each.pages();
        each.fake.advance(30);
        EXPECT_EQ(each.pages(), shown);
    }
}

// Waited on the manual clock: a prompt exit ends the wait within one poll, and a server
// that ignores the request is killed after the grace. An exit so expected shows no page.
TEST_F(AppDelegateTest, StopServerWaitsForTheExitOrKillsAfterTheGrace)
{
    launch();  // no script: no server, nothing to stop
    delegate->applicationWillTerminate();
    EXPECT_FALSE(Probe::quitting(*delegate));
    Rig exited;
    exited.launchServer();
    exited.fake.process->exitWith(1);
    exited.delegate->applicationWillTerminate();
    EXPECT_FALSE(Probe::quitting(*exited.delegate));
    EXPECT_EQ(exited.fake.log.count("server."), 0u);

    for (const bool prompt : {true, false}) {
        SCOPED_TRACE(prompt ? "prompt exit" : "ignores terminate");
        Rig each;
        each.launchServer();
        each.fake.process->exitsAfterTerminate = prompt ? std::optional(0.12) : std::nullopt;
        const double start = each.fake.now();
        each.delegate->applicationWillTerminate();
        const double waited = each.fake.now() - start;
        const double least = prompt ? 0.12 : 3.0;
        EXPECT_TRUE(Probe::quitting(*each.delegate));
        EXPECT_EQ(each.fake.log.matching("server."),
                  (prompt ? Strings{"server.terminate"}
                          : Strings{"server.terminate", "server.kill"}));
        EXPECT_GE(waited, least);
        EXPECT_LE(waited, least + 0.05 + 1e-9);
        each.fake.process->exitWith(prompt ? SIGTERM : SIGKILL);
        each.fake.runPending();
        EXPECT_EQ(each.pages().size(), 1u);
    }
}

// Only a signal still counts once the delegate is gone: it exits.
TEST_F(AppDelegateTest, SignalStopsTheServerAndExitsZeroAndNothingElseOutlivesTheDelegate)
{
    for (int signalNumber : {SIGTERM, SIGINT}) {
        Rig each;
        each.launchServer();
        each.fake.deliver(signalNumber);
        EXPECT_EQ(each.fake.log.count("server.terminate"), 1u) << signalNumber;
        EXPECT_EQ(each.fake.exits, std::vector<int>{0}) << signalNumber;
        EXPECT_EQ(each.fake.log.all.back(), "exit 0") << signalNumber;
    }
    launchServer();
    auto process = fake.process;
    process->request.onStandardOutput("http://127.0.0.1:8765/\n");
    delegate.reset();
    process->request.onStandardError("late\n");
    process->exitWith(1);
    fake.advance(30);
    EXPECT_EQ(fake.log.count("webView."), 1u);  // the loading page only
    fake.deliver(SIGTERM);
    EXPECT_EQ(fake.exits, std::vector<int>{0});
}

// Reload goes back to the server's address once, after an error page.
TEST_F(AppDelegateTest, FailedLoadsShowTheirPageOnlyOnceAnAddressIsKnownAndReloadGoesBack)
{
    launchServer();
    delegate->didFailProvisionalNavigation({"Could not connect"});
    EXPECT_EQ(pages().size(), 1u);
    EXPECT_FALSE(failed());
    delegate->reloadPage();
    EXPECT_EQ(fake.log.count("webView.reload"), 1u);
    Probe::setLaunchFailed(*delegate, true);
    delegate->reloadPage();  // no address yet: plain reload, flag kept
    EXPECT_EQ(fake.log.count("webView.reload"), 2u);
    EXPECT_TRUE(failed());

    serve();
    delegate->didFailProvisionalNavigation({"Could not connect: <refused> & gone"});
    EXPECT_TRUE(showsError(connectTitle, "Could not connect: <refused> & gone"));
    EXPECT_TRUE(failed());
    delegate->didFailNavigation({""});
    EXPECT_TRUE(showsError("โหลดหน้าไม่สำเร็จ", ""));
    delegate->reloadPage();
    EXPECT_FALSE(failed());
    EXPECT_EQ(requestsLoaded(), 2u);
    delegate->reloadPage();
    EXPECT_EQ(fake.log.count("webView.reload"), 3u);
    EXPECT_EQ(requestsLoaded(), 2u);
}

// A stopped load waits 0.25 s: a main-frame load begun after it replaced it.
// Each is judged on its own; one whose response became a download is no failure.
TEST_F(AppDelegateTest, StoppedLoadsAreJudgedEachOnItsOwn)
{
    // E error, S stopped, D became a download, L main-frame load began,
    // N a navigation allowed (a sub-frame's, say), t 0.1 s pass, T 0.3 s pass;
    // then whether the first failure's page shows.
    const std::pair<std::string, bool> cases[] = {
        {"E", true},    {"DT", false},   {"St", false},      {"ST", true},  {"StLT", false},
        {"LST", true},  {"SNT", true},   {"SttStLT", true},  {"SST", true},
    };
    using Cause = LoadFailure::Cause;
    const std::map<char, Cause> causes = {
        {'E', Cause::Error}, {'S', Cause::Stopped}, {'D', Cause::BecameDownload}};
    for (const auto& [events, shown] : cases) {
        Rig each;
        each.launchServer();
        each.serve();
        int failures = 0;
        for (const char e : events) {
            if (causes.count(e))
                each.delegate->didFailProvisionalNavigation(
                    {"f" + std::to_string(failures++), causes.at(e)});
            else if (e == 'L')
                each.delegate->didStartProvisionalNavigation();
            else if (e == 'N')
                each.delegate->decidePolicyForNavigationAction(
                    each.fake.urlParser.parse("http://127.0.0.1:8765/frame"));
            else
                each.fake.advance(e == 't' ? 0.1 : 0.3);
        }
        Strings expected = {std::string(loadingPage)};
        if (shown)
            expected.push_back(errorPage(connectTitle, "f0", each.fake.hint));
        EXPECT_EQ(each.pages(), expected) << events;
        EXPECT_EQ(each.failed(), shown) << events;
    }
}

// The switch counts when present, whatever its value.
TEST_F(AppDelegateTest, DebugMakesTheViewInspectableAndLogsFinishedServerPagesInOneWrite)
{
    const std::tuple<std::optional<std::string>, std::optional<std::string>, bool> cases[] = {
        {"", "http://127.0.0.1:8765/items?q=ก", true},
        {"0", "http://localhost:1/", true},
        {std::nullopt, "http://127.0.0.1:8765/", false},
        {"1", "about:blank", false},
        {"1", "file:///tmp/x.html", false},
        {"1", std::nullopt, false},
    };
    for (const auto& [debug, url, logged] : cases) {
        SCOPED_TRACE(url.value_or("no address"));
        Rig each;
        if (debug)
            each.fake.variables["QUORVA_DEBUG"] = *debug;
        each.launch();
        EXPECT_EQ(each.fake.log.count("createWebView 1280x840 persistent inspectable"),
                  debug ? 1u : 0u);
        if (url)
            each.fake.webView->current = each.fake.urlParser.parse(*url);
        each.delegate->didFinishNavigation();
        EXPECT_EQ(each.fake.standardError, logged ? "[QUORVA] loaded " + *url + "\n" : "");
    }
    // One line in one write, and a failed write is survived.
    fake.variables["QUORVA_DEBUG"] = "";
    Probe::debugLog(*delegate, "two\nlines ✓");
    EXPECT_EQ(fake.standardError, "[QUORVA] two\nlines ✓\n");
    EXPECT_EQ(fake.log.count("writeStandardError"), 1u);
    fake.writesFail = true;
    Probe::debugLog(*delegate, "lost");
    fake.variables.erase("QUORVA_DEBUG");
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
    EXPECT_EQ(fake.opened, (Strings{"https://example.com/", "http://127.0.0.1:9/x"}));
}

// A dead page process gets one page, never a loop; reload returns to the
// same server, which keeps running.
TEST_F(AppDelegateTest, DeadPageProcessShowsItsPageOnceAndReloadGoesBack)
{
    const std::string advice = " เลือก “โหลดใหม่” ในเมนู “มุมมอง” เพื่อเปิดหน้าอีกครั้ง";
    const std::pair<WebProcessTermination, std::string> cases[] = {
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
        EXPECT_TRUE(showsError("หน้าเว็บหยุดทำงาน", detail + advice)) << detail;
        EXPECT_TRUE(failed());
        const auto shown = pages().size();
        delegate->webContentProcessDidTerminate(reason);  // the error page's own process
        EXPECT_EQ(pages().size(), shown);
        const auto requests = requestsLoaded();
        delegate->reloadPage();
        EXPECT_EQ(requestsLoaded(), requests + 1);
        EXPECT_FALSE(failed());
    }
    // A server page that loads also ends the hold.
    delegate->webContentProcessDidTerminate(WebProcessTermination::Crashed);
    fake.webView->current = fake.urlParser.parse("http://127.0.0.1:8765/");
    delegate->didFinishNavigation();
    const auto shown = pages().size();
    delegate->webContentProcessDidTerminate(WebProcessTermination::Crashed);
    EXPECT_EQ(pages().size(), shown + 1);
    EXPECT_EQ(fake.log.count("launch "), 1u);
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
    const auto& scripts = fake.webView->scripts;
    ASSERT_EQ(scripts.size(), 13u);
    Strings last;
    for (const char* zoom : {"2.0", "2.0", "1.9", "1.0"})
        last.push_back(std::string("document.documentElement.style.zoom='") + zoom + "'");
    EXPECT_EQ(Strings(scripts.begin() + 9, scripts.end()), last);
}

TEST_F(AppDelegateTest, AnEndedDownloadIsANoticeNotAPage)
{
    fake.variables["QUORVA_DEBUG"] = "";
    launchServer();
    delegate->downloadDidEnd({"/tmp/x.csv", DownloadOutcome::Error::Connection, "gone"});
    EXPECT_EQ(fake.webView->notices.size(), 1u);
    EXPECT_EQ(pages().size(), 1u);
    EXPECT_EQ(fake.standardError, "") << "the diagnostic log carries page loads only";
}

// Every action once, each key on one item, every label in Thai, and the view's commands
// reach the delegate while the others travel the responder chain.
TEST_F(AppDelegateTest, MenuOffersEveryActionOnceOnKeysOfItsOwn)
{
    const MainMenu menu = buildMenu(delegate);
    const std::set<MenuAction> delegated = {MenuAction::ReloadPage, MenuAction::ZoomIn,
                                            MenuAction::ZoomOut,    MenuAction::ZoomReset,
                                            MenuAction::Print,      MenuAction::Find};
    std::set<MenuAction> actions;
    std::set<std::pair<std::string, unsigned>> keys;
    for (const Menu& each : menu.menus) {
        for (const MenuItem& item : each.items) {
            if (item.separator)
                continue;
            EXPECT_TRUE(actions.insert(item.action).second) << item.title;
            EXPECT_TRUE(item.keyEquivalent.empty() ||
                        keys.insert({item.keyEquivalent, item.modifierMask}).second)
                << item.title;
            EXPECT_NE(item.title.find("\xE0\xB8"), std::string::npos) << item.title;
            EXPECT_EQ(item.target.lock() == delegate, delegated.count(item.action) == 1)
                << item.title;
        }
    }
    EXPECT_EQ(actions.size(), static_cast<std::size_t>(MenuAction::Find) + 1);
    EXPECT_EQ(keys.count({"q", commandModifier}), 1u);
    EXPECT_EQ(menu.menus.at(menu.windowsMenu).title, "หน้าต่าง");
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
