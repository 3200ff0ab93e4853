#pragma once

#include "platform/platform.h"

namespace quorva {

// Strict RFC 3986 parsing through GUri.
class GlibUrlParser final : public UrlParser {
public:
    std::optional<Url> parse(std::string_view text) const override;
};

}  // namespace quorva
