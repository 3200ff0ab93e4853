#include "platform/posix/process_posix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace quorva {
namespace {

using namespace std::chrono_literals;

constexpr auto generousTimeout = 60s;
constexpr std::size_t maximumChunk = 64 * 1024;
const std::string python = "/usr/bin/python3";

const char* const emitScript = R"(import sys
mode = sys.argv[1]
if mode == "lines":
    for i in range(int(sys.argv[2])):
        sys.stdout.write(f"out {i}\n")
        sys.stdout.flush()
        sys.stderr.write(f"err {i}\n")
        sys.stderr.flush()
elif mode == "block":
    data = bytes(ord("a") + i % 26 for i in range(int(sys.argv[2])))
    sys.stdout.buffer.write(data)
    sys.stdout.flush()
    sys.stderr.buffer.write(data[::-1])
    sys.stderr.flush()
)";

const char* const exitScript = R"(import os, signal, sys
how, value = sys.argv[1], int(sys.argv[2])
if how == "code":
    sys.exit(value)
os.kill(os.getpid(), value)
signal.pause()
)";

const char* const waitScript = R"(import signal, sys
mode = sys.argv[1]
if mode == "ignore-term":
    signal.signal(signal.SIGTERM, signal.SIG_IGN)
elif mode == "exit-on-term":
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
elif mode == "report-term":
    signal.signal(signal.SIGTERM, lambda *_: print("TERM", flush=True))
    signal.signal(signal.SIGRTMIN, lambda *_: sys.exit(0))
signal.signal(signal.SIGUSR1, lambda *_: print("alive", flush=True))
print("ready", flush=True)
while True:
    signal.pause()
)";

const char* const signalsScript = R"(for line in open("/proc/self/status"):
    if line.startswith(("SigIgn:", "SigBlk:")):
        print(line.strip())
)";

const char* const descriptorsScript = R"(import os
listed = sorted(int(name) for name in os.listdir("/proc/self/fd"))
report = []
for fd in listed:
    try:
        report.append(f"{fd}:{os.readlink(f'/proc/self/fd/{fd}')}")
    except OSError:
        pass
print(" ".join(report))
)";

const char* const workingDirectoryScript = "import os\nprint(os.getcwd())\n";

const char* const floodScript = R"(import sys
block = b"x" * (1 << 20)
for _ in range(int(sys.argv[1])):
    sys.stderr.buffer.write(block)
sys.stderr.flush()
)";

std::size_t countEntries(const char* directory)
{
    DIR* stream = ::opendir(directory);
    if (stream == nullptr) {
        ADD_FAILURE() << "cannot list " << directory << ": " << std::strerror(errno);
        return 0;
    }
    std::size_t count = 0;
    while (dirent* entry = ::readdir(stream)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            ++count;
        }
    }
    ::closedir(stream);
    return count;
}

std::size_t openDescriptorCount()
{
    return countEntries("/proc/self/fd");
}

std::size_t threadCount()
{
    return countEntries("/proc/self/task");
}

