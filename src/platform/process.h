#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorva {

// A child process started by a ProcessLauncher. Every member is safe to call
// from any thread, also while the exit is being delivered.
class Process {
public:
    virtual ~Process() = default;

    virtual int pid() const = 0;
    virtual bool isRunning() const = 0;
    // SIGTERM; does nothing once the child has been reaped.
    virtual void terminate() = 0;
    // SIGKILL; does nothing once the child has been reaped.
    virtual void kill() = 0;
    // The exit code, or the signal number for a child ended by a signal;
    // meaningful only once isRunning() is false.
    virtual int terminationStatus() const = 0;
};

// Handlers run off the main thread. Chunks of one stream arrive one at a time
// and in order; an empty chunk marks the end of that stream. The exit arrives
// once, with the termination status.
struct LaunchRequest {
    std::string executable;
    std::vector<std::string> arguments;
    std::string workingDirectory;
    std::function<void(std::string_view chunk)> onStandardOutput;
    std::function<void(std::string_view chunk)> onStandardError;
    std::function<void(int terminationStatus)> onExit;
};

struct LaunchResult {
    std::shared_ptr<Process> process;  // null when the launch failed
    std::string errorDescription;      // names the cause when it failed
};

class ProcessLauncher {
public:
    virtual ~ProcessLauncher() = default;

    virtual LaunchResult launch(LaunchRequest request) = 0;

    // Runs a program with its output thrown away and waits for it. Gives the
    // termination status, or nothing when the program could not be started.
    virtual std::optional<int> runToCompletion(const std::string& executable,
                                               const std::vector<std::string>& arguments) = 0;
};

}  // namespace quorva
