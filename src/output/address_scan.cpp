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
    for (std::size_t offset = 0; offset < text.size();) {
        const char32_t codePoint = codePointAt(text, offset);
        if (u_isUWhiteSpace(static_cast<UChar32>(codePoint)))
            return true;
        offset += U8_LENGTH(codePoint);
    }
    return false;
}

}  // namespace quorva
