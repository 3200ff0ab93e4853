#pragma once

#include "platform/platform.h"

namespace quorva {

// Work on the default GLib main context, which the GTK main loop runs.
class GlibMainQueue final : public MainQueue {
public:
    void async(std::function<void()> work) override;
    void asyncAfter(double seconds, std::function<void()> work) override;
};

}  // namespace quorva