// For what nothing announces, such as a detached thread ending or a reader without a handler
// closing its pipe.
template <typename Condition>
bool eventually(Condition condition)
{
    auto deadline = std::chrono::steady_clock::now() + generousTimeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

bool isOurZombieGone(int pid)
{
    int status = 0;
    return ::waitpid(pid, &status, WNOHANG) == -1 && errno == ECHILD;
}

struct StreamRecord {
    std::string text;
    std::size_t bytes = 0;
    std::size_t largestChunk = 0;
    bool ended = false;
    std::atomic<int> deliveriesInFlight {0};
};

// What a child delivered. Handlers hold it by shared_ptr, so a late delivery never dangles.
struct Transcript {
    std::mutex mutex;
    std::condition_variable changed;
    StreamRecord output;
    StreamRecord error;
    int exitCount = 0;
    int exitStatus = -1;
    bool keepText = true;
    std::thread::id launchingThread = std::this_thread::get_id();
    std::vector<std::string> violations;
};

std::function<void(std::string_view)> recordStream(const std::shared_ptr<Transcript>& transcript,
                                                   StreamRecord Transcript::*stream)
{
    return [transcript, stream](std::string_view chunk) {
        StreamRecord& record = (*transcript).*stream;
        bool overlapping = record.deliveriesInFlight.fetch_add(1) != 0;
        {
            std::lock_guard lock(transcript->mutex);
            if (overlapping) {
                transcript->violations.push_back("two chunks delivered at once");
            }
            if (std::this_thread::get_id() == transcript->launchingThread) {
                transcript->violations.push_back("chunk delivered on the launching thread");
            }
            if (record.ended) {
                transcript->violations.push_back("chunk delivered after the end");
            }
            if (chunk.size() > maximumChunk) {
                transcript->violations.push_back("chunk larger than 64 KiB");
            }
            if (chunk.empty()) {
                record.ended = true;
            } else {
                record.bytes += chunk.size();
                record.largestChunk = std::max(record.largestChunk, chunk.size());
                if (transcript->keepText) {
                    record.text.append(chunk);
                }
            }
        }
        record.deliveriesInFlight.fetch_sub(1);
        transcript->changed.notify_all();
    };
}

std::function<void(int)> recordExit(const std::shared_ptr<Transcript>& transcript)
{
    return [transcript](int status) {
        {
            std::lock_guard lock(transcript->mutex);
            if (std::this_thread::get_id() == transcript->launchingThread) {
                transcript->violations.push_back("exit delivered on the launching thread");
            }
            ++transcript->exitCount;
            transcript->exitStatus = status;
        }
        transcript->changed.notify_all();
    };
}

// A python child whose deliveries are all recorded; a child still running when the test ends
// is killed and awaited, so a failing test leaves nothing behind.
class Child {
public:
    Child(ProcessLauncher& launcher, std::vector<std::string> arguments,
          std::string workingDirectory = {}, bool keepText = true)
        : m_transcript(std::make_shared<Transcript>())
    {
        m_transcript->keepText = keepText;
        LaunchRequest request;
        request.executable = python;
        request.arguments = std::move(arguments);
        request.workingDirectory = std::move(workingDirectory);
        request.onStandardOutput = recordStream(m_transcript, &Transcript::output);
        request.onStandardError = recordStream(m_transcript, &Transcript::error);
        request.onExit = recordExit(m_transcript);
        m_result = launcher.launch(std::move(request));
    }

    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    ~Child()
    {
        if (m_result.process && m_result.process->isRunning()) {
            m_result.process->kill();
            waitForCompletion();
        }
    }

    const LaunchResult& result() const { return m_result; }
    Process& process() const { return *m_result.process; }
    const std::shared_ptr<Transcript>& transcript() const { return m_transcript; }

    bool waitForCompletion(std::chrono::seconds timeout = generousTimeout) const
    {
        return waitUntil(timeout, [this] {
            return m_transcript->output.ended && m_transcript->error.ended
                   && m_transcript->exitCount > 0;
        });
    }

    bool waitForOutput(const std::string& text) const
    {
        return waitUntil(generousTimeout, [this, &text] {
            return m_transcript->output.text.find(text) != std::string::npos;
        });
    }

    template <typename Predicate>
    bool waitUntil(std::chrono::seconds timeout, Predicate predicate) const
    {
        std::unique_lock lock(m_transcript->mutex);
        return m_transcript->changed.wait_for(lock, timeout, predicate);
    }

    template <typename Reader>
    auto locked(Reader reader) const
    {
        std::lock_guard lock(m_transcript->mutex);
        return reader(*m_transcript);
    }

    std::string standardOutput() const
    {
        return locked([](Transcript& t) { return t.output.text; });
    }
    std::string standardError() const
    {
        return locked([](Transcript& t) { return t.error.text; });
    }
    int exitStatus() const { return locked([](Transcript& t) { return t.exitStatus; }); }
    int exitCount() const { return locked([](Transcript& t) { return t.exitCount; }); }
    std::vector<std::string> violations() const
    {
        return locked([](Transcript& t) { return t.violations; });
    }

private:
    std::shared_ptr<Transcript> m_transcript;
    LaunchResult m_result;
};

class ProcessPosixTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "quorva-process-XXXXXX");
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr) << std::strerror(errno);
        m_directory = std::filesystem::canonical(pattern);
        m_emit = writeScript("emit.py", emitScript);
        m_exit = writeScript("exit.py", exitScript);
        m_wait = writeScript("wait.py", waitScript);
        m_signals = writeScript("signals.py", signalsScript);
        m_descriptors = writeScript("descriptors.py", descriptorsScript);
        m_workingDirectory = writeScript("cwd.py", workingDirectoryScript);
        m_flood = writeScript("flood.py", floodScript);
    }

    void TearDown() override
    {
        std::error_code ignored;
        std::filesystem::remove_all(m_directory, ignored);
    }

    std::string writeScript(const std::string& name, const char* body)
    {
        std::filesystem::path path = m_directory / name;
        std::ofstream(path) << body;
        return path.string();
    }

    // The child has ended and both streams are closed; nothing of it may remain in the shell.
    void expectCleanCompletion(const Child& child, std::size_t descriptorsBefore)
    {
        EXPECT_FALSE(child.process().isRunning());
        EXPECT_EQ(child.exitCount(), 1);
        EXPECT_EQ(child.process().terminationStatus(), child.exitStatus());
        EXPECT_TRUE(isOurZombieGone(child.process().pid()));
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
        EXPECT_EQ(child.violations(), std::vector<std::string> {});
    }

    PosixProcessLauncher m_launcher;
    std::filesystem::path m_directory;
    std::string m_emit;
    std::string m_exit;
    std::string m_wait;
    std::string m_signals;
    std::string m_descriptors;
    std::string m_workingDirectory;
    std::string m_flood;
};

