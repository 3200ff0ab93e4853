#include "pages/zoom.h"

#include <array>
#include <charconv>
#include <string_view>

namespace quorva {

double zoomedIn(double zoom)
{
    const double sum = zoom + zoomStep;
    return sum > maximumZoom ? maximumZoom : sum;
}

double zoomedOut(double zoom)
{
    const double sum = zoom + -zoomStep;
    return minimumZoom > sum ? minimumZoom : sum;
}

std::string zoomScript(double zoom)
{
    std::array<char, 400> digits{};
    const auto result =
        std::to_chars(digits.data(), digits.data() + digits.size(), zoom, std::chars_format::fixed);
    std::string text(digits.data(), result.ptr);
    if (text.find('.') == std::string::npos)
        text += ".0";
    return "document.documentElement.style.zoom='" + text + "'";
}

}  // namespace quorva
