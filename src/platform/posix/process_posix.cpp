#include "platform/posix/process_posix.h"
#include "platform/posix/system_posix.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <memory>
#include <mutex>
#include <new>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <utility>

namespace quorva {
namespace {

// A reader that falls behind a flood takes up to this much at once, so what a
// chunk costs beyond its bytes is paid rarely; the pipe is grown to match.
constexpr std::size_t chunkSize = 1024 * 1024;
constexpr int unknownTerminationStatus = -1;

// strerror_r comes as the XSI or the GNU flavour depending on the C library.
[[maybe_unused]] const char* pickMessage(int result, const char* buffer)
{
    return result == 0 ? buffer : "Unknown error";
}

[[maybe_unused]] const char* pickMessage(const char* result, const char*)
{
    return result;
}

std::string describeError(int error)
{
    char buffer[256] = {};
    return pickMessage(strerror_r(error, buffer, sizeof buffer), buffer);
}

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : descriptor(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : descriptor(std::exchange(other.descriptor, -1)) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept
    {
        reset(std::exchange(other.descriptor, -1));
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return descriptor; }
    int release() { return std::exchange(descriptor, -1); }

    // Never retried: on Linux the descriptor is gone even when close reports EINTR.
    void reset(int fd = -1)
    {
        if (descriptor >= 0) {
            ::close(descriptor);
        }
        descriptor = fd;
    }

private:
    int descriptor = -1;
};

struct Pipe {
    UniqueFd readEnd;
    UniqueFd writeEnd;
};

// With a standard stream of the shell closed, a new end could land on 0..2, where the child's
// dup2 onto its own standard streams would clobber it.
int moveAboveStandardStreams(UniqueFd& fd)
{
    if (fd.get() > STDERR_FILENO) {
        return 0;
    }
    int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) {
        return errno;
    }
    fd.reset(moved);
    return 0;
}

// Both ends are close-on-exec so that no other child, spawned concurrently, inherits them.
int openPipe(Pipe& pipe)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0) {
        return errno;
    }
    pipe.readEnd.reset(ends[0]);
    pipe.writeEnd.reset(ends[1]);
#ifdef F_SETPIPE_SZ
    // Best effort: the system may cap pipe sizes; the default still works.
    (void)::fcntl(ends[0], F_SETPIPE_SZ, static_cast<int>(chunkSize));
#endif
    if (int error = moveAboveStandardStreams(pipe.readEnd)) {
        return error;
    }
    return moveAboveStandardStreams(pipe.writeEnd);
}

class FileActions {
public:
    FileActions() : initResult(posix_spawn_file_actions_init(&actions)) {}
    FileActions(const FileActions&) = delete;
    FileActions& operator=(const FileActions&) = delete;
    ~FileActions()
    {
        if (initResult == 0) {
            posix_spawn_file_actions_destroy(&actions);
        }
    }

    int initError() const { return initResult; }
    posix_spawn_file_actions_t* get() { return &actions; }

private:
    posix_spawn_file_actions_t actions;
    int initResult;
};

class SpawnAttributes {
public:
    SpawnAttributes() : initResult(posix_spawnattr_init(&attributes)) {}
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;
    ~SpawnAttributes()
    {
        if (initResult == 0) {
            posix_spawnattr_destroy(&attributes);
        }
    }

    int initError() const { return initResult; }
    posix_spawnattr_t* get() { return &attributes; }

private:
    posix_spawnattr_t attributes;
    int initResult;
};