struct StreamCase {
    std::string name;
    std::vector<std::string> arguments;
    std::string expectedOutput;
    std::string expectedError;
};

void PrintTo(const StreamCase& testCase, std::ostream* stream)
{
    *stream << testCase.name;
}

std::string numberedLines(const std::string& prefix, int count)
{
    std::string text;
    for (int i = 0; i < count; ++i) {
        text += prefix + " " + std::to_string(i) + "\n";
    }
    return text;
}

std::string letterBlock(std::size_t size)
{
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>('a' + i % 26);
    }
    return text;
}

std::vector<StreamCase> streamCases()
{
    const std::size_t blockSize = 1024 * 1024 + 123;
    std::string block = letterBlock(blockSize);
    return {
        {"NumberedLines", {"lines", "2000"}, numberedLines("out", 2000),
         numberedLines("err", 2000)},
        {"LargeBlocks", {"block", std::to_string(blockSize)}, block,
         {block.rbegin(), block.rend()}},
        {"Silent", {"silent"}, "", ""},
    };
}

class StreamTest : public ProcessPosixTest, public ::testing::WithParamInterface<StreamCase> {};

TEST_P(StreamTest, DeliversEveryByteInOrderThenOneEmptyChunk)
{
    const StreamCase& streamCase = GetParam();
    std::size_t descriptorsBefore = openDescriptorCount();
    std::vector<std::string> arguments {m_emit};
    arguments.insert(arguments.end(), streamCase.arguments.begin(), streamCase.arguments.end());

    Child child(m_launcher, arguments);
    ASSERT_TRUE(child.result().process) << child.result().errorDescription;
    ASSERT_TRUE(child.waitForCompletion());

    EXPECT_EQ(child.standardOutput(), streamCase.expectedOutput);
    EXPECT_EQ(child.standardError(), streamCase.expectedError);
    EXPECT_EQ(child.exitStatus(), 0);
    expectCleanCompletion(child, descriptorsBefore);
}

INSTANTIATE_TEST_SUITE_P(Streams, StreamTest, ::testing::ValuesIn(streamCases()),
                         [](const auto& info) { return info.param.name; });

struct ExitCase {
    std::string name;
    std::string how;
    int value;
    int expectedStatus;
};

void PrintTo(const ExitCase& testCase, std::ostream* stream)
{
    *stream << testCase.name;
}

class ExitStatusTest : public ProcessPosixTest, public ::testing::WithParamInterface<ExitCase> {};

