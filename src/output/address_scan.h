#pragma once

#include <optional>
#include <string_view>

namespace quorva {

constexpr std::string_view serverAddressPrefix = "http://127.0.0.1:";

// The text from the first occurrence of the address prefix up to the first
// character that starts with a White_Space code point, or to the end.
std::optional<std::string_view> findAddressCandidate(std::string_view text);

// A character that starts with a non-space code point can still carry a space
// (a prepended mark joins the space after it); no address holds one.
bool containsWhitespace(std::string_view text);

}  // namespace quorva
