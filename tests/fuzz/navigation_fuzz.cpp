#include "fuzz_check.h"
#include "pages/navigation_policy.h"
#include "platform/gtk/url_glib.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quorva {

namespace {

bool shouldStay(const Url& url)
{
    std::string scheme;
    for (const char c : url.scheme)
        scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (scheme == "about" || scheme == "data" || scheme == "blob")
        return true;
    return (scheme == "http" || scheme == "https") &&
           (url.host == "127.0.0.1" || url.host == "localhost");
}

}  // namespace

}  // namespace quorva

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quorva;
    static const bool noUrlStays = decideNavigation(std::nullopt) == NavigationDecision::Allow;
    check(noUrlStays, "a navigation without a URL stays");

    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const GlibUrlParser parser;
    const auto url = parser.parse(text);
    if (!url)
        return 0;
    check(url->text == text, "parsed URL keeps its text");
    const bool stays = decideNavigation(url) == NavigationDecision::Allow;
    check(!stays || shouldStay(*url), "only local and in-page schemes stay");
    check(stays || !shouldStay(*url), "local and in-page schemes are not handed over");
    return 0;
}
