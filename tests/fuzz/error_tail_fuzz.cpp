#include "fuzz_check.h"
#include "output/error_tail.h"
#include "output/utf8.h"

#include <glib.h>
#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

using quorva::check;

// GLib's validator, written apart from ours, refuses NUL, which the shell takes as a character.
bool validators(std::string_view bytes)
{
    const bool valid = quorva::isValidUtf8(bytes);
    check(bytes.find('\0') != std::string_view::npos ||
              valid == static_cast<bool>(g_utf8_validate_len(bytes.data(), bytes.size(), nullptr)),
          "validators agree");
    return valid;
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

}  // namespace

// The first byte picks the limit, the second how a pipe reader cuts the rest: every few bytes
// (characters cut in two, chunks dropped) or every few code points (clusters cut, all kept).
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quorva;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    validators(input);
    if (size < 2)
        return 0;
    const std::size_t limit = data[0] % 64 + 1, slack = data[0] / 64 * 32 + 1;
    const bool byCodePoint = data[1] % 2;
    const unsigned every = data[1] / 2 % 8 + 1;
    const std::string_view payload = input.substr(2);

    // The tail cut on every chunk, the one cut lazily, and everything appended.
    std::string tail, lazyTail, appended;
    std::size_t count = 0, lazyCount = 0, unsettled = 0, begin = 0;
    unsigned units = 0;
    for (std::size_t end = 1; end <= payload.size(); ++end) {
        const bool startsCodePoint =
            end == payload.size() || (static_cast<unsigned char>(payload[end]) & 0xC0) != 0x80;
        if (end < payload.size() && !((!byCodePoint || startsCodePoint) && ++units % every == 0))
            continue;
        const std::string_view chunk = payload.substr(begin, end - begin);
        begin = end;
        if (!validators(chunk))
            continue;
        appended.append(chunk);
        appendToTail(tail, count, chunk, limit);
        check(count == countCharacters(tail) && count <= limit, "the count is kept and bounded");
        check(appended.ends_with(tail), "tail is a suffix after each chunk");
        appendToTailLazily(lazyTail, lazyCount, unsettled, chunk, limit, slack);
        if (chunk.size() % 3 == 0) {
            settleTail(lazyTail, lazyCount, unsettled, limit);
            check(lazyTail == tail && lazyCount == count, "settled lazy tail is exact");
        }
    }
    check(tail == lastCharacters(appended, limit), "tail is exactly the last characters");
    settleTail(lazyTail, lazyCount, unsettled, limit);
    check(lazyTail == tail && lazyCount == count, "lazy tail ends exact");
    return 0;
}
