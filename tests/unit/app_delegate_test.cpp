#include "app/menu.h"
#include "app_delegate_probe.h"
#include "fake_platform.h"
#include "pages/zoom.h"

#include <gtest/gtest.h>

#include <csignal>
#include <set>

namespace quorva {
namespace {

using Probe = AppDelegateProbe;
using Strings = std::vector<std::string>;
using Path = std::optional<std::string>;
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
    std::size_t requestsLoaded() { return fake.log.count("webView.load"); }
    bool failed() { return Probe::launchFailed(*delegate); }

    FakePlatform fake;
    std::shared_ptr<AppDelegate> delegate = std::make_shared<AppDelegate>(fake.platform);
};

class AppDelegateTest : public ::testing::Test, protected Rig {};

// The bundled script wins; else QUORVA_CATALOG as written, when it names a readable file.
// The interpreter needs both the executable and its locator's consent. Construction starts
// nothing; the launch shows the loading page and starts the server as the environment says.
TEST_F(AppDelegateTest, LaunchFindsTheScriptAndInterpreterAndStartsTheServerFromTheEnvironment)
{
    const Path resources = "/opt/quorva/share/quorva";
    // Resource directory, readable files, QUORVA_CATALOG, the script found.
    const std::tuple<Path, std::set<std::string>, Path, Path> scripts[] = {
        {resources, {bundledScript, "/other/catalog.py"}, "/other/catalog.py", bundledScript},
        {resources, {"rel/catalog.py"}, "rel/catalog.py", "rel/catalog.py"},
        {std::nullopt, {"/x/catalog.py"}, "/x/catalog.py", "/x/catalog.py"},
        {resources, {}, "/x/catalog.py", std::nullopt},
        {resources, {}, "", std::nullopt},
        {resources, {}, std::nullopt, std::nullopt},
    };
    for (const auto& [directory, readable, configured, expected] : scripts) {
        Rig each;
        each.fake.resources = directory;
        each.fake.readable = readable;
        if (configured)
            each.fake.variables["QUORVA_CATALOG"] = *configured;
        EXPECT_EQ(Probe::catalogPath(*each.delegate), expected) << configured.value_or("-");
    }
    // Executable, the locator's status (none: cannot start), the interpreter, locator runs.
    const std::tuple<bool, std::optional<int>, Path, std::size_t> interpreters[] = {
        {false, 0, std::nullopt, 0}, {true, 0, "/usr/bin/python3", 1}, {true, 2, std::nullopt, 1},
        {true, std::nullopt, std::nullopt, 1}};
    const std::string serve = " -u " + bundledScript + " --db shop.db serve --no-browser" +
                              " --exit-with-parent --port  @/srv/shop";
    for (const auto& [executable, locator, expected, runs] : interpreters) {
        SCOPED_TRACE(locator.value_or(-1));
        Rig each;
        if (executable)
            each.fake.executable.insert("/usr/bin/python3");
        if (locator)
            each.fake.completionStatus["/usr/bin/xcode-select"] = *locator;
        each.fake.variables = {{"QUORVA_HOME", "/srv/shop"}, {"QUORVA_DB", "shop.db"}};
        each.fake.variables["QUORVA_PORT"] = "";
        EXPECT_EQ(each.fake.log.all, Strings{});
        each.launchServer();
        EXPECT_EQ(each.pages(), Strings{std::string(loadingPage)});
        EXPECT_EQ(each.fake.log.count("runToCompletion /usr/bin/xcode-select"), runs);
        EXPECT_EQ(each.fake.log.matching("createDirectories"),
                  Strings{"createDirectories /srv/shop"});
        EXPECT_EQ(each.fake.log.matching("launch"),
                  Strings{"launch " + expected.value_or("/usr/bin/env python3") + serve});
    }
}

// A directory that cannot be made is no failure of its own: the launch still decides.
TEST_F(AppDelegateTest, LaunchFailuresShowTheirPageAndStartNoServerNorWatchdog)
{
    const std::string refusal = "Failed to launch /usr/bin/env: No such file <dir>";
    for (const bool script : {false, true}) {
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
        each.fake.advance(30);
        EXPECT_EQ(std::tuple(each.failed(), !Probe::server(*each.delegate), each.pages().size()),
                  std::tuple(true, true, 2u))
            << script;
    }
}

// Each output chunk is taken only whole and valid, each searched on its own; standard error
// goes to the tail, never to the address search. The first address wins, and its load
// belongs to the main thread.
TEST_F(AppDelegateTest, OnlyWholeValidChunksCountAndTheFirstAddressIsLoadedOnce)
{
    launchServer();
    for (const std::string chunk :
         {"starting\n", "http://127.0.0.1:\xE0\xB8", "\xFF http://127.0.0.1:1/",
          "http://127.0.0.1:abc/", "http://127.0.0.1:1/\u0600\u00A0x\n", "http://127.0.0.1:/",
          "https://127.0.0.1:8765/", ""})
        standardOutput(chunk);
    // A Thai letter cut in two loses both halves.
    for (const std::string chunk :
         {"line one\r\n", "\xE0\xB8", "\x81\n", "bad \xFF byte", "", "http://127.0.0.1:1/\n"})
        standardError(chunk);
    fake.runPending();
    EXPECT_EQ(requestsLoaded(), 0u);
    EXPECT_EQ(Probe::stderrTail(*delegate), "line one\r\nhttp://127.0.0.1:1/\n");
    for (const std::string chunk :
         {"ready at http://127.0.0.1:87", "65/\n", "http://127.0.0.1:9000/\n"})
        standardOutput(chunk);
    EXPECT_EQ(requestsLoaded(), 0u);
    fake.runPending();
    EXPECT_EQ(fake.log.matching("webView.load"), Strings{"webView.load http://127.0.0.1:87"});
    serve();
    EXPECT_EQ(requestsLoaded(), 1u);
}

// After 25 s without an address the trimmed tail shows; an exit shows the status once the
// address came, and the main thread shows it. Once its page stands, the watchdog changes
// nothing, and a late address still replaces the timeout page.
TEST_F(AppDelegateTest, TheWatchdogOrTheExitShowsTheTrimmedTail)
{
    const std::string early = "เปิดเซิร์ฟเวอร์ในเครื่องไม่สำเร็จ";
    const std::string timeout = "เซิร์ฟเวอร์ไม่ตอบสนองภายใน 25 วินาที";
    // Address before, exit status (none: stays), seconds before it, the page's title.
    const std::tuple<bool, std::optional<int>, double, Path> cases[] = {
        {false, 0, 5, early},
        {true, 1, 60, "เซิร์ฟเวอร์หยุดทำงาน (exit 1)"},
        {true, -3, 60, "เซิร์ฟเวอร์หยุดทำงาน (exit -3)"},
        {false, 2, 40, early},
        {false, std::nullopt, 24.9, std::nullopt},
        {false, std::nullopt, 25.1, timeout},
        {true, std::nullopt, 30, std::nullopt},
    };
    for (const auto& [addressFirst, status, seconds, title] : cases) {
        SCOPED_TRACE(title.value_or("no page") + " at " + std::to_string(seconds));
        Rig each;
        each.launchServer();
        each.standardError("  \n Traceback: <boom> & more\n\n");
        if (addressFirst)
            each.standardOutput("http://127.0.0.1:8765/\n");
        each.fake.advance(seconds);
        if (status) {
            const auto before = each.pages().size();
            each.fake.process->exitWith(*status);
            EXPECT_EQ(each.pages().size(), before) << "before the main thread";
        } else {
            each.serve();
            EXPECT_EQ(each.requestsLoaded(), 1u);
        }
        each.fake.advance(30);
        EXPECT_EQ(each.failed(), title.has_value());
        EXPECT_TRUE(title ? each.showsError(*title, "Traceback: <boom> & more")
                          : each.pages().size() == 1);
    }
}

// Waited on the manual clock: a prompt exit ends the wait within one poll, and a server
// that ignores the request is killed after the grace. An exit so expected shows no page;
// a server already gone, or never started, is left alone.
TEST_F(AppDelegateTest, StopServerWaitsForTheExitOrKillsAfterTheGrace)
{
    launch();
    delegate->applicationWillTerminate();
    EXPECT_FALSE(Probe::quitting(*delegate));
    Rig exited;
    exited.launchServer();
    exited.fake.process->exitWith(1);
    exited.delegate->applicationWillTerminate();
    EXPECT_EQ(exited.fake.log.count("server."), 0u);

    for (const bool prompt : {true, false}) {
        SCOPED_TRACE(prompt ? "prompt exit" : "ignores terminate");
        Rig each;
        each.launchServer();
        each.fake.process->exitsAfterTerminate = prompt ? std::optional(0.12) : std::nullopt;
        const double start = each.fake.now();
        each.delegate->applicationWillTerminate();
        // Within one poll of the exit, or of the grace's end.
        EXPECT_NEAR(each.fake.now() - start, (prompt ? 0.12 : 3.0) + 0.025, 0.025 + 1e-9);
        EXPECT_TRUE(Probe::quitting(*each.delegate));
        EXPECT_EQ(each.fake.log.matching("server."),
                  (prompt ? Strings{"server.terminate"}
                          : Strings{"server.terminate", "server.kill"}));
        each.fake.process->exitWith(prompt ? SIGTERM : SIGKILL);
        each.fake.runPending();
        EXPECT_EQ(each.pages().size(), 1u);
    }
}

// A signal never asks, even with a question on screen. Only a signal still counts once the
// delegate is gone: it exits.
TEST_F(AppDelegateTest, SignalStopsTheServerAndExitsZeroAndNothingElseOutlivesTheDelegate)
{
    for (int signalNumber : {SIGTERM, SIGINT}) {
        Rig each;
        each.launchServer();
        each.delegate->windowShouldClose();
        each.delegate->runBeforeUnloadConfirmPanel([](bool) {});
        each.fake.deliver(signalNumber);
        EXPECT_EQ(std::tuple(each.fake.log.count("server.terminate"), each.fake.exits,
                             each.fake.window->answers.size(), each.fake.terminations),
                  std::tuple(1u, std::vector<int>{0}, 1u, 0));
    }
    launchServer();
    auto process = fake.process;
    process->request.onStandardOutput("http://127.0.0.1:8765/\n");
    const std::weak_ptr<AppDelegate> gone = delegate;
    delegate.reset();
    EXPECT_TRUE(gone.expired());
    process->request.onStandardError("late\n");
    process->exitWith(1);
    fake.advance(30);
    EXPECT_EQ(requestsLoaded(), 0u);
    fake.deliver(SIGTERM);
    EXPECT_EQ(fake.exits, std::vector<int>{0});
}

// Failed loads show their page only once an address is known, and a dead page process gets
// one page, never a loop, each cause its own. Reload goes back to the server's address once,
// after an error page, to the same server, which keeps running, and so does a server page
// that loads.
TEST_F(AppDelegateTest, FailedLoadsAndDeadPageProcessesShowTheirPageOnceAndReloadGoesBack)
{
    launchServer();
    delegate->didFailProvisionalNavigation({"Could not connect"});
    EXPECT_EQ(pages().size(), 1u);
    fake.advance(26);
    delegate->reloadPage();  // no address yet: plain reload, flag kept
    EXPECT_EQ(std::tuple(fake.log.count("webView.reload"), failed()), std::tuple(1u, true));

    serve();
    delegate->didFailProvisionalNavigation({"Could not connect: <refused> & gone"});
    EXPECT_TRUE(showsError(connectTitle, "Could not connect: <refused> & gone"));
    delegate->didFailNavigation({""});
    EXPECT_TRUE(showsError("โหลดหน้าไม่สำเร็จ", ""));
    delegate->reloadPage();
    EXPECT_FALSE(failed());
    delegate->reloadPage();
    EXPECT_EQ(std::tuple(fake.log.count("webView.reload"), requestsLoaded()), std::tuple(2u, 2u));

    const auto before = pages().size();
    std::set<std::string> shownPages;
    for (const auto reason :
         {WebProcessTermination::Crashed, WebProcessTermination::ExceededMemoryLimit,
          WebProcessTermination::TerminatedByApi, WebProcessTermination::NetworkProcessLost}) {
        delegate->webContentProcessDidTerminate(reason);
        EXPECT_TRUE(failed());
        shownPages.insert(pages().back());
        delegate->webContentProcessDidTerminate(reason);  // the error page's own process
        const auto requests = requestsLoaded();
        delegate->reloadPage();
        EXPECT_EQ(std::tuple(requestsLoaded(), failed()), std::tuple(requests + 1, false));
    }
    EXPECT_EQ(std::tuple(shownPages.size(), pages().size()), std::tuple(4u, before + 4));
    delegate->webContentProcessDidTerminate(WebProcessTermination::Crashed);
    fake.webView->current = fake.urlParser.parse("http://127.0.0.1:8765/");
    delegate->didFinishNavigation();
    delegate->webContentProcessDidTerminate(WebProcessTermination::Crashed);
    EXPECT_EQ(pages().size(), before + 6);
    EXPECT_EQ(fake.log.count("launch ") + fake.log.count("server."), 1u);
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
    for (const auto& [events, shown] : cases) {
        Rig each;
        each.launchServer();
        each.serve();
        int failures = 0;
        for (const char e : events) {
            if (e == 'L')
                each.delegate->didStartProvisionalNavigation();
            else if (e == 'N')
                each.delegate->decidePolicyForNavigationAction(
                    each.fake.urlParser.parse("http://127.0.0.1:8765/frame"));
            else if (e == 't' || e == 'T')
                each.fake.advance(e == 't' ? 0.1 : 0.3);
            else
                each.delegate->didFailProvisionalNavigation(
                    {"f" + std::to_string(failures++),
                     e == 'E' ? Cause::Error : e == 'S' ? Cause::Stopped : Cause::BecameDownload});
        }
        Strings expected = {std::string(loadingPage)};
        if (shown)
            expected.push_back(errorPage(connectTitle, "f0", each.fake.hint));
        EXPECT_EQ(each.pages(), expected) << events;
        EXPECT_EQ(each.failed(), shown) << events;
    }
}

// The switch counts when present, whatever its value. A line goes out in one write.
TEST_F(AppDelegateTest, DebugMakesTheViewInspectableAndLogsFinishedServerPagesInOneWrite)
{
    const std::tuple<Path, Path, bool> cases[] = {
        {"", "http://127.0.0.1:8765/items?q=ก", true},
        {"0", "http://localhost:1/", true},
        {std::nullopt, "http://127.0.0.1:8765/", false},
        {"1", "file:///tmp/x.html", false},
        {"1", std::nullopt, false},
    };
    for (const auto& [debug, url, logged] : cases) {
        Rig each;
        if (debug)
            each.fake.variables["QUORVA_DEBUG"] = *debug;
        each.launch();
        EXPECT_EQ(each.fake.webViewConfiguration.inspectable, debug.has_value());
        if (url)
            each.fake.webView->current = each.fake.urlParser.parse(*url);
        each.delegate->didFinishNavigation();
        EXPECT_EQ(each.fake.standardError, logged ? "[QUORVA] loaded " + *url + "\n" : "");
        EXPECT_EQ(each.fake.standardErrorWrites, logged ? 1 : 0);
    }
}

// Zoom runs the script on every command, bounds or not; the rest is noticed or handed to
// the view, every permission is denied, and what may not stay is handed over exactly.
TEST_F(AppDelegateTest, PageCommands)
{
    launchServer();
    for (int i = 0; i < 11; ++i)
        delegate->zoomIn();
    delegate->zoomOut();
    delegate->zoomReset();
    const Strings& scripts = fake.webView->scripts;
    ASSERT_EQ(scripts.size(), 13u);
    EXPECT_EQ(Strings(scripts.begin() + 9, scripts.end()),
              (Strings{zoomScript(2.0), zoomScript(2.0), zoomScript(1.9), zoomScript(1.0)}));

    fake.variables["QUORVA_DEBUG"] = "";  // the diagnostic log carries page loads only
    delegate->downloadDidEnd({"/tmp/x.csv", DownloadOutcome::Error::Connection, "gone"});
    EXPECT_EQ(std::tuple(fake.webView->notices.size(), pages().size(), fake.standardError),
              std::tuple(1u, 1u, ""));
    fake.webView->pageTitle = "a/b";
    delegate->printPage();
    delegate->findInPage();
    delegate->printDidFail("no paper");
    EXPECT_EQ(fake.log.matching("webView.print"), Strings{"webView.print a b"});
    EXPECT_EQ(fake.log.count("webView.showFindBar"), 1u);
    EXPECT_EQ(fake.webView->notices.back().text, "พิมพ์หน้านี้ไม่สำเร็จ: no paper");
    // A page's own question is the window's, in Thai, and its answer goes back.
    std::vector<bool> confirmed;
    delegate->runConfirmPanel("พิมพ์ทั้งหมด?", [&](bool yes) { confirmed.push_back(yes); });
    std::exchange(fake.window->answers, {}).front()(true);
    EXPECT_EQ(std::tuple(fake.window->asked, confirmed),
              std::tuple(Strings{"ยืนยัน: พิมพ์ทั้งหมด?"}, std::vector<bool>{true}));
    for (int kind = 0; kind <= static_cast<int>(PermissionKind::Other); ++kind)
        EXPECT_EQ(delegate->decidePolicyForPermissionRequest(static_cast<PermissionKind>(kind)),
                  PermissionPolicy::Deny);
    const auto local = fake.urlParser.parse("http://127.0.0.1:9/x");
    EXPECT_EQ(delegate->decidePolicyForNavigationAction(local), NavigationPolicy::Allow);
    EXPECT_EQ(delegate->decidePolicyForNavigationAction(std::nullopt), NavigationPolicy::Allow);
    EXPECT_EQ(delegate->decidePolicyForNavigationAction(fake.urlParser.parse("https://a.example/")),
              NavigationPolicy::Cancel);
    delegate->createWebViewForNavigationAction(local);
    delegate->createWebViewForNavigationAction(std::nullopt);
    EXPECT_EQ(fake.log.matching("openURL"),
              (Strings{"openURL https://a.example/", "openURL http://127.0.0.1:9/x"}));
}


// Quit and the close button ask the page once. It agrees at once, asks the
// user, closes, or stays silent; a close before any question may be WebKit
// giving up on a slow page, so only the time ends it then, 2 s after asking.
// A page cannot close the window on its own.
TEST_F(AppDelegateTest, ClosingWaitsForThePageOrItsTime)
{
    // After quit is asked for (or not) and the page answers at once (or not): a the page asks,
    // y and n the user's answer, c the page closes, ? the window asks again (and is refused),
    // s 0.1 s, w 1.9 s, W 2 s, L 10 s pass; then how often the shell ended.
    const std::tuple<std::string, bool, bool, int> rows[] = {
        {"", true, true, 0},      {"anLc", true, false, 0}, {"ayc", true, false, 1},
        {"ayW", true, false, 1},  {"w", true, false, 0},    {"w?s", true, false, 1},
        {"canL", true, false, 0},  {"cW", true, false, 1},  {"aL?", true, false, 0},
        {"cL", false, false, 0},
    };
    for (const auto& [steps, requested, atOnce, ends] : rows) {
        Rig each;
        each.launch();
        each.fake.webView->closesAtOnce = atOnce;
        EXPECT_EQ(requested && each.delegate->applicationShouldTerminate(), atOnce) << steps;
        const std::map<char, double> waits = {{'s', 0.1}, {'w', 1.9}, {'W', 2}, {'L', 10}};
        for (const char step : steps) {
            if (step == 'a')
                each.delegate->runBeforeUnloadConfirmPanel([](bool) {});
            else if (step == 'y' || step == 'n')
                std::exchange(each.fake.window->answers, {}).front()(step == 'y');
            else if (step == 'c')
                each.delegate->webViewDidClose();
            else if (step == '?')
                EXPECT_FALSE(each.delegate->windowShouldClose()) << steps;
            else
                each.fake.advance(waits.at(step));
        }
        EXPECT_EQ(each.fake.terminations, ends) << steps;
        EXPECT_EQ(each.fake.log.count("webView.tryClose"), requested ? 1u : 0u) << steps;
        EXPECT_TRUE(!(ends || atOnce) || each.delegate->windowShouldClose()) << steps;
    }
}

// Every action once, each key on one item, and the view's commands reach the delegate
// while the others travel the responder chain.
TEST_F(AppDelegateTest, MenuOffersEveryActionOnceOnKeysOfItsOwn)
{
    const std::set<MenuAction> delegated = {MenuAction::ReloadPage, MenuAction::ZoomIn,
                                            MenuAction::ZoomOut,    MenuAction::ZoomReset,
                                            MenuAction::Print,      MenuAction::Find};
    std::set<MenuAction> actions;
    std::set<std::pair<std::string, unsigned>> keys;
    for (const Menu& each : buildMenu(delegate).menus) {
        for (const MenuItem& item : each.items) {
            if (item.separator)
                continue;
            EXPECT_TRUE(actions.insert(item.action).second) << item.title;
            EXPECT_TRUE(item.keyEquivalent.empty() ||
                        keys.insert({item.keyEquivalent, item.modifierMask}).second)
                << item.title;
            EXPECT_EQ(item.target.lock() == delegate, delegated.count(item.action) == 1)
                << item.title;
        }
    }
    EXPECT_EQ(actions.size(), static_cast<std::size_t>(MenuAction::Find) + 1);
    EXPECT_EQ(keys.count({"q", commandModifier}), 1u);
}

}  // namespace
}  // namespace quorva
