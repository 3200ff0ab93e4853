#include "output/error_tail.h"

#include "output/grapheme.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace quorva {

namespace {

// Walks back from the end: the work stops after `limit` characters however long
// the text, which suits a chunk at least as long as the whole tail.
void keepLastCharacters(std::string& tail, std::size_t& characters, std::size_t limit)
{
    GraphemeCursor cursor(tail);
    icu::BreakIterator& boundaries = cursor.iterator();
    int32_t start = boundaries.last();
    std::size_t kept = 0;
    while (kept < limit) {
        const int32_t previous = boundaries.previous();
        if (previous == icu::BreakIterator::DONE)
            break;
        start = previous;
        ++kept;
    }
    tail.erase(0, static_cast<std::size_t>(start));
    characters = kept;
}

}  // namespace

void appendToTail(std::string& tail, std::size_t& characters, std::string_view chunk,
                  std::size_t limit)
{
    if (chunk.empty())
        return;
    if (chunk.size() >= limit || tail.empty()) {
        tail.append(chunk);
        keepLastCharacters(tail, characters, limit);
        return;
    }
    // A short chunk: only the tail's last character can join it, everything
    // before keeps its boundaries, so only that character and the chunk are
    // counted, and the cut walks over no more than the chunk added.
    std::size_t lastStart = 0;
    {
        GraphemeCursor cursor(tail);
        icu::BreakIterator& old = cursor.iterator();
        old.last();
        lastStart = static_cast<std::size_t>(old.previous());
    }
    tail.append(chunk);
    characters = characters - 1 + countCharacters(std::string_view(tail).substr(lastStart));
    if (characters <= limit)
        return;

    GraphemeCursor cursor(tail);
    icu::BreakIterator& boundaries = cursor.iterator();
    int32_t cut = boundaries.first();
    for (std::size_t dropped = characters - limit; dropped > 0; --dropped)
        cut = boundaries.next();
    tail.erase(0, static_cast<std::size_t>(cut));
    characters = limit;
}

void appendToTailLazily(std::string& tail, std::size_t& characters, std::size_t& unsettled,
                        std::string_view chunk, std::size_t limit, std::size_t slack)
{
    if (chunk.empty())
        return;
    if (unsettled == 0 && chunk.size() < limit)
        return appendToTail(tail, characters, chunk, limit);
    // Cut before the tail would outgrow the slack, so it never holds more than the
    // slack or one chunk beside the kept characters: memory stays as flat as the cut's.
    if (unsettled + chunk.size() > slack)
        settleTail(tail, characters, unsettled, limit);
    tail.append(chunk);
    unsettled += chunk.size();
    if (unsettled >= slack)
        settleTail(tail, characters, unsettled, limit);
}

void settleTail(std::string& tail, std::size_t& characters, std::size_t& unsettled,
                std::size_t limit)
{
    if (unsettled == 0)
        return;
    keepLastCharacters(tail, characters, limit);
    unsettled = 0;
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
