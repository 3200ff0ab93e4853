#pragma once

#include "platform/platform.h"

#include <glib.h>

namespace quorva {

// Strict RFC 3986 parsing through GUri, for text that claims to be an address.
class GlibUrlParser final : public UrlParser {
public:
    std::optional<Url> parse(std::string_view text) const override;
};

// For the URLs WebKit reports, which follow its own, looser standard.
std::optional<Url> parseWebKitUrl(std::string_view text);

std::optional<Url> parseUrl(std::string_view text, GUriFlags flags);

}  // namespace quorva