// The shell may block or ignore these signals, and both survive exec.
int resetChildSignals(SpawnAttributes& attributes)
{
    if (int error = attributes.initError()) {
        return error;
    }
    sigset_t emptyMask;
    sigemptyset(&emptyMask);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    if (int error = posix_spawnattr_setsigmask(attributes.get(), &emptyMask)) {
        return error;
    }
    if (int error = posix_spawnattr_setsigdefault(attributes.get(), &defaults)) {
        return error;
    }
    return posix_spawnattr_setflags(attributes.get(),
                                    POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
}

// Descriptors a library opened without close-on-exec would otherwise reach the child.
int closeEverythingAboveStandardStreams([[maybe_unused]] FileActions& actions)
{
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
    return posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
#else
    return 0;
#endif
}

// glibc runs the file actions and exec in a vfork-like child, so their failures come back here.
int spawn(const std::string& executable, const std::vector<std::string>& arguments,
          FileActions& actions, SpawnAttributes& attributes, pid_t& pid)
{
    std::vector<std::string> argumentStorage;
    argumentStorage.reserve(arguments.size() + 1);
    argumentStorage.push_back(executable);
    argumentStorage.insert(argumentStorage.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    argv.reserve(argumentStorage.size() + 1);
    for (std::string& argument : argumentStorage) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    return posix_spawn(&pid, executable.c_str(), actions.get(), attributes.get(), argv.data(),
                       startEnvironment());
}

int decodeWaitStatus(int waitStatus)
{
    if (WIFEXITED(waitStatus)) {
        return WEXITSTATUS(waitStatus);
    }
    if (WIFSIGNALED(waitStatus)) {
        return WTERMSIG(waitStatus);
    }
    return unknownTerminationStatus;
}

std::optional<int> waitForTermination(pid_t pid)
{
    int waitStatus = 0;
    pid_t result;
    do {
        result = ::waitpid(pid, &waitStatus, 0);
    } while (result < 0 && errno == EINTR);
    if (result != pid) {
        return std::nullopt;
    }
    return decodeWaitStatus(waitStatus);
}

// A chdir failure and an exec failure both come back as a bare errno; looking at the directory
// afterwards tells which one it was.
int workingDirectoryError(const std::string& directory)
{
    struct stat info {};
    if (::stat(directory.c_str(), &info) != 0) {
        return errno;
    }
    if (!S_ISDIR(info.st_mode)) {
        return ENOTDIR;
    }
    if (::access(directory.c_str(), X_OK) != 0) {
        return errno;
    }
    return 0;
}

// Threads started meanwhile block every signal, leaving signals meant for the shell to the
// threads it set up for them.
class SignalsBlockedForNewThreads {
public:
    SignalsBlockedForNewThreads()
    {
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &previousMask);
    }
    SignalsBlockedForNewThreads(const SignalsBlockedForNewThreads&) = delete;
    SignalsBlockedForNewThreads& operator=(const SignalsBlockedForNewThreads&) = delete;
    ~SignalsBlockedForNewThreads() { pthread_sigmask(SIG_SETMASK, &previousMask, nullptr); }

private:
    sigset_t previousMask {};
};

struct ChildState {
    // Set once, before any other thread can see the state.
    pid_t pid = 0;
    std::mutex mutex;
    bool reaped = false;
    int terminationStatus = unknownTerminationStatus;
    int openStreams = 2;
    std::condition_variable streamEnded;
};

// How long the exit waits for the last output: a grandchild may hold the pipes
// open long after the child is gone.
constexpr auto outputGrace = std::chrono::milliseconds(500);

class PosixProcess final : public Process {
public:
    explicit PosixProcess(std::shared_ptr<ChildState> state) : child(std::move(state)) {}

    int pid() const override { return child->pid; }

    bool isRunning() const override
    {
        std::lock_guard lock(child->mutex);
        return !child->reaped;
    }

    void terminate() override { sendSignal(SIGTERM); }
    void kill() override { sendSignal(SIGKILL); }

    int terminationStatus() const override
    {
        std::lock_guard lock(child->mutex);
        return child->terminationStatus;
    }

private:
    // The waiter reaps under the same mutex, so the pid cannot have been reused here.
    void sendSignal(int signalNumber)
    {
        std::lock_guard lock(child->mutex);
        if (!child->reaped) {
            ::kill(child->pid, signalNumber);
        }
    }

    std::shared_ptr<ChildState> child;
};

void readStream(UniqueFd fd, const std::function<void(std::string_view)>& onChunk,
                const std::shared_ptr<ChildState>& state)
{
    // Freed before the end is announced: whoever waits for the end may exit at once.
    {
        // Left uninitialised: the pages are only touched as far as output ever reaches,
        // so a quiet stream costs a few pages, not a megabyte.
        const auto buffer = std::make_unique_for_overwrite<char[]>(chunkSize);
        for (;;) {
            ssize_t count = ::read(fd.get(), buffer.get(), chunkSize);
            if (count < 0 && errno == EINTR) {
                continue;
            }
            if (count <= 0) {
                break;
            }
            if (onChunk) {
                onChunk(std::string_view(buffer.get(), static_cast<std::size_t>(count)));
            }
        }
    }
    // Closed before the end is announced, so whoever sees the end sees no descriptor left.
    fd.reset();
    {
        std::lock_guard lock(state->mutex);
        --state->openStreams;
    }
    state->streamEnded.notify_all();
    if (onChunk) {
        onChunk({});
    }
}

// Waiting with WNOWAIT leaves the child a zombie, so its pid stays ours until the reap, which
// happens under the mutex that guards every signal.
void awaitExit(const std::shared_ptr<ChildState>& state, const std::function<void(int)>& onExit)
{
    siginfo_t info {};
    int result;
    do {
        result = ::waitid(P_PID, static_cast<id_t>(state->pid), &info, WEXITED | WNOWAIT);
    } while (result != 0 && errno == EINTR);

    int terminationStatus = unknownTerminationStatus;
    {
        std::lock_guard lock(state->mutex);
        if (result == 0) {
            terminationStatus = waitForTermination(state->pid).value_or(unknownTerminationStatus);
        }
        state->terminationStatus = terminationStatus;
        state->reaped = true;
    }
    // The output written before the exit is handled before the exit, so the last
    // words of a server reach whoever reports its exit.
    {
        std::unique_lock lock(state->mutex);
        state->streamEnded.wait_for(lock, outputGrace, [&] { return state->openStreams == 0; });
    }
    if (onExit) {
        onExit(terminationStatus);
    }
}

}  // namespace

