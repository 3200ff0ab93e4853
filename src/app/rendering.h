#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>

namespace quorva {

// What GL the window would get: the renderer or driver name the platform
// reports, or nothing when there is no GL at all.
struct GlRenderer {
    std::optional<std::string> name;
};

enum class RenderingPath { Gpu, Software };

// The shell's own rendering settings. A setting the user made stays theirs and
// is never overridden.
struct RenderingChoice {
    RenderingPath path = RenderingPath::Gpu;
    // The toolkit's cairo renderer instead of GL.
    bool cairoRenderer = false;
    // The web view's hardware-acceleration policy "never" (no compositing).
    bool webAccelerationNever = false;
    // The probe's answer, when one was needed.
    std::optional<GlRenderer> probed;

    bool operator==(const RenderingChoice&) const = default;
};

bool isSoftwareRenderer(const GlRenderer& renderer);

// QUORVA_RENDERER "gpu" or "software" forces a path; anything else (absent,
// empty, "auto") asks `probe`, and only when a setting is still ours to make.
RenderingChoice chooseRendering(const std::map<std::string, std::string>& environment,
                                const std::function<GlRenderer()>& probe);

}  // namespace quorva
