#pragma once

#include "app/app_delegate.h"
#include "output/error_tail.h"

namespace quorva {

// The tests' window onto the delegate's private state and operations.
struct AppDelegateProbe {
    static const std::shared_ptr<Process>& server(const AppDelegate& d) { return d.server; }
    static bool quitting(const AppDelegate& d) { return d.quitting.load(); }
    static bool launchFailed(const AppDelegate& d) { return d.launchFailed; }
    static std::string stderrTail(AppDelegate& d)
    {
        std::lock_guard lock(d.stderrLock);
        settleTail(d.stderrTail, d.stderrTailCharacters, d.stderrTailUnsettled);
        return d.stderrTail;
    }

    static std::optional<std::string> catalogPath(AppDelegate& d) { return d.catalogPath(); }
};

}  // namespace quorva
