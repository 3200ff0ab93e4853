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
    int pending = 0;
    int length = 0;
    char32_t codePoint = 0;
    for (const char byte : bytes) {
        const auto value = static_cast<unsigned char>(byte);
        if (pending == 0) {
            if (value < 0x80)
                continue;
            if ((value & 0xE0) == 0xC0) {
                length = 2;
                codePoint = value & 0x1F;
            } else if ((value & 0xF0) == 0xE0) {
                length = 3;
                codePoint = value & 0x0F;
            } else if ((value & 0xF8) == 0xF0) {
                length = 4;
                codePoint = value & 0x07;
            } else {
                return false;
            }
            pending = length - 1;
            continue;
        }
        if ((value & 0xC0) != 0x80)
            return false;
        codePoint = (codePoint << 6) | (value & 0x3F);
        if (--pending > 0)
            continue;
        const char32_t shortest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (codePoint < shortest || codePoint > 0x10FFFF ||
            (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
    }
    return pending == 0;
}

// Byte offsets of the chunk ends, in one of several ways a pipe reader could
// cut the stream.
std::vector<std::size_t> chunkEnds(std::string_view payload, unsigned selector)
{
    std::vector<std::size_t> ends;
    const unsigned parameter = selector / 4;
    switch (selector % 4) {
    case 0: {
        const std::size_t step = parameter % 16 + 1;
        for (std::size_t end = step; end < payload.size(); end += step)
            ends.push_back(end);
        break;
    }
    case 1: {
        // Every few code points: valid input then splits inside characters
        // but never inside a code point.
        const unsigned every = parameter % 8 + 1;
        unsigned seen = 0;
        for (std::size_t i = 1; i < payload.size(); ++i) {
            if ((static_cast<unsigned char>(payload[i]) & 0xC0) != 0x80 && ++seen % every == 0)
                ends.push_back(i);
        }
        break;
    }
    case 2:
        for (std::size_t i = 0; i + 1 < payload.size(); ++i) {
            if (payload[i] == '\n')
                ends.push_back(i + 1);
        }
        break;
    default: {
        std::uint32_t state = parameter * 2654435761U + 1;
        for (std::size_t end = 0;;) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            end += state % 32 + 1;
            if (end >= payload.size())
                break;
            ends.push_back(end);
        }
        break;
    }
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
    for (int32_t at = characters->first(); at != icu::BreakIterator::DONE;
         at = characters->next())
        boundaries.push_back(at);
    characters->setText(icu::UnicodeString());
    utext_close(utf8Text);
    const std::size_t count = boundaries.size() - 1;
    if (count <= limit)
        return text;
    return text.substr(static_cast<std::size_t>(boundaries[count - limit]));
}

void checkTail(const std::string& tail, const std::string& all, std::size_t limit)
{
    check(isValidUtf8(tail), "tail is valid UTF-8");
    check(all.ends_with(tail), "tail is a suffix of everything appended");
    check(countCharacters(tail) <= limit, "tail keeps at most the limit");
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
    const std::vector<std::size_t> ends = chunkEnds(payload, data[1]);

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
    for (const std::size_t end : ends) {
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
    checkTail(shortTail, appended, limit);
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
    check(realCount == countCharacters(realTail), "the kept count matches the real tail");
    checkTail(realTail, repeated, stderrTailLimit);
    return 0;
}
