#pragma once

#include "platform/platform.h"

namespace quorva {

// The user's default application for a URL's scheme, through GIO.
class GioWorkspace final : public Workspace {
public:
    void openURL(const Url& url) override;
};

}  // namespace quorva
