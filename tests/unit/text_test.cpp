#include "output/address_scan.h"
#include "output/error_tail.h"
#include "output/utf8.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace quorva {
namespace {

TEST(Utf8, StrictDecodingAcceptsOnlyWellFormedText)
{
    // The last two: NUL is a character, and one may stay open across the fast path's blocks.
    for (const std::string& bytes : std::vector<std::string>{
             "", "plain ascii, long enough to take the fast path", "กำลังเปิด QUORVA…",
             "\xF0\x9F\x98\x80",  // U+1F600
             "\xF4\x8F\xBF\xBF",  // U+10FFFF
             "abcdefgh\xE0\xB8\x81xyz", std::string("a\0b", 3), std::string(63, 'a') + "ก"})
        EXPECT_TRUE(isValidUtf8(bytes)) << testing::PrintToString(bytes);
    for (const std::string bytes : {
             "\xFF", "abc\xFF",
             "\xC0\xAF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF",  // overlong
             "\xED\xA0\x80",  // surrogate U+D800
             "\xF4\x90\x80\x80", "\xF5\x80\x80\x80",  // above U+10FFFF
             "\xE0\xB8", "\xB8\x81",  // a Thai letter cut short, and its other half
             "\x80",  // lone continuation
             "abcdefghij\xC3"})  // truncated after the fast path
        EXPECT_FALSE(isValidUtf8(bytes)) << testing::PrintToString(bytes);
}

// The tail keeps the last 4000 user-perceived characters, whatever came before, and is shown
// trimmed of Unicode whitespace.
TEST(ErrorTail, KeepsTheLastCharactersAndTrimsUnicodeWhitespace)
{
    const auto times = [](std::size_t count, char c) { return std::string(count, c); };
    std::string thai;
    for (int i = 0; i < 4001; ++i)
        thai += "ลั";  // one character, six bytes
    const std::string old3990 = "0123456789" + times(3980, 'x');
    // The tail so far, the chunk, the tail after it.
    const std::array<std::string, 3> cases[] = {
        {"", times(6000, 'a') + times(4000, 'b'), times(4000, 'b')},
        {old3990, times(20, 'y'), old3990.substr(10) + times(20, 'y')},
        {old3990, times(10, 'y'), old3990 + times(10, 'y')},
        {"", times(4000, 'z'), times(4000, 'z')},
        {times(3999, 'a'), "\r\n", times(3999, 'a') + "\r\n"},
        {times(3998, 'a') + "\r", "\nb", times(3998, 'a') + "\r\nb"},  // CR LF is one
        {times(4000, 'e'), "\u0301", times(4000, 'e') + "\u0301"},
        {"", thai, thai.substr(6)},
    };
    for (const auto& [before, chunk, expected] : cases) {
        std::string tail = before;
        std::size_t characters = countCharacters(tail);
        appendToTail(tail, characters, chunk);
        EXPECT_EQ(tail, expected) << chunk.substr(0, 20);
        EXPECT_EQ(characters, countCharacters(tail)) << chunk.substr(0, 20);
    }

    // CR LF, a combining accent and a nonspacing mark count as the cuts above show.
    EXPECT_EQ(countCharacters("กำลัง"), 3u);  // กำ, ลั, ง
    EXPECT_EQ(countCharacters("\U0001F1F9\U0001F1ED"), 1u);  // a flag

    EXPECT_EQ(trimWhitespace(" \t\r\n\v\f\u0085\u00A0\u2028\u3000 err \n x \u2029"), "err \n x");
    EXPECT_EQ(trimWhitespace("\n\n  \n"), "");
    EXPECT_EQ(trimWhitespace("ผิดพลาด"), "ผิดพลาด");
    // A zero width space is no White_Space.
    EXPECT_EQ(trimWhitespace("\u200Bx\u200B"), "\u200Bx\u200B");
}

TEST(AddressScan, CandidateRunsToTheFirstWhitespaceCharacter)
{
    const std::pair<std::string, std::optional<std::string>> cases[] = {
        {"Serving on http://127.0.0.1:8765/\n", "http://127.0.0.1:8765/"},
        {"open http://127.0.0.1:8765/?view=all now\n", "http://127.0.0.1:8765/?view=all"},
        {"xhttp://127.0.0.1:8765/\n", "http://127.0.0.1:8765/"},
        {"http://127.0.0.1:8765/a http://127.0.0.1:9000/b\n", "http://127.0.0.1:8765/a"},
        {"http://127.0.0.1:8765/\r\n", "http://127.0.0.1:8765/"},
        {"http://127.0.0.1:8765/\u00A0next", "http://127.0.0.1:8765/"},
        {"http://127.0.0.1:8765/\u0085", "http://127.0.0.1:8765/"},
        {"http://127.0.0.1:8765/กา ข", "http://127.0.0.1:8765/กา"},
        {"HTTP://127.0.0.1:8765/\n", std::nullopt},
        {"http://localhost:8765/\n", std::nullopt},
        // A prepended mark takes the space after it into its character.
        {"http://127.0.0.1:8000/\u0600 (stop)\n", "http://127.0.0.1:8000/\u0600 (stop)"},
    };
    for (const auto& [chunk, candidate] : cases) {
        const auto found = findAddressCandidate(chunk);
        EXPECT_EQ(found ? std::optional<std::string>(*found) : std::nullopt, candidate) << chunk;
    }
    EXPECT_TRUE(containsWhitespace("http://127.0.0.1:8000/\u0600 (stop)"));
    EXPECT_FALSE(containsWhitespace("http://127.0.0.1:8765/?q=กา"));
    EXPECT_FALSE(containsWhitespace("http://127.0.0.1:8765/\xC3(\xFF")) << "ill-formed, yet it ends";
}

}  // namespace
}  // namespace quorva
