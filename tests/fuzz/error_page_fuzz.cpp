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
    std::string head, middle, tail, emptyDetail;
};

const PageParts& pageParts()
{
    static const PageParts parts = [] {
        const std::string page = errorPage("\x01", "\x02");
        const std::size_t title = page.find('\x01');
        const std::size_t detail = page.find('\x02');
        check(title < detail && detail != std::string::npos, "markers appear in order");
        PageParts found{page.substr(0, title), page.substr(title + 1, detail - title - 1),
                        page.substr(detail + 1), ""};
        check(found.head.starts_with("<!DOCTYPE html>"), "head opens the document");
        check(found.tail.ends_with("</html>"), "tail closes the document");
        const std::string empty = errorPage("", "");
        const std::size_t start = found.head.size() + found.middle.size();
        check(empty.size() > start + found.tail.size(), "empty detail has a placeholder");
        found.emptyDetail = empty.substr(start, empty.size() - start - found.tail.size());
        return found;
    }();
    return parts;
}

std::string replaceAll(std::string text, std::string_view from, std::string_view to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
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
    const std::string_view title = rest.substr(0, std::min<std::size_t>(data[0], rest.size()));
    const std::string_view detail = rest.substr(title.size());

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
    const std::string unescaped =
        replaceAll(replaceAll(replaceAll(shown, "&gt;", ">"), "&lt;", "<"), "&amp;", "&");
    check(unescaped == detail, "unescaping gives back the detail");
    return 0;
}
