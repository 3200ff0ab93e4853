#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorva {

constexpr std::size_t stderrTailLimit = 4000;

// Appends valid UTF-8 text and keeps only the last `limit` user-perceived
// characters. Costs in proportion to the chunk plus what is kept.
void appendToTail(std::string& tail, std::string_view chunk, std::size_t limit = stderrTailLimit);

std::size_t countCharacters(std::string_view text);

// Removes Unicode White_Space, line breaks included, from both ends.
std::string trimWhitespace(std::string_view text);

}  // namespace quorva
