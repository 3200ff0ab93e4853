#pragma once

#include "platform/process.h"

namespace quorva {

// Children get the shell's environment and standard input, an empty signal mask, default SIGTERM
// and SIGINT, and no descriptor of the shell beyond their standard streams.
//
// A launched child is running until its waiter thread has seen it end and reaped it, so
// isRunning() can stay true for a moment after the child died; signals are only ever sent
// before that reap. Should something else in the shell reap the child first, its termination
// status is reported as -1.
class PosixProcessLauncher final : public ProcessLauncher {
public:
    LaunchResult launch(LaunchRequest request) override;
    std::optional<int> runToCompletion(const std::string& executable,
                                       const std::vector<std::string>& arguments) override;
};

}  // namespace quorva
