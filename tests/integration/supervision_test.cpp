#include "app/app_delegate.h"
#include "app_delegate_probe.h"
#include "fake_platform.h"
#include "platform/posix/process_posix.h"
#include "platform/posix/system_posix.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <sys/wait.h>

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

    // Runs queued work until `done` holds; false if it did not within the time.
    bool runUntil(const std::function<bool()>& done, std::chrono::seconds timeout = 20s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            std::unique_lock lock(mutex);
            // Some conditions change on other threads without queueing work: look again often.
            if (!arrived.wait_for(lock, 10ms, [this] { return !queued.empty(); })) {
                if (std::chrono::steady_clock::now() >= deadline)
                    return done();
                continue;
            }
            auto work = std::move(queued.front());
            queued.pop_front();
            lock.unlock();
            work();
        }
        return true;
    }

private:
    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<std::function<void()>> queued;
};

// Delegates over the fake window system with real children, real time and a
// real file system; the server is the script the test writes.
class SupervisionTest : public ::testing::Test {
protected:
    // A delegate with a window of its own; a server still running at the end is killed.
    struct Round {
        explicit Round(SupervisionTest& test)
            : test(test),
              platform{view, test.queue, test.clock, view, view, test.fileSystem, test.launcher,
                       view, view.urlParser, view}
        {
            view.home = test.directory.string();
            view.variables = {{"QUORVA_CATALOG", (test.directory / "server.py").string()},
                              {"PATH", "/usr/bin:/bin"}};
            delegate->applicationDidFinishLaunching();
            if (!Probe::server(*delegate))
                throw std::runtime_error("no server: " + pages().back());
        }
        ~Round()
        {
            if (auto server = Probe::server(*delegate); server && server->isRunning()) {
                server->kill();
                test.queue.runUntil([&] { return !server->isRunning(); }, 10s);
            }
        }
        const std::vector<std::string>& pages() { return view.webView->htmlLoads; }
        bool addressLoaded() { return Probe::serverURL(*delegate).has_value(); }
        // The loading page, then one more.
        bool secondPage() { return test.queue.runUntil([&] { return pages().size() == 2; }); }
        Process& server() { return *Probe::server(*delegate); }

        SupervisionTest& test;
        testing::FakePlatform view;
        Platform platform;
        std::shared_ptr<AppDelegate> delegate = std::make_shared<AppDelegate>(platform);
    };

    void SetUp() override { std::filesystem::create_directories(directory); }
    void TearDown() override { std::filesystem::remove_all(directory); }

    void writeServer(const std::string& text) { std::ofstream(directory / "server.py") << text; }
    // The server waits for such a file in its working directory, so that what it
    // wrote reaches the main thread before what it does next.
    void goAhead() { std::ofstream(directory / "QUORVA" / "go").close(); }

    const std::filesystem::path directory =
        std::filesystem::temp_directory_path() /
        ("quorva-supervision-" + std::to_string(::getpid()) + "-" +
         ::testing::UnitTest::GetInstance()->current_test_info()->name());
    ThreadedMainQueue queue;
    SteadyClock clock;
    PosixProcessLauncher launcher;
    PosixFileSystem fileSystem{std::nullopt};
};

// Whatever ends the server, the page names its exit status (a signal's number) with the
// error tail. The server ends only once its address has been taken.
TEST_F(SupervisionTest, AServerThatDiesShowsItsStatusAndItsLastWords)
{
    for (int status : {4, SIGHUP, SIGINT, SIGQUIT, SIGABRT, SIGKILL, SIGSEGV, SIGPIPE, SIGTERM,
                       SIGUSR1, SIGALRM}) {
        const std::string number = std::to_string(status);
        SCOPED_TRACE("exit " + number);
        std::filesystem::remove(directory / "QUORVA" / "go");
        writeServer("import os, signal, time\n"
                    "os.write(1, b'http://127.0.0.1:8765/\\n')\n"
                    "os.write(2, b'Traceback (most recent call last):\\n  <boom>\\n')\n"
                    "while not os.path.exists('go'):\n    time.sleep(0.01)\n"
                    "if " + number + " == 4:\n    os._exit(4)\n"
                    "if " + number + " != signal.SIGKILL:\n"
                    "    signal.signal(" + number + ", signal.SIG_DFL)\n"
                    "os.kill(os.getpid(), " + number + ")\n");
        Round round(*this);
        ASSERT_TRUE(queue.runUntil([&] { return round.addressLoaded(); }));
        goAhead();
        ASSERT_TRUE(round.secondPage());
        EXPECT_EQ(round.pages().back(),
                  errorPage("เซิร์ฟเวอร์หยุดทำงาน (exit " + number + ")",
                            "Traceback (most recent call last):\n  <boom>"));
        EXPECT_FALSE(round.server().isRunning());
        EXPECT_EQ(waitpid(round.server().pid(), nullptr, WNOHANG), -1) << "no zombie";
    }
}

// The last words come in a chunk too large to be cut at once, so they wait to be cut.
TEST_F(SupervisionTest, FloodOfStandardErrorKeepsTheTailBounded)
{
    writeServer(R"(
import sys
block = ("x" * 1023 + "\n") * 1024
for _ in range(200):
    sys.stderr.write(block)
sys.stderr.write("y" * 100000 + "\nlast words: ข้อผิดพลาด\n")
)");
    Round round(*this);
    ASSERT_TRUE(queue.runUntil([&] { return !round.server().isRunning(); }, 120s));
    ASSERT_TRUE(round.secondPage());
    const std::string tail = Probe::stderrTail(*round.delegate);
    EXPECT_EQ(countCharacters(tail), stderrTailLimit);
    EXPECT_TRUE(tail.ends_with("last words: ข้อผิดพลาด\n"));
    // The page shows the cut tail, not the text still waiting to be cut.
    EXPECT_EQ(round.pages().back(),
              errorPage("เปิดเซิร์ฟเวอร์ในเครื่องไม่สำเร็จ", trimWhitespace(tail)));
}

}  // namespace
}  // namespace quorva
