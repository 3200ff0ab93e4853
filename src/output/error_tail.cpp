#include "output/error_tail.h"

#include "output/grapheme.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace quorva {

void appendToTail(std::string& tail, std::string_view chunk, std::size_t limit)
{
    tail.append(chunk);
    // Walk back from the end: the work stops after `limit` characters, however
    // long the chunk, and a character that spans the join is counted once.
    GraphemeCursor cursor(tail);
    icu::BreakIterator& characters = cursor.iterator();
    int32_t start = characters.last();
    std::size_t kept = 0;
    while (kept < limit) {
        const int32_t previous = characters.previous();
        if (previous == icu::BreakIterator::DONE)
            return;
        start = previous;
        ++kept;
    }
    if (start > 0)
        tail.erase(0, static_cast<std::size_t>(start));
}

std::size_t countCharacters(std::string_view text)
{
    GraphemeCursor cursor(text);
    icu::BreakIterator& characters = cursor.iterator();
    std::size_t count = 0;
    characters.first();
    while (characters.next() != icu::BreakIterator::DONE)
        ++count;
    return count;
}

std::string trimWhitespace(std::string_view text)
{
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t begin = 0;
    while (begin < length) {
        int32_t next = begin;
        UChar32 c;
        U8_NEXT(bytes, next, length, c);
        if (!u_isUWhiteSpace(c))
            break;
        begin = next;
    }
    int32_t end = length;
    while (end > begin) {
        int32_t previous = end;
        UChar32 c;
        U8_PREV(bytes, 0, previous, c);
        if (!u_isUWhiteSpace(c))
            break;
        end = previous;
    }
    return std::string(text.substr(static_cast<std::size_t>(begin),
                                   static_cast<std::size_t>(end - begin)));
}

}  // namespace quorva
