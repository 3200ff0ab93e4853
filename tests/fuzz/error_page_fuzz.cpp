#include "fuzz_check.h"
#include "pages/status_pages.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorva {

namespace {

// The fixed parts of the page, recovered from one render with markers that
// the template cannot contain, so the oracle does not copy the template.
struct PageParts {
    std::string head;
    std::string middle;
    std::string tail;
    std::string emptyDetail;
};

const PageParts& pageParts()
{
    static const PageParts parts = [] {
        constexpr std::string_view titleMarker = "\x01" "title" "\x01";
        constexpr std::string_view detailMarker = "\x02" "detail" "\x02";
        const std::string page = errorPage(titleMarker, detailMarker);
        const std::size_t title = page.find(titleMarker);
        const std::size_t detail = page.find(detailMarker);
        check(title != std::string::npos && detail != std::string::npos && title < detail,
              "markers appear in order");
        PageParts found;
        found.head = page.substr(0, title);
        found.middle =
            page.substr(title + titleMarker.size(), detail - title - titleMarker.size());
        found.tail = page.substr(detail + detailMarker.size());
        check(found.head.starts_with("<!DOCTYPE html>"), "head opens the document");
        check(found.tail.ends_with("</html>"), "tail closes the document");

        const std::string empty = errorPage("", "");
        const std::size_t emptyStart = found.head.size() + found.middle.size();
        check(empty.size() > emptyStart + found.tail.size(), "empty detail has a placeholder");
        found.emptyDetail =
            empty.substr(emptyStart, empty.size() - emptyStart - found.tail.size());
        return found;
    }();
    return parts;
}

std::string replaceAll(std::string_view text, std::string_view from, std::string_view to)
{
    std::string result;
    std::size_t begin = 0;
    for (std::size_t at = text.find(from); at != std::string_view::npos;
         at = text.find(from, begin)) {
        result.append(text.substr(begin, at - begin));
        result.append(to);
        begin = at + from.size();
    }
    result.append(text.substr(begin));
    return result;
}

}  // namespace

}  // namespace quorva

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quorva;
    if (size == 0)
        return 0;
    const PageParts& parts = pageParts();
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::size_t titleSize = std::min<std::size_t>(data[0], rest.size());
    const std::string_view title = rest.substr(0, titleSize);
    const std::string_view detail = rest.substr(titleSize);

    const std::string page = errorPage(title, detail);
    const std::string opening = parts.head + std::string(title) + parts.middle;
    check(page.starts_with(opening), "page opens with the head, the title and the middle");
    check(page.ends_with(parts.tail), "page ends with the tail");
    check(page.size() >= opening.size() + parts.tail.size(), "head and tail do not overlap");

    const std::string shown =
        page.substr(opening.size(), page.size() - opening.size() - parts.tail.size());
    if (detail.empty()) {
        check(shown == parts.emptyDetail, "an empty detail shows the placeholder");
        return 0;
    }
    check(shown.find_first_of("<>") == std::string::npos, "detail carries no raw angle bracket");
    // Undo the escapes in the reverse order of their application.
    std::string unescaped = replaceAll(shown, "&gt;", ">");
    unescaped = replaceAll(unescaped, "&lt;", "<");
    unescaped = replaceAll(unescaped, "&amp;", "&");
    check(unescaped == detail, "unescaping gives back the detail");
    return 0;
}
