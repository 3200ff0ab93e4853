#include "platform/posix/system_posix.h"

#include <cerrno>
#include <csignal>
#include <pthread.h>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace quorva {

namespace {

std::vector<std::string> keptVariables;
std::vector<char*> keptEnvironment;

}  // namespace

void keepStartEnvironment()
{
    for (char** entry = environ; entry && *entry; ++entry)
        keptVariables.emplace_back(*entry);
    for (std::string& variable : keptVariables)
        keptEnvironment.push_back(variable.data());
    keptEnvironment.push_back(nullptr);
}

char* const* startEnvironment()
{
    return keptEnvironment.empty() ? environ : keptEnvironment.data();
}

std::map<std::string, std::string> PosixEnvironment::snapshot() const
{
    std::map<std::string, std::string> variables;
    for (char* const* entry = startEnvironment(); entry && *entry; ++entry) {
        const std::string_view text(*entry);
        const auto equals = text.find('=');
        if (equals == std::string_view::npos)
            continue;
        variables.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
    }
    return variables;
}

std::optional<std::string> PosixEnvironment::get(const std::string& name) const
{
    for (char* const* entry = startEnvironment(); entry && *entry; ++entry) {
        const std::string_view text(*entry);
        if (text.size() > name.size() && text[name.size()] == '=' && text.starts_with(name))
            return std::string(text.substr(name.size() + 1));
    }
    return std::nullopt;
}

std::string PosixEnvironment::homeDirectory() const
{
    if (const char* home = std::getenv("HOME"); home && *home)
        return home;
    if (const passwd* entry = getpwuid(getuid()); entry && entry->pw_dir)
        return entry->pw_dir;
    return "/";
}

PosixFileSystem::PosixFileSystem(std::optional<std::string> resourceDirectory)
    : resources(std::move(resourceDirectory))
{
}

bool PosixFileSystem::createDirectories(const std::string& path)
{
    std::error_code error;
    std::filesystem::create_directories(path, error);
    return !error;
}

namespace {

bool isRegularFileWithAccess(const std::string& path, int mode)
{
    struct stat status {};
    if (path.empty() || stat(path.c_str(), &status) != 0 || S_ISDIR(status.st_mode))
        return false;
    return access(path.c_str(), mode) == 0;
}

}  // namespace

bool PosixFileSystem::isReadableFile(const std::string& path) const
{
    return isRegularFileWithAccess(path, R_OK);
}

bool PosixFileSystem::isExecutableFile(const std::string& path) const
{
    return isRegularFileWithAccess(path, X_OK);
}

std::optional<std::string> PosixFileSystem::resourceDirectory() const
{
    return resources;
}

std::optional<std::string> PosixFileSystem::resourceDirectoryOfExecutable()
{
    std::error_code error;
    const auto executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return std::nullopt;
    return (executable.parent_path() / ".." / "share" / "quorva").lexically_normal().string();
}

double SteadyClock::now() const
{
    using Seconds = std::chrono::duration<double>;
    return std::chrono::duration_cast<Seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void SteadyClock::sleepMicroseconds(unsigned microseconds)
{
    std::this_thread::sleep_for(std::chrono::microseconds(microseconds));
}

bool PosixThisProcess::writeStandardError(std::string_view text)
{
    // A closed pipe must cost the line, not the process: hold SIGPIPE back for
    // this one write and swallow it, leaving its disposition alone.
    sigset_t pipeSignal;
    sigemptyset(&pipeSignal);
    sigaddset(&pipeSignal, SIGPIPE);
    sigset_t previousMask;
    pthread_sigmask(SIG_BLOCK, &pipeSignal, &previousMask);
    sigset_t pendingBefore;
    sigpending(&pendingBefore);

    ssize_t written;
    do {
        written = ::write(STDERR_FILENO, text.data(), text.size());
    } while (written < 0 && errno == EINTR);
    const int writeError = errno;

    if (written < 0 && writeError == EPIPE && !sigismember(&pendingBefore, SIGPIPE)) {
        const timespec noWait{};
        while (sigtimedwait(&pipeSignal, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    return written == static_cast<ssize_t>(text.size());
}

void PosixThisProcess::exit(int status)
{
    std::exit(status);
}

}  // namespace quorva
