#pragma once

#include "platform/platform.h"

namespace quorva {

// Signals as events on the main loop, through GLib's unix signal sources.
class GlibSignalSources final : public SignalSources {
public:
    std::unique_ptr<SignalSource> watch(int signalNumber, std::function<void()> handler) override;
};

}  // namespace quorva
