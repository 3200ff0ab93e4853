#pragma once

#include "platform/platform.h"

#include <memory>

namespace quorva {

class AppDelegate;

// The process entry and the one delegate it keeps alive.
struct QUORVAShell {
    QUORVAShell() = delete;

    // Created on first use, exactly once, whatever thread asks first; never released.
    static const std::shared_ptr<AppDelegate>& delegate();
    // The platform the delegate is made with; the backend in use defines it.
    static Platform& platform();
    static int main(int argc, char** argv);
};

}  // namespace quorva
