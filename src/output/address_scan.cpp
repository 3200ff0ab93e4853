#include "output/address_scan.h"

#include "output/grapheme.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace quorva {

std::optional<std::string_view> findAddressCandidate(std::string_view text)
{
    const std::size_t start = text.find(serverAddressPrefix);
    if (start == std::string_view::npos)
        return std::nullopt;
    const std::string_view rest = text.substr(start);
    GraphemeCursor cursor(rest);
    icu::BreakIterator& characters = cursor.iterator();
    int32_t begin = characters.first();
    for (int32_t end = characters.next(); end != icu::BreakIterator::DONE;
         begin = end, end = characters.next()) {
        if (u_isUWhiteSpace(static_cast<UChar32>(codePointAt(rest, static_cast<std::size_t>(begin)))))
            return rest.substr(0, static_cast<std::size_t>(begin));
    }
    return rest;
}

bool containsWhitespace(std::string_view text)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t offset = 0; offset < length;) {
        UChar32 codePoint;
        // U8_NEXT moves past an ill-formed sequence too, so no input can stall the scan.
        U8_NEXT(bytes, offset, length, codePoint);
        if (codePoint >= 0 && u_isUWhiteSpace(codePoint))
            return true;
    }
    return false;
}

}  // namespace quorva
