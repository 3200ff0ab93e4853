#include "fuzz_check.h"
#include "pages/zoom.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace quorva {

namespace {

void checkScript(double zoom)
{
    constexpr std::string_view prefix = "document.documentElement.style.zoom='";
    const std::string script = zoomScript(zoom);
    check(script.starts_with(prefix) && script.ends_with("'"), "script has the fixed frame");
    const std::string number = script.substr(prefix.size(), script.size() - prefix.size() - 1);
    check(number.find('.') != std::string::npos, "number has a decimal point");
    check(number.find_first_not_of("-0123456789.") == std::string::npos,
          "number is plain decimal text");
    char* end = nullptr;
    const double readBack = std::strtod(number.c_str(), &end);
    check(end == number.c_str() + number.size(), "the whole number text is read");
    check(std::memcmp(&readBack, &zoom, sizeof zoom) == 0, "number reads back as the same double");
}

}  // namespace

}  // namespace quorva

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using namespace quorva;
    double zoom;
    if (size < sizeof zoom)
        return 0;
    std::memcpy(&zoom, data, sizeof zoom);
    if (!std::isfinite(zoom))
        return 0;
    checkScript(zoom);
    if (zoom < minimumZoom || zoom > maximumZoom)
        return 0;
    // The remaining bits are a sequence of zoom-in and zoom-out steps.
    for (std::size_t bit = 8 * sizeof zoom; bit < 8 * size; ++bit) {
        const bool in = (data[bit / 8] >> (bit % 8)) & 1;
        const double next = in ? zoomedIn(zoom) : zoomedOut(zoom);
        check(next >= minimumZoom && next <= maximumZoom, "zoom stays within its bounds");
        check(in ? next >= zoom : next <= zoom, "a step moves the zoom the right way");
        zoom = next;
        checkScript(zoom);
    }
    return 0;
}
