#include "app/app_delegate.h"
#include "app_delegate_probe.h"
#include "fake_platform.h"
#include "output/error_tail.h"
#include "pages/status_pages.h"
#include "platform/posix/process_posix.h"
#include "platform/posix/system_posix.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sys/wait.h>

namespace quorva {
namespace {

using Probe = AppDelegateProbe;

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
    bool runUntil(const std::function<bool()>& done, std::chrono::seconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            std::unique_lock lock(mutex);
            // Some conditions change on other threads without queueing work: look again often.
            if (!arrived.wait_for(lock, std::chrono::milliseconds(10),
                                  [this] { return !queued.empty(); })) {
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

// The delegate over the fake window system with real children, real time
// and a real file system.
class SupervisionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        directory = std::filesystem::temp_directory_path() /
                    ("quorva-supervision-" + std::to_string(::getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(directory);
        fake.environment.home = directory.string();
        fake.environment.variables["QUORVA_CATALOG"] = (directory / "server.py").string();
        fake.environment.variables["PATH"] = "/usr/bin:/bin";
    }
    void TearDown() override
    {
        if (auto server = Probe::server(*delegate); server && server->isRunning()) {
            server->kill();
            queue.runUntil([&] { return !server->isRunning(); }, std::chrono::seconds(10));
        }
        std::filesystem::remove_all(directory);
    }

    void writeServer(const std::string& source) { std::ofstream(directory / "server.py") << source; }
    void launch(const std::string& source)
    {
        writeServer(source);
        delegate->applicationDidFinishLaunching();
        ASSERT_TRUE(Probe::server(*delegate)) << fake.windowSystem.webView->htmlLoads.back();
    }

    bool waitFor(const std::function<bool()>& condition, int seconds = 20)
    {
        return queue.runUntil(condition, std::chrono::seconds(seconds));
    }

    bool addressLoaded() { return Probe::serverURL(*delegate).has_value(); }
    // The loading page, then one more.
    bool secondPage(testing::FakePlatform& view)
    {
        return waitFor([&] { return view.log.count("webView.loadHtml") == 2; });
    }

    // A delegate of its own over the real children and clock, with a window of its own.
    struct Round {
        explicit Round(SupervisionTest& test)
            : platform{view.windowSystem, test.queue,       test.clock,
                       view.workspace,    test.fake.environment, test.fileSystem,
                       test.launcher,     view.signalSources, view.urlParser,
                       view.thisProcess}
        {
            delegate->applicationDidFinishLaunching();
        }
        const std::string& shown() { return view.windowSystem.webView->htmlLoads.back(); }
        testing::FakePlatform view;
        Platform platform;
        std::shared_ptr<AppDelegate> delegate = std::make_shared<AppDelegate>(platform);
    };

    // The server waits for this file in its working directory before it ends, so
    // its address reaches the main thread before its exit does.
    std::filesystem::path goFile() { return directory / "QUORVA" / "go"; }
    void goAhead() { std::ofstream(goFile()).close(); }

    double secondsToStop()
    {
        const auto start = std::chrono::steady_clock::now();
        delegate->applicationWillTerminate();
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }

    std::filesystem::path directory;
    testing::FakePlatform fake;
    ThreadedMainQueue queue;
    SteadyClock clock;
    PosixProcessLauncher launcher;
    PosixFileSystem fileSystem{std::nullopt};
    Platform platform{fake.windowSystem, queue,     clock,          fake.workspace, fake.environment,
                      fileSystem,        launcher,  fake.signalSources, fake.urlParser,
                      fake.thisProcess};
    std::shared_ptr<AppDelegate> delegate = std::make_shared<AppDelegate>(platform);
};

const char* const addressThenWait = R"(
import time
print("Serving on http://127.0.0.1:8765/", flush=True)
while True:
    time.sleep(1)
)";

TEST_F(SupervisionTest, StopReturnsSoonAfterAPromptExit)
{
    launch(addressThenWait);
    ASSERT_TRUE(waitFor([&] { return addressLoaded(); }));
    const double seconds = secondsToStop();
    // How soon is bench/'s to measure; here only that the grace was not waited out.
    EXPECT_LT(seconds, 3.0) << "a server that ends on SIGTERM must not wait out the grace";
    EXPECT_TRUE(Probe::quitting(*delegate));
    RecordProperty("stopSeconds", std::to_string(seconds));
    ASSERT_TRUE(waitFor([&] { return !Probe::server(*delegate)->isRunning(); }));
    EXPECT_EQ(Probe::server(*delegate)->terminationStatus(), SIGTERM);
    queue.runUntil([] { return false; }, std::chrono::seconds(0));
    EXPECT_EQ(fake.windowSystem.webView->htmlLoads.size(), 1u) << "an expected exit shows no page";
}

TEST_F(SupervisionTest, ServerIgnoringTerminateIsKilledAfterTheGrace)
{
    launch(R"(
import signal, time
signal.signal(signal.SIGTERM, signal.SIG_IGN)
print("http://127.0.0.1:8765/", flush=True)
while True:
    time.sleep(1)
)");
    ASSERT_TRUE(waitFor([&] { return addressLoaded(); }));
    const double seconds = secondsToStop();
    EXPECT_GE(seconds, 3.0) << "the grace is waited out before the kill";
    ASSERT_TRUE(waitFor([&] { return !Probe::server(*delegate)->isRunning(); }));
    EXPECT_EQ(Probe::server(*delegate)->terminationStatus(), SIGKILL);
}

// A server that writes its last words and its address and dies at once: the
// words and the address still come before the exit.
TEST_F(SupervisionTest, LastOutputArrivesBeforeTheExit)
{
    writeServer("import os\n"
                "os.write(1, b'http://127.0.0.1:8765/\\n')\n"
                "os.write(2, b'Traceback: <last words>\\n')\n"
                "os._exit(3)\n");
    for (int run = 0; run < 5; ++run) {
        Round each(*this);
        ASSERT_TRUE(secondPage(each.view));
        EXPECT_EQ(each.shown(),
                  errorPage("เซิร์ฟเวอร์หยุดทำงาน (exit 3)", "Traceback: <last words>"))
            << "run " << run;
    }
}

// The exit status shown is the signal's number, whichever signal it was, and the error
// tail written before the address is shown with it.
TEST_F(SupervisionTest, ServerKilledByAnySignalShowsItsNumberAndTheErrorTail)
{
    for (int signalNumber : {SIGHUP, SIGINT, SIGQUIT, SIGABRT, SIGKILL, SIGSEGV, SIGPIPE, SIGTERM,
                             SIGUSR1, SIGALRM}) {
        SCOPED_TRACE("signal " + std::to_string(signalNumber));
        std::filesystem::remove(goFile());
        const std::string number = std::to_string(signalNumber);
        writeServer("import os, signal, sys, time\n"
                    "sys.stderr.write('Traceback (most recent call last):\\n  <boom>\\n')\n"
                    "sys.stderr.flush()\n"
                    "print('http://127.0.0.1:8765/', flush=True)\n"
                    "while not os.path.exists('go'):\n"
                    "    time.sleep(0.01)\n"
                    "if " + number + " != signal.SIGKILL:\n"
                    "    signal.signal(" + number + ", signal.SIG_DFL)\n"
                    "os.kill(os.getpid(), " + number + ")\n");
        Round each(*this);
        ASSERT_TRUE(waitFor([&] { return Probe::serverURL(*each.delegate).has_value(); }));
        goAhead();
        ASSERT_TRUE(secondPage(each.view));
        EXPECT_EQ(each.shown(), errorPage("เซิร์ฟเวอร์หยุดทำงาน (exit " + number + ")",
                                          "Traceback (most recent call last):\n  <boom>"));
        EXPECT_FALSE(Probe::server(*each.delegate)->isRunning());
        EXPECT_EQ(waitpid(Probe::server(*each.delegate)->pid(), nullptr, WNOHANG), -1)
            << "no zombie";
    }
}

// Bytes that are not text are dropped chunk by chunk; text around them still counts.
TEST_F(SupervisionTest, MalformedOutputIsDroppedWithoutHarm)
{
    launch(R"(
import os, sys, time
def wait_for(name):
    while not os.path.exists(name):
        time.sleep(0.01)
out, err = sys.stdout.buffer, sys.stderr.buffer
out.write(b"\xff\xfe http://127.0.0.1:1/\n"); out.flush()
out.write(b"\x00\x00" + b"a" * (1 << 20)); out.flush()
err.write(b"nul \x00 kept\n"); err.flush()
wait_for("go")
err.write(b"bad \xc0\xaf\n"); err.flush()
out.write(b"http://127.0.0.1:8765/\n"); out.flush()
wait_for("go2")
sys.exit(4)
)");
    const std::string kept("nul \0 kept\n", 11);
    ASSERT_TRUE(waitFor([&] { return Probe::stderrTail(*delegate) == kept; }));
    goAhead();
    ASSERT_TRUE(waitFor([&] { return addressLoaded(); }));
    std::ofstream(directory / "QUORVA" / "go2").close();
    ASSERT_TRUE(secondPage(fake));
    EXPECT_EQ(fake.log.matching("webView.loadRequest"),
              std::vector<std::string>{"webView.loadRequest http://127.0.0.1:8765/"});
    EXPECT_EQ(fake.windowSystem.webView->htmlLoads.back(),
              errorPage("เซิร์ฟเวอร์หยุดทำงาน (exit 4)", kept.substr(0, 10)));
}

TEST_F(SupervisionTest, FloodOfStandardErrorKeepsTheTailBounded)
{
    launch(R"(
import sys
block = ("x" * 1023 + "\n") * 1024
for _ in range(200):
    sys.stderr.write(block)
sys.stderr.write("last words: ข้อผิดพลาด\n")
)");
    ASSERT_TRUE(waitFor([&] { return !Probe::server(*delegate)->isRunning(); }, 120));
    ASSERT_TRUE(secondPage(fake));
    const std::string tail = Probe::stderrTail(*delegate);
    EXPECT_EQ(countCharacters(tail), stderrTailLimit);
    const std::string lastWords = "last words: ข้อผิดพลาด\n";
    ASSERT_GE(tail.size(), lastWords.size());
    EXPECT_EQ(tail.substr(tail.size() - lastWords.size()), lastWords);
}

}  // namespace
}  // namespace quorva