TEST_P(ExitStatusTest, ReportsExitCodeOrSignalNumberOnce)
{
    const ExitCase& exitCase = GetParam();
    std::size_t descriptorsBefore = openDescriptorCount();

    Child child(m_launcher, {m_exit, exitCase.how, std::to_string(exitCase.value)});
    ASSERT_TRUE(child.result().process) << child.result().errorDescription;
    ASSERT_TRUE(child.waitForCompletion());

    EXPECT_EQ(child.exitStatus(), exitCase.expectedStatus);
    EXPECT_EQ(child.process().terminationStatus(), exitCase.expectedStatus);
    expectCleanCompletion(child, descriptorsBefore);
}

INSTANTIATE_TEST_SUITE_P(Exits, ExitStatusTest,
                         ::testing::Values(ExitCase {"Zero", "code", 0, 0},
                                           ExitCase {"One", "code", 1, 1},
                                           ExitCase {"Three", "code", 3, 3},
                                           ExitCase {"KilledBySigkill", "signal", SIGKILL, 9},
                                           ExitCase {"KilledBySigterm", "signal", SIGTERM, 15}),
                         [](const auto& info) { return info.param.name; });

struct TerminateCase {
    std::string name;
    std::string mode;
    int expectedStatus;
};

void PrintTo(const TerminateCase& testCase, std::ostream* stream)
{
    *stream << testCase.name;
}

class TerminateTest : public ProcessPosixTest,
                      public ::testing::WithParamInterface<TerminateCase> {};

TEST_P(TerminateTest, EndsAWellBehavedChild)
{
    const TerminateCase& terminateCase = GetParam();
    std::size_t descriptorsBefore = openDescriptorCount();

    Child child(m_launcher, {m_wait, terminateCase.mode});
    ASSERT_TRUE(child.result().process) << child.result().errorDescription;
    ASSERT_TRUE(child.waitForOutput("ready\n"));
    EXPECT_TRUE(child.process().isRunning());

    child.process().terminate();
    ASSERT_TRUE(child.waitForCompletion());
    EXPECT_EQ(child.exitStatus(), terminateCase.expectedStatus);
    expectCleanCompletion(child, descriptorsBefore);
}

INSTANTIATE_TEST_SUITE_P(Terminate, TerminateTest,
                         ::testing::Values(TerminateCase {"DefaultDisposition", "default", 15},
                                           TerminateCase {"HandlerExitsCleanly", "exit-on-term",
                                                          0}),
                         [](const auto& info) { return info.param.name; });

TEST_F(ProcessPosixTest, ChildIgnoringTerminateRunsUntilKilled)
{
    std::size_t descriptorsBefore = openDescriptorCount();
    Child child(m_launcher, {m_wait, "ignore-term"});
    ASSERT_TRUE(child.result().process) << child.result().errorDescription;
    ASSERT_TRUE(child.waitForOutput("ready\n"));

    child.process().terminate();
    // Had SIGTERM been fatal the child would be dead before this second signal could be answered.
    ASSERT_EQ(::kill(child.process().pid(), SIGUSR1), 0);
    ASSERT_TRUE(child.waitForOutput("alive\n"));
    EXPECT_TRUE(child.process().isRunning());

    child.process().kill();
    ASSERT_TRUE(child.waitForCompletion());
    EXPECT_EQ(child.exitStatus(), SIGKILL);
    expectCleanCompletion(child, descriptorsBefore);
}

// Restores the process-wide dispositions and this thread's mask however the test ends.
class SignalEnvironment {
public:
    SignalEnvironment(bool ignore, bool block) : m_ignoring(ignore)
    {
        if (ignore) {
            m_previousTerm = std::signal(SIGTERM, SIG_IGN);
            m_previousInt = std::signal(SIGINT, SIG_IGN);
        }
        sigset_t blocked;
        sigemptyset(&blocked);
        if (block) {
            sigaddset(&blocked, SIGTERM);
            sigaddset(&blocked, SIGINT);
            sigaddset(&blocked, SIGUSR1);
        }
        pthread_sigmask(SIG_BLOCK, &blocked, &m_previousMask);
    }

    SignalEnvironment(const SignalEnvironment&) = delete;
    SignalEnvironment& operator=(const SignalEnvironment&) = delete;

    ~SignalEnvironment()
    {
        pthread_sigmask(SIG_SETMASK, &m_previousMask, nullptr);
        if (m_ignoring) {
            std::signal(SIGTERM, m_previousTerm);
            std::signal(SIGINT, m_previousInt);
        }
    }

private:
    bool m_ignoring;
    void (*m_previousTerm)(int) = SIG_DFL;
    void (*m_previousInt)(int) = SIG_DFL;
    sigset_t m_previousMask {};
};