LaunchResult PosixProcessLauncher::launch(LaunchRequest request)
{
    auto failure = [&request](int error, const std::string& subject = {}) {
        std::string description = "Failed to launch " + request.executable + ": "
                                  + describeError(error);
        if (!subject.empty()) {
            description += ": " + subject;
        }
        return LaunchResult {nullptr, std::move(description)};
    };

    Pipe output;
    Pipe errors;
    if (int error = openPipe(output)) {
        return failure(error);
    }
    if (int error = openPipe(errors)) {
        return failure(error);
    }

    FileActions actions;
    if (int error = actions.initError()) {
        return failure(error);
    }
    if (int error = posix_spawn_file_actions_adddup2(actions.get(), output.writeEnd.get(),
                                                     STDOUT_FILENO)) {
        return failure(error);
    }
    if (int error = posix_spawn_file_actions_adddup2(actions.get(), errors.writeEnd.get(),
                                                     STDERR_FILENO)) {
        return failure(error);
    }
    if (int error = closeEverythingAboveStandardStreams(actions)) {
        return failure(error);
    }
    if (!request.workingDirectory.empty()) {
        if (int error = posix_spawn_file_actions_addchdir_np(actions.get(),
                                                             request.workingDirectory.c_str())) {
            return failure(error);
        }
    }

    SpawnAttributes attributes;
    if (int error = resetChildSignals(attributes)) {
        return failure(error);
    }

    // Allocated up front: once the child exists, nothing may fail without it being cleaned up.
    auto state = std::make_shared<ChildState>();
    auto process = std::make_shared<PosixProcess>(state);
    std::promise<bool> start;
    std::shared_future<bool> started = start.get_future().share();

    pid_t pid = 0;
    if (int error = spawn(request.executable, request.arguments, actions, attributes, pid)) {
        if (!request.workingDirectory.empty()) {
            if (int directoryError = workingDirectoryError(request.workingDirectory)) {
                return failure(directoryError, request.workingDirectory);
            }
        }
        return failure(error);
    }
    output.writeEnd.reset();
    errors.writeEnd.reset();

    state->pid = pid;

    // The threads hold back until all three exist, so a failure to start one never leaves a
    // child half watched or a handler called for a launch that failed.
    auto abandon = [&](int error) {
        start.set_value(false);
        ::kill(pid, SIGKILL);
        waitForTermination(pid);
        return failure(error);
    };
    try {
        SignalsBlockedForNewThreads blocked;
        std::thread([started, state, fd = output.readEnd.get(),
                     onChunk = std::move(request.onStandardOutput)] {
            if (started.get()) {
                readStream(UniqueFd(fd), onChunk, state);
            }
        }).detach();
        std::thread([started, state, fd = errors.readEnd.get(),
                     onChunk = std::move(request.onStandardError)] {
            if (started.get()) {
                readStream(UniqueFd(fd), onChunk, state);
            }
        }).detach();
        std::thread([started, state, onExit = std::move(request.onExit)] {
            if (started.get()) {
                awaitExit(state, onExit);
            }
        }).detach();
    } catch (const std::system_error& error) {
        return abandon(error.code().value());
    } catch (const std::bad_alloc&) {
        return abandon(ENOMEM);
    }

    output.readEnd.release();
    errors.readEnd.release();
    start.set_value(true);
    return LaunchResult {std::move(process), {}};
}

std::optional<int> PosixProcessLauncher::runToCompletion(const std::string& executable,
                                                         const std::vector<std::string>& arguments)
{
    FileActions actions;
    if (actions.initError() != 0) {
        return std::nullopt;
    }
    if (posix_spawn_file_actions_addopen(actions.get(), STDOUT_FILENO, "/dev/null", O_WRONLY, 0)
        != 0) {
        return std::nullopt;
    }
    if (posix_spawn_file_actions_adddup2(actions.get(), STDOUT_FILENO, STDERR_FILENO) != 0) {
        return std::nullopt;
    }
    if (closeEverythingAboveStandardStreams(actions) != 0) {
        return std::nullopt;
    }

    SpawnAttributes attributes;
    if (resetChildSignals(attributes) != 0) {
        return std::nullopt;
    }

    pid_t pid = 0;
    if (spawn(executable, arguments, actions, attributes, pid) != 0) {
        return std::nullopt;
    }
    return waitForTermination(pid).value_or(unknownTerminationStatus);
}

}  // namespace quorva
