#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace quorva {

constexpr std::size_t stderrTailLimit = 4000;

// Appends valid UTF-8 text and keeps only the last `limit` user-perceived
// characters; `characters` is the tail's count and is kept up to date. Costs in
// proportion to the chunk and to what is cut, not to what is kept.
void appendToTail(std::string& tail, std::size_t& characters, std::string_view chunk,
                  std::size_t limit = stderrTailLimit);

// The same result, cut lazily: a chunk of `limit` bytes or more, or any chunk
// while an earlier one waits, is only added, and the text is cut once `unsettled`
// (bytes added since the last cut) would pass `slack`. A flood of large chunks then
// pays the walk over the last `limit` characters once per `slack` bytes instead of
// once per chunk. `settleTail` makes the tail exact; read it only after that.
constexpr std::size_t stderrTailSlack = 512 * 1024;
void appendToTailLazily(std::string& tail, std::size_t& characters, std::size_t& unsettled,
                        std::string_view chunk, std::size_t limit = stderrTailLimit,
                        std::size_t slack = stderrTailSlack);
void settleTail(std::string& tail, std::size_t& characters, std::size_t& unsettled,
                std::size_t limit = stderrTailLimit);

std::size_t countCharacters(std::string_view text);

// Removes Unicode White_Space, line breaks included, from both ends.
std::string trimWhitespace(std::string_view text);

}  // namespace quorva