std::uint64_t statusMask(const std::string& report, const std::string& field)
{
    std::istringstream lines(report);
    std::string name;
    std::string value;
    while (lines >> name >> value) {
        if (name == field + ":") {
            return std::stoull(value, nullptr, 16);
        }
    }
    ADD_FAILURE() << field << " missing from " << report;
    return ~std::uint64_t {0};
}

std::uint64_t signalBit(int signalNumber)
{
    return std::uint64_t {1} << (signalNumber - 1);
}

struct SignalCase {
    std::string name;
    bool ignore;
    bool block;
};

void PrintTo(const SignalCase& testCase, std::ostream* stream)
{
    *stream << testCase.name;
}

class SignalDispositionTest : public ProcessPosixTest,
                              public ::testing::WithParamInterface<SignalCase> {};

TEST_P(SignalDispositionTest, ChildStartsWithDefaultTermAndIntAndAnEmptyMask)
{
    const SignalCase& signalCase = GetParam();
    std::string report;
    {
        SignalEnvironment environment(signalCase.ignore, signalCase.block);
        Child child(m_launcher, {m_signals});
        ASSERT_TRUE(child.result().process) << child.result().errorDescription;
        ASSERT_TRUE(child.waitForCompletion());
        EXPECT_EQ(child.exitStatus(), 0);
        report = child.standardOutput();
    }
    EXPECT_EQ(statusMask(report, "SigIgn") & (signalBit(SIGTERM) | signalBit(SIGINT)), 0u)
        << report;
    EXPECT_EQ(statusMask(report, "SigBlk"), 0u) << report;
}

INSTANTIATE_TEST_SUITE_P(Signals, SignalDispositionTest,
                         ::testing::Values(SignalCase {"Plain", false, false},
                                           SignalCase {"ParentIgnores", true, false},
                                           SignalCase {"ParentBlocks", false, true},
                                           SignalCase {"ParentIgnoresAndBlocks", true, true}),
                         [](const auto& info) { return info.param.name; });

// Descriptor number to what it refers to, from "fd:target" entries.
std::map<int, std::string> parseDescriptors(const std::string& report)
{
    std::istringstream entries(report);
    std::map<int, std::string> descriptors;
    std::string entry;
    while (entries >> entry) {
        std::size_t colon = entry.find(':');
        descriptors[std::stoi(entry.substr(0, colon))] = entry.substr(colon + 1);
    }
    return descriptors;
}

std::string standardInputTarget()
{
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/fd/0", error).string();
}

// Another child's pipes, a descriptor opened without close-on-exec and launches racing on other
// threads must all stay out of every child, which has the shell's standard input and two pipes.
TEST_F(ProcessPosixTest, NoDescriptorOfTheShellReachesAChild)
{
    // Read first: with no standard input, the descriptor opened below would take its place.
    std::string inheritedInput = standardInputTarget();
    Child bystander(m_launcher, {m_wait, "default"});
    ASSERT_TRUE(bystander.result().process) << bystander.result().errorDescription;
    ASSERT_TRUE(bystander.waitForOutput("ready\n"));
    int inheritable = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(inheritable, 0);

    constexpr int threads = 4;
    constexpr int childrenPerThread = 5;
    std::mutex reportsMutex;
    std::vector<std::string> reports;
    std::vector<std::string> failures;
    std::vector<std::thread> launchers;
    for (int t = 0; t < threads; ++t) {
        launchers.emplace_back([&] {
            for (int c = 0; c < childrenPerThread; ++c) {
                Child child(m_launcher, {m_descriptors});
                bool completed = child.result().process && child.waitForCompletion();
                std::lock_guard lock(reportsMutex);
                if (!completed) {
                    failures.push_back(child.result().errorDescription);
                } else {
                    reports.push_back(child.standardOutput());
                }
            }
        });
    }
    for (std::thread& launcher : launchers) {
        launcher.join();
    }
    ::close(inheritable);

    EXPECT_EQ(failures, std::vector<std::string> {});
    ASSERT_EQ(reports.size(), static_cast<std::size_t>(threads * childrenPerThread));
    for (const std::string& report : reports) {
        std::map<int, std::string> descriptors = parseDescriptors(report);
        EXPECT_EQ(descriptors.upper_bound(STDERR_FILENO), descriptors.end()) << report;
        if (!inheritedInput.empty()) {
            EXPECT_EQ(descriptors[STDIN_FILENO], inheritedInput) << report;
        }
        EXPECT_EQ(descriptors[STDOUT_FILENO].rfind("pipe:", 0), 0u) << report;
        EXPECT_EQ(descriptors[STDERR_FILENO].rfind("pipe:", 0), 0u) << report;
        EXPECT_NE(descriptors[STDOUT_FILENO], descriptors[STDERR_FILENO]) << report;
    }

    bystander.process().terminate();
    ASSERT_TRUE(bystander.waitForCompletion());
    EXPECT_EQ(bystander.exitStatus(), SIGTERM);
}

