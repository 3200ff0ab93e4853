#include "fuzz_check.h"
#include "pages/status_pages.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

std::string replaceAll(std::string text, std::string_view from, std::string_view to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

}  // namespace

// The first byte is the title's length. The page's fixed parts come from one render with
// markers the template cannot contain, so the oracle does not copy the template.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quorva;
    static const std::string marked = errorPage("\x01", "\x02");
    static const std::size_t titleAt = marked.find('\x01');
    static const std::size_t tailAt = marked.find('\x02') + 1;
    if (size == 0)
        return 0;
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    const std::string_view title = rest.substr(0, std::min<std::size_t>(data[0], rest.size()));
    const std::string_view detail = rest.substr(title.size());
    if (detail.empty())
        return 0;

    const std::string page = errorPage(title, detail);
    const std::string opening = marked.substr(0, titleAt) + std::string(title) +
                                marked.substr(titleAt + 1, tailAt - titleAt - 2);
    const std::string tail = marked.substr(tailAt);
    check(page.starts_with(opening) && page.ends_with(tail) &&
              page.size() >= opening.size() + tail.size(),
          "page is the head, the title, the middle, the detail and the tail");
    const std::string shown =
        page.substr(opening.size(), page.size() - opening.size() - tail.size());
    check(shown.find_first_of("<>") == std::string::npos, "detail carries no raw angle bracket");
    // Undo the escapes in the reverse order of their application.
    const std::string unescaped =
        replaceAll(replaceAll(replaceAll(shown, "&gt;", ">"), "&lt;", "<"), "&amp;", "&");
    check(unescaped == detail, "unescaping gives back the detail");
    return 0;
}
