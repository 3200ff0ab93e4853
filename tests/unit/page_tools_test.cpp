#include "app_delegate_probe.h"
#include "fake_platform.h"
#include "pages/page_tools.h"

#include <gtest/gtest.h>

#include <csignal>

namespace quorva {
namespace {

using testing::FakePlatform;
using Step = std::function<void(FakePlatform&, AppDelegate&)>;

struct Launched {
    Launched() { delegate->applicationDidFinishLaunching(); }
    std::size_t ends() { return fake.log.count("terminate"); }

    FakePlatform fake;
    std::shared_ptr<AppDelegate> delegate = std::make_shared<AppDelegate>(fake.platform);
};

Step wait(double seconds)
{
    return [seconds](FakePlatform& fake, AppDelegate&) { fake.advance(seconds); };
}

Step answer(bool leave)
{
    return [leave](FakePlatform& fake, AppDelegate&) {
        auto given = std::move(fake.window->answers.front());
        fake.window->answers.erase(fake.window->answers.begin());
        given(leave);
    };
}

const Step closes = [](FakePlatform&, AppDelegate& d) { d.webViewDidClose(); };
const Step asks = [](FakePlatform&, AppDelegate& d) { d.runBeforeUnloadConfirmPanel([](bool) {}); };
const Step askAgain = [](FakePlatform&, AppDelegate& d) { EXPECT_FALSE(d.windowShouldClose()); };

// Quit and the close button ask the page once. It agrees at once, asks the
// user, closes, or stays silent; a close before any question may be WebKit
// giving up on a slow page, so only the time ends it then, 2 s after asking.
// A page cannot close the window on its own.
TEST(Closing, ThePageAnswersOrItsTimeRunsOut)
{
    struct Row {
        const char* name;
        bool requested;
        bool atOnce;
        std::vector<Step> then;
        std::size_t ends;
    };
    const Row rows[] = {
        {"nothing to ask", true, true, {}, 0},
        {"stay, however long", true, false, {asks, answer(false), wait(10), closes}, 0},
        {"leave, the page closes", true, false, {asks, answer(true), closes}, 1},
        {"leave, the page says no more", true, false, {asks, answer(true), wait(2)}, 1},
        {"silent page, not yet", true, false, {wait(1.9)}, 0},
        {"silent page, time is up", true, false, {wait(1.9), askAgain, wait(0.1)}, 1},
        {"a close before the question", true, false, {closes, asks, answer(false), wait(5)}, 0},
        {"a close and nothing more", true, false, {closes, wait(2)}, 1},
        {"the question stops the clock", true, false, {asks, wait(10), askAgain}, 0},
        {"a page closing unasked", false, false, {closes, wait(10)}, 0},
    };
    for (const Row& row : rows) {
        Launched each;
        each.fake.webView->closesAtOnce = row.atOnce;
        EXPECT_EQ(row.requested && each.delegate->applicationShouldTerminate(), row.atOnce)
            << row.name;
        for (const Step& step : row.then)
            step(each.fake, *each.delegate);
        EXPECT_EQ(each.ends(), row.ends) << row.name;
        EXPECT_EQ(each.fake.log.count("webView.tryClose"), row.requested ? 1u : 0u) << row.name;
        EXPECT_TRUE(!(row.ends || row.atOnce) || each.delegate->windowShouldClose()) << row.name;
    }
    // A signal never asks, even with a question on screen.
    Launched asking;
    asking.delegate->windowShouldClose();
    asks(asking.fake, *asking.delegate);
    asking.fake.deliver(SIGTERM);
    EXPECT_EQ(asking.fake.exits, std::vector<int>{0});
    EXPECT_EQ(asking.fake.log.matching("window.ask"),
              std::vector<std::string>{"window.ask ออกจากหน้านี้หรือไม่"});
    EXPECT_EQ(asking.ends(), 0u);
}

TEST(PageTools, FindPrintAndPermissions)
{
    EXPECT_EQ(findStatus(3, 12), "3 จาก 12");
    EXPECT_EQ(findStatus(1, 1204), "1 จาก 1,204");
    EXPECT_EQ(findStatus(0, 0), "ไม่พบข้อความนี้ในหน้า");
    const std::string thai = "รายการสินค้า · แคตตาล็อกสินค้า";
    std::string marks;
    for (int i = 0; i < 40; ++i)
        marks += "ก้";  // six bytes, one character
    for (const auto& [title, name] : std::vector<std::pair<std::string, std::string>>{
             {thai, thai}, {"a/b\n c ", "a b  c"}, {" ..", "QUORVA"}, {".x", "x"},
             {marks, marks.substr(0, 198)}})
        EXPECT_EQ(printFileName(title), name) << title;

    Launched launched;
    launched.fake.webView->pageTitle = thai;
    launched.delegate->printPage();
    launched.delegate->findInPage();
    launched.delegate->printDidFail("no paper");
    EXPECT_EQ(launched.fake.log.matching("webView.print"),
              std::vector<std::string>{"webView.print " + thai});
    EXPECT_EQ(launched.fake.log.count("webView.showFindBar"), 1u);
    EXPECT_EQ(launched.fake.webView->notices.back().text, "พิมพ์หน้านี้ไม่สำเร็จ: no paper");
    for (auto kind : {PermissionKind::Geolocation, PermissionKind::Notifications,
                      PermissionKind::Camera, PermissionKind::Microphone,
                      PermissionKind::ClipboardRead, PermissionKind::Other})
        EXPECT_EQ(launched.delegate->decidePolicyForPermissionRequest(kind),
                  PermissionPolicy::Deny);
}

}  // namespace
}  // namespace quorva