TEST_F(ProcessPosixTest, WorkingDirectoryIsHonoured)
{
    struct Case {
        std::string name;
        std::string workingDirectory;
        std::string expected;
    };
    std::filesystem::path subdirectory = m_directory / "work dir";
    std::filesystem::create_directory(subdirectory);
    const Case cases[] = {
        {"Given", subdirectory.string(), subdirectory.string()},
        {"EmptyMeansInherited", "", std::filesystem::current_path().string()},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        Child child(m_launcher, {m_workingDirectory}, testCase.workingDirectory);
        ASSERT_TRUE(child.result().process) << child.result().errorDescription;
        ASSERT_TRUE(child.waitForCompletion());
        EXPECT_EQ(child.standardOutput(), testCase.expected + "\n");
    }
}

TEST_F(ProcessPosixTest, FailedLaunchNamesTheCauseAndLeavesNothingBehind)
{
    struct Case {
        std::string name;
        std::string executable;
        std::string workingDirectory;
        std::string expectedDescription;
    };
    std::string plainFile = writeScript("plain.txt", "not a program\n");
    std::filesystem::permissions(plainFile, std::filesystem::perms::owner_read
                                                | std::filesystem::perms::owner_write);
    std::string missingDirectory = (m_directory / "missing").string();
    std::string missingExecutable = (m_directory / "no-such-program").string();
    const Case cases[] = {
        {"MissingExecutable", missingExecutable, "",
         "Failed to launch " + missingExecutable + ": No such file or directory"},
        {"NotExecutable", plainFile, "", "Failed to launch " + plainFile + ": Permission denied"},
        {"MissingWorkingDirectory", python, missingDirectory,
         "Failed to launch " + python + ": No such file or directory: " + missingDirectory},
        {"WorkingDirectoryIsAFile", python, plainFile,
         "Failed to launch " + python + ": Not a directory: " + plainFile},
    };
    for (const Case& testCase : cases) {
        SCOPED_TRACE(testCase.name);
        std::size_t descriptorsBefore = openDescriptorCount();
        auto called = std::make_shared<std::atomic<int>>(0);
        LaunchRequest request;
        request.executable = testCase.executable;
        request.arguments = {"-c", "pass"};
        request.workingDirectory = testCase.workingDirectory;
        request.onStandardOutput = [called](std::string_view) { ++*called; };
        request.onStandardError = [called](std::string_view) { ++*called; };
        request.onExit = [called](int) { ++*called; };

        LaunchResult result = m_launcher.launch(std::move(request));

        EXPECT_EQ(result.process, nullptr);
        EXPECT_EQ(result.errorDescription, testCase.expectedDescription);
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
        EXPECT_EQ(called->load(), 0);
    }
}

TEST_F(ProcessPosixTest, LeavesNoThreadBehind)
{
    std::size_t threadsBefore = threadCount();
    {
        Child child(m_launcher, {m_emit, "lines", "10"});
        ASSERT_TRUE(child.result().process) << child.result().errorDescription;
        ASSERT_TRUE(child.waitForCompletion());
    }
    EXPECT_TRUE(eventually([&] { return threadCount() <= threadsBefore; }));
}

