#include "output/grapheme.h"

#include <unicode/utf8.h>

#include <cassert>
#include <stdexcept>

namespace quorva {

namespace {

icu::BreakIterator& threadIterator()
{
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> created(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status) || !created)
            throw std::runtime_error("ICU character break iterator unavailable");
        return created;
    }();
    return *iterator;
}

}  // namespace

namespace {

// The iterator is shared: a second cursor on the same thread would retarget the first.
thread_local bool cursorOpen = false;

}  // namespace

GraphemeCursor::GraphemeCursor(std::string_view text) : breaks(&threadIterator())
{
    assert(!cursorOpen);
    cursorOpen = true;
    UErrorCode status = U_ZERO_ERROR;
    utf8Text = utext_openUTF8(nullptr, text.data(), static_cast<int64_t>(text.size()), &status);
    breaks->setText(utf8Text, status);
}

GraphemeCursor::~GraphemeCursor()
{
    // Detach the shared iterator from text that is about to go away.
    breaks->setText(icu::UnicodeString());
    utext_close(utf8Text);
    cursorOpen = false;
}

char32_t codePointAt(std::string_view text, std::size_t offset)
{
    UChar32 c;
    auto index = static_cast<int32_t>(offset);
    U8_NEXT(reinterpret_cast<const uint8_t*>(text.data()), index,
            static_cast<int32_t>(text.size()), c);
    return static_cast<char32_t>(c);
}

}  // namespace quorva
