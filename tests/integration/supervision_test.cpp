#include "app/app_delegate.h"
#include "app_delegate_probe.h"
#include "fake_platform.h"
#include "platform/posix/process_posix.h"
#include "platform/posix/system_posix.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace quorva {
namespace {

using Probe = AppDelegateProbe;
using namespace std::chrono_literals;

// The main queue as the real one behaves: fed from any thread, drained by
// the test's thread, which stands in for the main loop.
class ThreadedMainQueue final : public MainQueue {
public:
    void async(std::function<void()> work) override
    {
        std::lock_guard lock(mutex);
        queued.push_back(std::move(work));
        arrived.notify_all();
    }
    void asyncAfter(double, std::function<void()>) override {}

    // Runs queued work until `done` holds; false if no work came within the time.
    bool runUntil(const std::function<bool()>& done, std::chrono::seconds timeout)
    {
        std::unique_lock lock(mutex);
        while (!done()) {
            if (!arrived.wait_for(lock, timeout, [this] { return !queued.empty(); }))
                return false;
            auto work = std::move(queued.front());
            queued.pop_front();
            lock.unlock();
            work();
            lock.lock();
        }
        return true;
    }

private:
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<std::function<void()>> queued;
};

// A delegate over the fake window system with a real child, real time and a real file
// system; the server is the script the test writes. A server still running at the end is killed.
class SupervisionTest : public ::testing::Test {
protected:
    SupervisionTest()
    {
        std::filesystem::create_directories(directory);
        view.home = directory.string();
        view.variables = {{"QUORVA_CATALOG", (directory / "server.py").string()},
                          {"PATH", "/usr/bin:/bin"}};
    }
    ~SupervisionTest() override
    {
        if (auto server = Probe::server(*delegate); server && server->isRunning()) {
            server->kill();
            queue.runUntil([&] { return !server->isRunning(); }, 10s);
        }
        std::filesystem::remove_all(directory);
    }

    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() /
        ("quorva-supervision-" + std::to_string(::getpid()));
    ThreadedMainQueue queue;
    SteadyClock clock;
    PosixProcessLauncher launcher;
    PosixFileSystem fileSystem{std::nullopt};
    testing::FakePlatform view;
    Platform platform{view, queue, clock, view, view, fileSystem, launcher, view, view.urlParser,
                      view};
    std::shared_ptr<AppDelegate> delegate = std::make_shared<AppDelegate>(platform);
};

// The last words come after a flood too large to be cut at once, so they wait to be cut. The
// page names the signal that ended the server, with the cut tail, not the text still waiting.
TEST_F(SupervisionTest, AServerThatDiesAfterAFloodShowsItsStatusAndItsLastWordsBounded)
{
    std::ofstream(directory / "server.py") << R"(
import os, sys
print("http://127.0.0.1:8765/", flush=True)
block = ("x" * 1023 + "\n") * 1024
for _ in range(200):
    sys.stderr.write(block)
sys.stderr.write("y" * 100000 + "\nlast words: ข้อผิดพลาด\n")
sys.stderr.flush()
os.kill(os.getpid(), 9)
)";
    delegate->applicationDidFinishLaunching();
    const auto server = Probe::server(*delegate);
    const auto& pages = view.webView->htmlLoads;
    ASSERT_TRUE(server) << pages.back();
    ASSERT_TRUE(queue.runUntil([&] { return pages.size() == 2; }, 120s));
    const std::string tail = Probe::stderrTail(*delegate);
    EXPECT_EQ(countCharacters(tail), stderrTailLimit);
    EXPECT_TRUE(tail.ends_with("last words: ข้อผิดพลาด\n"));
    EXPECT_EQ(pages.back(), errorPage("เซิร์ฟเวอร์หยุดทำงาน (exit 9)", trimWhitespace(tail)));
}

}  // namespace
}  // namespace quorva
