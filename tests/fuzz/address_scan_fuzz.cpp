#include "fuzz_check.h"
#include "output/address_scan.h"
#include "output/utf8.h"
#include "platform/gtk/url_glib.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quorva;
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // The shell drops output chunks that are not valid UTF-8 before scanning.
    if (!isValidUtf8(text))
        return 0;

    const auto candidate = findAddressCandidate(text);
    const std::size_t first = text.find(serverAddressPrefix);
    if (!candidate) {
        check(first == std::string_view::npos, "no candidate although the prefix occurs");
        return 0;
    }
    check(first != std::string_view::npos, "a candidate without the prefix in the text");
    check(candidate->starts_with(serverAddressPrefix), "candidate starts with the prefix");
    check(candidate->data() == text.data() + first, "candidate starts at the first occurrence");
    check(candidate->size() <= text.size() - first, "candidate lies within the text");
    check(isValidUtf8(*candidate), "candidate ends on a character boundary");
    // Whitespace can hide inside a character that starts otherwise; such a
    // candidate is never taken for an address.
    if (containsWhitespace(*candidate))
        return 0;
    check(candidate->find_first_of(" \t\n\v\f\r") == std::string_view::npos,
          "an accepted candidate holds no ASCII whitespace");

    const GlibUrlParser parser;
    if (const auto url = parser.parse(*candidate))
        check(url->text == *candidate, "parsed URL keeps the candidate text");
    return 0;
}
