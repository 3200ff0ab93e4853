#include "fuzz_check.h"
#include "output/error_tail.h"
#include "output/utf8.h"

#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quorva {

namespace {

// Decodes byte by byte and only then judges the code point, so it shares no
// shortcut with the lead-byte tables of the code under test.
bool referenceIsValidUtf8(std::string_view bytes)
{
    for (std::size_t i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i++]);
        const int length = lead < 0x80 ? 1
                           : (lead & 0xE0) == 0xC0 ? 2
                           : (lead & 0xF0) == 0xE0 ? 3
                           : (lead & 0xF8) == 0xF0 ? 4
                                                   : 0;
        if (length == 0)
            return false;
        char32_t codePoint = length == 1 ? lead : lead & (0x7F >> length);
        for (int k = 1; k < length; ++k, ++i) {
            if (i == bytes.size() || (static_cast<unsigned char>(bytes[i]) & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (bytes[i] & 0x3F);
        }
        const char32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < shortest[length] || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
    }
    return true;
}

// Byte offsets of the chunk ends, in one of several ways a pipe reader could
// cut the stream.
std::vector<std::size_t> chunkEnds(std::string_view payload, unsigned selector)
{
    std::vector<std::size_t> ends;
    const unsigned parameter = selector / 4;
    std::uint32_t state = parameter * 2654435761U + 1;
    unsigned seen = 0;
    for (std::size_t end = 1; end < payload.size(); ++end) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const bool startsCodePoint = (static_cast<unsigned char>(payload[end]) & 0xC0) != 0x80;
        const bool cut[] = {
            end % (parameter % 16 + 1) == 0,
            // Every few code points: valid input then splits inside characters
            // but never inside a code point.
            startsCodePoint && ++seen % (parameter % 8 + 1) == 0,
            payload[end - 1] == '\n',
            state % 16 == 0,
        };
        if (cut[selector % 4])
            ends.push_back(end);
    }
    ends.push_back(payload.size());
    return ends;
}

// The last `limit` characters found by walking forward over the whole text,
// where the code under test walks backward over a tail it already trimmed.
std::string_view lastCharacters(std::string_view text, std::size_t limit)
{
    static const std::unique_ptr<icu::BreakIterator> characters = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> created(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        check(U_SUCCESS(status) && created, "ICU character iterator available");
        return created;
    }();
    UErrorCode status = U_ZERO_ERROR;
    UText* utf8Text =
        utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    characters->setText(utf8Text, status);
    check(U_SUCCESS(status), "ICU accepts the text");
    std::vector<int32_t> boundaries;
    for (int32_t at = characters->first(); at != icu::BreakIterator::DONE; at = characters->next())
        boundaries.push_back(at);
    characters->setText(icu::UnicodeString());
    utext_close(utf8Text);
    const std::size_t count = boundaries.size() - 1;
    return count <= limit ? text : text.substr(static_cast<std::size_t>(boundaries[count - limit]));
}

void checkTail(const std::string& tail, std::size_t count, const std::string& all,
               std::size_t limit)
{
    check(count == countCharacters(tail), "the kept count matches the tail");
    check(isValidUtf8(tail), "tail is valid UTF-8");
    check(all.ends_with(tail), "tail is a suffix of everything appended");
    check(count <= limit, "tail keeps at most the limit");
    check(tail == lastCharacters(all, limit), "tail is exactly the last characters");
}

}  // namespace

}  // namespace quorva

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quorva;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    check(isValidUtf8(input) == referenceIsValidUtf8(input), "validators agree on the input");
    if (size < 2)
        return 0;
    const std::size_t limit = data[0] % 64 + 1;
    const std::string_view payload = input.substr(2);

    std::string shortTail;
    std::size_t shortCount = 0;
    // The lazy cut, with a slack and settling points from the input, must end exact too.
    std::string lazyTail;
    std::size_t lazyCount = 0;
    std::size_t lazyUnsettled = 0;
    const std::size_t slack = data[1] % 96 + 1;
    std::string appended;
    std::vector<std::string_view> validChunks;
    std::size_t begin = 0;
    for (const std::size_t end : chunkEnds(payload, data[1])) {
        const std::string_view chunk = payload.substr(begin, end - begin);
        begin = end;
        const bool valid = isValidUtf8(chunk);
        check(valid == referenceIsValidUtf8(chunk), "validators agree on a chunk");
        if (chunk.empty() || !valid)
            continue;
        validChunks.push_back(chunk);
        appended.append(chunk);
        appendToTail(shortTail, shortCount, chunk, limit);
        check(shortCount == countCharacters(shortTail), "the kept count matches the tail");
        check(shortCount <= limit, "short tail keeps at most the limit");
        check(appended.ends_with(shortTail), "short tail is a suffix after each chunk");
        appendToTailLazily(lazyTail, lazyCount, lazyUnsettled, chunk, limit, slack);
        if (chunk.size() % 3 == 0) {
            settleTail(lazyTail, lazyCount, lazyUnsettled, limit);
            check(lazyTail == shortTail && lazyCount == shortCount, "settled lazy tail is exact");
        }
    }
    checkTail(shortTail, shortCount, appended, limit);
    settleTail(lazyTail, lazyCount, lazyUnsettled, limit);
    check(lazyTail == shortTail && lazyCount == shortCount, "lazy tail ends exact");

    // Repeating the stream makes the real limit bite on short inputs; the
    // chunks are merged into larger ones to keep an input fast, and they still
    // split characters.
    const std::size_t rounds = data[0] >> 6 == 3 ? 8192 / (appended.size() + 1) + 1 : 1;
    std::string realTail;
    std::size_t realCount = 0;
    std::string repeated;
    std::string pending;
    for (std::size_t round = 0; round < rounds; ++round) {
        for (const std::string_view chunk : validChunks) {
            pending.append(chunk);
            if (pending.size() < 1024)
                continue;
            repeated.append(pending);
            appendToTail(realTail, realCount, pending);
            pending.clear();
        }
    }
    if (!pending.empty()) {
        repeated.append(pending);
        appendToTail(realTail, realCount, pending);
    }
    checkTail(realTail, realCount, repeated, stderrTailLimit);
    return 0;
}