std::string threadSignalMask()
{
    std::ifstream status("/proc/thread-self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigBlk:", 0) == 0) {
            return line;
        }
    }
    return "SigBlk: missing";
}

// Signals meant for the shell must find one of its own threads, never a helper.
TEST_F(ProcessPosixTest, HelperThreadsBlockSignals)
{
    struct Masks {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::string> reports;
    };
    auto masks = std::make_shared<Masks>();
    auto recordMask = [masks] {
        std::string report = threadSignalMask();
        {
            std::lock_guard lock(masks->mutex);
            masks->reports.push_back(report);
        }
        masks->changed.notify_all();
    };
    LaunchRequest request;
    request.executable = python;
    request.arguments = {m_emit, "lines", "1"};
    request.onStandardOutput = [recordMask](std::string_view chunk) {
        if (chunk.empty()) {
            recordMask();
        }
    };
    request.onStandardError = request.onStandardOutput;
    request.onExit = [recordMask](int) { recordMask(); };

    std::string launchingThreadMask = threadSignalMask();
    LaunchResult result = m_launcher.launch(std::move(request));
    ASSERT_TRUE(result.process) << result.errorDescription;
    EXPECT_EQ(threadSignalMask(), launchingThreadMask);

    std::unique_lock lock(masks->mutex);
    ASSERT_TRUE(masks->changed.wait_for(lock, generousTimeout,
                                        [&] { return masks->reports.size() == 3; }));
    for (const std::string& report : masks->reports) {
        std::uint64_t mask = statusMask(report, "SigBlk");
        for (int signalNumber : {SIGTERM, SIGINT, SIGHUP, SIGCHLD, SIGUSR1}) {
            EXPECT_NE(mask & signalBit(signalNumber), 0u) << signalNumber << " in " << report;
        }
    }
}

TEST_F(ProcessPosixTest, OutlivesItsProcessHandleAndLauncher)
{
    std::size_t descriptorsBefore = openDescriptorCount();
    auto launcher = std::make_unique<PosixProcessLauncher>();
    auto transcript = std::make_shared<Transcript>();
    LaunchRequest request;
    request.executable = python;
    request.arguments = {m_emit, "lines", "500"};
    request.onStandardOutput = recordStream(transcript, &Transcript::output);
    request.onStandardError = recordStream(transcript, &Transcript::error);
    request.onExit = recordExit(transcript);

    LaunchResult result = launcher->launch(std::move(request));
    ASSERT_TRUE(result.process) << result.errorDescription;
    int pid = result.process->pid();
    result.process.reset();
    launcher.reset();

    std::unique_lock lock(transcript->mutex);
    ASSERT_TRUE(transcript->changed.wait_for(lock, generousTimeout, [&] {
        return transcript->output.ended && transcript->error.ended && transcript->exitCount > 0;
    }));
    EXPECT_EQ(transcript->output.text, numberedLines("out", 500));
    EXPECT_EQ(transcript->error.text, numberedLines("err", 500));
    EXPECT_EQ(transcript->exitStatus, 0);
    lock.unlock();
    EXPECT_TRUE(isOurZombieGone(pid));
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
}

TEST_F(ProcessPosixTest, EmptyHandlersStillDrainTheStreams)
{
    std::size_t descriptorsBefore = openDescriptorCount();
    auto exited = std::make_shared<std::promise<int>>();
    std::future<int> exitStatus = exited->get_future();
    LaunchRequest request;
    request.executable = python;
    // More than a pipe holds, so the child only ends if someone reads.
    request.arguments = {m_emit, "block", std::to_string(4 * 1024 * 1024)};
    request.onExit = [exited](int status) { exited->set_value(status); };

    LaunchResult result = m_launcher.launch(std::move(request));
    ASSERT_TRUE(result.process) << result.errorDescription;
    ASSERT_EQ(exitStatus.wait_for(generousTimeout), std::future_status::ready);
    EXPECT_EQ(exitStatus.get(), 0);
    EXPECT_TRUE(eventually([&] { return openDescriptorCount() == descriptorsBefore; }));
}

