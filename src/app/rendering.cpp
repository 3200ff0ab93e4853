#include "app/rendering.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string_view>

namespace quorva {

namespace {

bool containsIgnoringCase(std::string_view text, std::string_view word)
{
    return std::search(text.begin(), text.end(), word.begin(), word.end(), [](char a, char b) {
               return std::tolower(static_cast<unsigned char>(a)) == b;
           }) != text.end();
}

}  // namespace

bool isSoftwareRenderer(const GlRenderer& renderer)
{
    if (!renderer.name)
        return true;
    // Mesa's rasterisers, by their renderer strings and driver names.
    constexpr std::array<std::string_view, 3> software{"llvmpipe", "softpipe", "swrast"};
    return std::any_of(software.begin(), software.end(), [&](std::string_view word) {
        return containsIgnoringCase(*renderer.name, word);
    });
}

RenderingChoice chooseRendering(const std::map<std::string, std::string>& environment,
                                const std::function<GlRenderer()>& probe)
{
    const bool userRenderer = environment.count("GSK_RENDERER") != 0;
    const bool userCompositing = environment.count("WEBKIT_DISABLE_COMPOSITING_MODE") != 0;
    const auto forced = environment.find("QUORVA_RENDERER");
    const std::string_view mode =
        forced == environment.end() ? std::string_view("auto") : std::string_view(forced->second);

    RenderingChoice choice;
    if (mode == "gpu")
        return choice;
    if (mode != "software") {
        if (userRenderer && userCompositing)
            return choice;
        choice.probed = probe();
        if (!isSoftwareRenderer(*choice.probed))
            return choice;
    }
    choice.path = RenderingPath::Software;
    choice.cairoRenderer = !userRenderer;
    choice.webAccelerationNever = !userCompositing;
    return choice;
}

}  // namespace quorva
