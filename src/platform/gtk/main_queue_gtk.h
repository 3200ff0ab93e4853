#pragma once

#include "platform/platform.h"

namespace quorva {

// Work on the default GLib main context, which the GTK main loop runs.
class GlibMainQueue final : public MainQueue {
public:
    void async(std::function<void()> work) override;
    void asyncAfter(double seconds, std::function<void()> work) override;
};

// SIGTERM and SIGINT as events on the main loop.
class GlibSignalSources final : public SignalSources {
public:
    std::unique_ptr<SignalSource> watch(int signalNumber, std::function<void()> handler) override;
};

class GioWorkspace final : public Workspace {
public:
    void openURL(const Url& url) override;
};

}  // namespace quorva