TEST_F(ProcessPosixTest, SignalsAfterTheReapAreIgnored)
{
    Child child(m_launcher, {m_exit, "code", "4"});
    ASSERT_TRUE(child.result().process) << child.result().errorDescription;
    ASSERT_TRUE(child.waitForCompletion());

    child.process().terminate();
    child.process().kill();
    child.process().terminate();

    EXPECT_FALSE(child.process().isRunning());
    EXPECT_EQ(child.process().terminationStatus(), 4);
    EXPECT_EQ(child.exitCount(), 1);
}

bool setLastPid(int lastPid)
{
    int fd = ::open("/proc/sys/kernel/ns_last_pid", O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    std::string text = std::to_string(lastPid);
    bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    int error = errno;
    ::close(fd);
    errno = error;
    return written;
}

// Forces the kernel to hand the reaped child's pid to a new child, which must then hear nothing
// from the old handle.
TEST_F(ProcessPosixTest, SignalsAfterTheReapNeverReachAProcessReusingThePid)
{
    Child first(m_launcher, {m_exit, "code", "0"});
    ASSERT_TRUE(first.result().process) << first.result().errorDescription;
    ASSERT_TRUE(first.waitForCompletion());
    int reusedPid = first.process().pid();

    std::unique_ptr<Child> second;
    for (int attempt = 0; attempt < 20 && !second; ++attempt) {
        if (!setLastPid(reusedPid - 1)) {
            GTEST_SKIP() << "cannot steer pid allocation: " << std::strerror(errno);
        }
        auto candidate = std::make_unique<Child>(m_launcher,
                                                 std::vector<std::string> {m_wait, "report-term"});
        ASSERT_TRUE(candidate->result().process) << candidate->result().errorDescription;
        if (candidate->process().pid() == reusedPid) {
            second = std::move(candidate);
        }
    }
    if (!second) {
        GTEST_SKIP() << "pid " << reusedPid << " was never handed out again";
    }
    ASSERT_TRUE(second->waitForOutput("ready\n"));

    first.process().terminate();
    first.process().kill();
    // Signals are handled in ascending order, so a stray SIGTERM would print before this exits.
    ASSERT_EQ(::kill(reusedPid, SIGRTMIN), 0);

    ASSERT_TRUE(second->waitForCompletion());
    EXPECT_EQ(second->standardOutput(), "ready\n");
    EXPECT_EQ(second->exitStatus(), 0);
}

struct RunCase {
    std::string name;
    std::string executable;
    std::vector<std::string> arguments;
    std::optional<int> expected;
};

TEST_F(ProcessPosixTest, RunToCompletionReportsTheStatus)
{
    const RunCase cases[] = {
        {"ExitsZero", python, {m_exit, "code", "0"}, 0},
        {"ExitsSeven", python, {m_exit, "code", "7"}, 7},
        {"Killed", python, {m_exit, "signal", std::to_string(SIGKILL)}, SIGKILL},
        {"LoudOutputIsDiscarded", python, {m_emit, "block", std::to_string(4 * 1024 * 1024)}, 0},
        {"MissingExecutable", (m_directory / "no-such-program").string(), {}, std::nullopt},
    };
    for (const RunCase& runCase : cases) {
        SCOPED_TRACE(runCase.name);
        std::size_t descriptorsBefore = openDescriptorCount();
        EXPECT_EQ(m_launcher.runToCompletion(runCase.executable, runCase.arguments),
                  runCase.expected);
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
    }
}

TEST_F(ProcessPosixTest, StandardErrorFlood)
{
    constexpr std::size_t megabytes = 200;
    std::size_t descriptorsBefore = openDescriptorCount();
    auto started = std::chrono::steady_clock::now();

    Child child(m_launcher, {m_flood, std::to_string(megabytes)}, {}, false);
    ASSERT_TRUE(child.result().process) << child.result().errorDescription;
    ASSERT_TRUE(child.waitForCompletion(std::chrono::seconds(300)));

    auto elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
    RecordProperty("seconds", std::to_string(elapsed.count()));
    EXPECT_EQ(child.locked([](Transcript& t) { return t.error.bytes; }), megabytes << 20);
    EXPECT_EQ(child.locked([](Transcript& t) { return t.output.bytes; }), 0u);
    EXPECT_EQ(child.exitStatus(), 0);
    expectCleanCompletion(child, descriptorsBefore);
}

}  // namespace
}  // namespace quorva
