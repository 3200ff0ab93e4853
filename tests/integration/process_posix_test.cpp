#include "platform/posix/process_posix.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <set>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace quorva {
namespace {

using namespace std::chrono_literals;

// Readers take at most this much from a pipe at once.
constexpr std::size_t maximumChunk = 1 << 20;
const std::string python = "/usr/bin/python3";
// In /proc: a path that can never exist and a plain file that always does, so no temporary
// directory is needed.
const std::string missing = "/proc/quorva-missing";
const std::string plainFile = "/proc/self/status";

// Every child runs this; the first argument picks what it does.
const char* const helperScript = R"(import fcntl, os, signal, sys
mode, value = sys.argv[1], int((sys.argv[2:] or ["0"])[0])
roomiest = int(open("/proc/sys/fs/pipe-max-size").read())
for fd in (1, 2):  # As roomy as allowed, so that only the reader bounds a chunk.
    try: fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, max(roomiest, fcntl.fcntl(fd, fcntl.F_GETPIPE_SZ)))
    except OSError: pass
if mode == "lines":
    for i in range(value):
        print(f"out {i}", flush=True)
        print(f"err {i}", file=sys.stderr, flush=True)
elif mode == "block":
    data = (b"abcdefghijklmnopqrstuvwxyz" * (value // 26 + 1))[:value]
    sys.stdout.buffer.write(data)
    sys.stderr.buffer.write(data[::-1])
elif mode == "exit": sys.exit(value)
elif mode == "inherited":
    fds = sorted(map(int, os.listdir("/proc/self/fd")))
    print([fd for fd in fds if fd > 2 and os.path.lexists(f"/proc/self/fd/{fd}")],
          os.path.lexists("/proc/self/fd/0") and os.readlink("/proc/self/fd/0"),
          [s for s in (signal.SIGTERM, signal.SIGINT) if signal.getsignal(s) == signal.SIG_IGN],
          signal.pthread_sigmask(signal.SIG_BLOCK, []))
elif mode == "cwd": print(os.getcwd())
else:
    if mode == "ignore-term": signal.signal(signal.SIGTERM, signal.SIG_IGN)
    signal.signal(signal.SIGUSR1, lambda *_: os.write(1, b"alive\n"))
    print("ready", flush=True)
    while True:
        signal.pause()
)";

std::vector<std::string> helperArguments(std::vector<std::string> arguments)
{
    arguments.insert(arguments.begin(), {"-c", helperScript});
    return arguments;
}

// Open descriptors by default; threads with /proc/self/task.
std::size_t entries(const char* directory = "/proc/self/fd")
{
    std::filesystem::directory_iterator found(directory);
    return static_cast<std::size_t>(std::distance(begin(found), end(found)));
}

bool threadBlocks(int signalNumber)
{
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    return sigismember(&mask, signalNumber) == 1;
}

struct StreamRecord {
    std::string text;
    bool ended = false;
    std::atomic<int> inFlight{0};
};

// What a child delivered, and each broken promise about the delivery seen along the way.
struct Transcript {
    std::mutex mutex;
    std::condition_variable changed;
    StreamRecord output;
    StreamRecord error;
    int exits = 0;
    int status = -1;
    std::thread::id launchingThread = std::this_thread::get_id();
    std::set<std::string> violations;

    void check(bool kept, const char* promise)
    {
        if (!kept)
            violations.insert(promise);
    }

    // Records under the lock, as a helper thread must, and wakes the waiters.
    template <typename Change>
    void record(Change change)
    {
        {
            std::lock_guard lock(mutex);
            check(std::this_thread::get_id() != launchingThread, "handler on the launching thread");
            // Signals meant for the shell must find one of its own threads, never a helper.
            check(threadBlocks(SIGTERM) && threadBlocks(SIGINT) && threadBlocks(SIGCHLD),
                  "helper thread takes the shell's signals");
            change();
        }
        changed.notify_all();
    }

    void deliver(StreamRecord& stream, std::string_view chunk)
    {
        const bool alone = stream.inFlight.fetch_add(1) == 0;
        record([&] {
            check(alone, "chunks of one stream overlap");
            check(!stream.ended, "chunk after the end");
            check(chunk.size() <= maximumChunk, "chunk over the maximum");
            // The last words of a server must reach whoever reports its exit.
            check(exits == 0 || chunk.empty(), "output after the exit");
            stream.ended = stream.ended || chunk.empty();
            stream.text.append(chunk);
            stream.inFlight.fetch_sub(1);
        });
    }
};

// A helper child with every delivery recorded. The handlers share the transcript, so a late
// delivery never dangles; a child still running at the end is killed and awaited.
class Child {
public:
    Child(ProcessLauncher& launcher, std::vector<std::string> arguments,
          std::string workingDirectory = {}, std::string executable = python)
    {
        const bool termBlocked = threadBlocks(SIGTERM);
        result = launcher.launch(
            {std::move(executable), helperArguments(std::move(arguments)),
             std::move(workingDirectory),
             [t = transcript](std::string_view chunk) { t->deliver(t->output, chunk); },
             [t = transcript](std::string_view chunk) { t->deliver(t->error, chunk); },
             [t = transcript](int status) {
                 t->record([&] {
                     ++t->exits;
                     t->status = status;
                 });
             }});
        pid = result.process ? result.process->pid() : 0;
        EXPECT_EQ(threadBlocks(SIGTERM), termBlocked) << "launch changed the caller's mask";
    }

    ~Child()
    {
        if (result.process && result.process->isRunning()) {
            result.process->kill();
            finished();
        }
    }

    Process& process() const { return *result.process; }

    template <typename Reader>
    auto read(Reader reader) const
    {
        std::lock_guard lock(transcript->mutex);
        return reader(*transcript);
    }

    // The output, once the child ended; or why it did not start.
    std::string outcome() const
    {
        if (!result.process)
            return result.errorDescription;
        return finished() ? read([](Transcript& t) { return t.output.text; }) : "unfinished";
    }

    // Waits until `done` holds of the transcript; false if it did not within the time.
    template <typename Done>
    bool waitFor(Done done) const
    {
        std::unique_lock lock(transcript->mutex);
        return transcript->changed.wait_for(lock, 60s, [&] { return done(*transcript); });
    }

    bool finished() const
    {
        return waitFor([](Transcript& t) { return t.output.ended && t.error.ended && t.exits; });
    }

    // Gives up as soon as the output ends, so a child that died fails fast.
    bool printed(const std::string& text) const
    {
        return waitFor([&](Transcript& t) { return t.output.text.find(text) != std::string::npos ||
                                                   t.output.ended; }) &&
               read([&](Transcript& t) { return t.output.text.find(text) != std::string::npos; });
    }

    std::shared_ptr<Transcript> transcript = std::make_shared<Transcript>();
    LaunchResult result;
    int pid = 0;
};

class ProcessPosixTest : public ::testing::Test {
protected:
    PosixProcessLauncher launcher;
};

enum class Action { Wait, Terminate, TerminateIgnored, DropHandle };

TEST_F(ProcessPosixTest, EachChildDeliversEverythingInOrderAndLeavesNothingBehind)
{
    // Not a multiple of any buffer size, so a lost or repeated tail shows.
    std::string block(3 * maximumChunk + 123, '\0');
    for (std::size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<char>('a' + i % 26);
    const std::string reversed(block.rbegin(), block.rend());
    std::string out, err;
    for (int i = 0; i < 2000; ++i) {
        out += "out " + std::to_string(i) + "\n";
        err += "err " + std::to_string(i) + "\n";
    }
    // Arguments, what happens to the child, its output, its error output and its status.
    const std::tuple<std::vector<std::string>, Action, std::string, std::string, int> cases[] = {
        {{"lines", "2000"}, Action::Wait, out, err, 0},
        {{"block", std::to_string(block.size())}, Action::Wait, block, reversed, 0},
        {{"exit", "3"}, Action::Wait, "", "", 3},
        {{"wait"}, Action::Terminate, "ready\n", "", 15},
        {{"ignore-term"}, Action::TerminateIgnored, "ready\nalive\n", "", 9},
        {{"lines", "2000"}, Action::DropHandle, out, err, 0},
    };
    for (const auto& [arguments, action, output, error, status] : cases) {
        SCOPED_TRACE(arguments[0] + " " + std::to_string(static_cast<int>(action)));
        const std::size_t descriptorsBefore = entries();
        // The launcher goes first, which must not matter to the child.
        auto ownLauncher = std::make_unique<PosixProcessLauncher>();
        Child child(*ownLauncher, arguments);
        ownLauncher.reset();
        ASSERT_TRUE(child.result.process) << child.result.errorDescription;

        if (action == Action::DropHandle) {
            child.result.process.reset();
        } else if (action != Action::Wait) {
            ASSERT_TRUE(child.printed("ready\n"));
            child.process().terminate();
        }
        if (action == Action::TerminateIgnored) {
            // Had SIGTERM been fatal the child would be dead before it could answer this.
            ASSERT_EQ(::kill(child.pid, SIGUSR1), 0);
            ASSERT_TRUE(child.printed("alive\n"));
            EXPECT_TRUE(child.process().isRunning());
            child.process().kill();
        }
        ASSERT_TRUE(child.finished());

        if (child.result.process) {
            // Both must be no-ops once the child is reaped.
            child.process().terminate();
            child.process().kill();
            EXPECT_FALSE(child.process().isRunning());
            EXPECT_EQ(child.process().terminationStatus(), status);
        }
        child.read([&](Transcript& t) {
            EXPECT_EQ(t.output.text, output);
            EXPECT_EQ(t.error.text, error);
            EXPECT_EQ(std::tuple(t.exits, t.status, t.violations),
                      std::tuple(1, status, std::set<std::string>{}));
        });
        EXPECT_EQ(::waitpid(child.pid, nullptr, WNOHANG), -1) << "a zombie is left";
        // Run to completion, the same child ends alike: its output, more than a pipe holds for
        // the large ones, must not hang it.
        if (action == Action::Wait) {
            EXPECT_EQ(launcher.runToCompletion(python, helperArguments(arguments)), status);
        }
        EXPECT_EQ(entries(), descriptorsBefore);
    }
}

// Descriptors of a child started elsewhere in the shell by code that closes nothing.
int unguardedChildDescriptorCount()
{
    const std::string script = "import os, sys; sys.exit(len(os.listdir(\"/proc/self/fd\")))";
    return WEXITSTATUS(std::system(("exec " + python + " -c '" + script + "'").c_str()));
}

// Another child's pipes, a descriptor opened without close-on-exec, and ignored or blocked
// signals (both survive exec) must stay out of every child, also of those launched meanwhile
// on other threads.
TEST_F(ProcessPosixTest, NothingOfTheShellReachesAChild)
{
    const int unguardedAlone = unguardedChildDescriptorCount();
    Child bystander(launcher, {"wait"});
    ASSERT_TRUE(bystander.printed("ready\n")) << bystander.result.errorDescription;
    EXPECT_EQ(unguardedChildDescriptorCount(), unguardedAlone);

    const int inheritable = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(inheritable, 0);
    // Looked up after the open, which takes descriptor 0 should the shell have no input.
    std::error_code noInput;
    const std::string input = std::filesystem::read_symlink("/proc/self/fd/0", noInput).string();
    const std::string expected = "[] " + (noInput ? "False" : input) + " [] set()\n";
    const auto previousTerm = std::signal(SIGTERM, SIG_IGN);
    const auto previousInt = std::signal(SIGINT, SIG_IGN);
    sigset_t all, previousMask;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previousMask);

    std::vector<std::future<std::string>> reports;
    for (int i = 0; i < 12; ++i)
        reports.push_back(std::async(std::launch::async,
                                     [this] { return Child(launcher, {"inherited"}).outcome(); }));
    for (std::future<std::string>& report : reports)
        EXPECT_EQ(report.get(), expected);
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    std::signal(SIGTERM, previousTerm);
    std::signal(SIGINT, previousInt);
    ::close(inheritable);
}

TEST_F(ProcessPosixTest, LaunchHonoursTheWorkingDirectoryOrNamesWhyItFailed)
{
    const std::string failed = "Failed to launch ";
    // Executable, working directory, and what it prints or why it failed.
    const std::array<std::string, 3> cases[] = {
        {python, "/proc", "/proc\n"},
        {python, "", std::filesystem::current_path().string() + "\n"},
        {missing, "", failed + missing + ": No such file or directory"},
        {plainFile, "", failed + plainFile + ": Permission denied"},
        {python, missing, failed + python + ": No such file or directory: " + missing},
        {python, plainFile, failed + python + ": Not a directory: " + plainFile},
    };
    for (const auto& [executable, workingDirectory, outcome] : cases) {
        const std::size_t descriptorsBefore = entries();
        Child child(launcher, {"cwd"}, workingDirectory, executable);
        EXPECT_EQ(child.outcome(), outcome);
        EXPECT_TRUE(child.result.process || child.read([](Transcript& t) {
            return t.exits == 0 && !t.output.ended && !t.error.ended;
        })) << "a handler ran for a launch that failed: " << outcome;
        if (executable != python) {
            EXPECT_EQ(launcher.runToCompletion(executable, {}), std::nullopt) << outcome;
        }
        EXPECT_EQ(entries(), descriptorsBefore) << outcome;
    }
}

// Steers the kernel into handing the reaped child's pid to a new child, which must then hear
// nothing from the old handle.
TEST_F(ProcessPosixTest, SignalsAfterTheReapNeverReachAProcessReusingThePid)
{
    Child first(launcher, {"exit", "0"});
    ASSERT_EQ(first.outcome(), "");

    std::unique_ptr<Child> second;
    for (int attempt = 0; attempt < 20 && !second; ++attempt) {
        std::ofstream lastPid("/proc/sys/kernel/ns_last_pid");
        if (!(lastPid << (first.pid - 1) << std::flush))
            GTEST_SKIP() << "cannot steer pid allocation";
        auto candidate = std::make_unique<Child>(launcher, std::vector<std::string>{"wait"});
        if (candidate->pid == first.pid)
            second = std::move(candidate);
    }
    if (!second)
        GTEST_SKIP() << "pid " << first.pid << " was never handed out again";
    ASSERT_TRUE(second->printed("ready\n"));

    first.process().terminate();
    first.process().kill();
    // Either signal would have been fatal, so an answer to this proves neither arrived.
    ASSERT_EQ(::kill(second->pid, SIGUSR1), 0);
    EXPECT_TRUE(second->printed("alive\n"));
}

}  // namespace
}  // namespace quorva
