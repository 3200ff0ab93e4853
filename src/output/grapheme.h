#pragma once

#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include <memory>
#include <string_view>

namespace quorva {

// A character break iterator over UTF-8 text, reused per thread because
// creating one costs far more than a chunk's worth of segmentation.
class GraphemeCursor {
public:
    explicit GraphemeCursor(std::string_view text);
    ~GraphemeCursor();
    GraphemeCursor(const GraphemeCursor&) = delete;
    GraphemeCursor& operator=(const GraphemeCursor&) = delete;

    icu::BreakIterator& iterator() { return *breaks; }

private:
    icu::BreakIterator* breaks;
    UText* utf8Text = nullptr;
};

// The code point that starts at `offset` of valid UTF-8 text.
char32_t codePointAt(std::string_view text, std::size_t offset);

}  // namespace quorva
