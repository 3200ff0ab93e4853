#include "app/rendering.h"

#include <gtest/gtest.h>

namespace quorva {
namespace {

// GL renderer × the user's own settings × QUORVA_RENDERER → path, what the shell
// sets for itself, and whether GL had to be asked at all.
TEST(Rendering, ChoiceTable)
{
    using Env = std::map<std::string, std::string>;
    const std::optional<std::string> noGl;
    const std::optional<std::string> llvmpipe = "llvmpipe (LLVM 15.0.6, 256 bits)";
    const std::optional<std::string> gpu = "AMD Radeon RX 6600 (radeonsi, navi23, LLVM 15.0.6)";
    const Env both = {{"GSK_RENDERER", "gl"}, {"WEBKIT_DISABLE_COMPOSITING_MODE", "0"}};
    struct Case {
        Env environment;
        std::optional<std::string> renderer;
        RenderingPath path;
        bool cairo;
        bool never;
        bool probed;
    };
    const auto sw = RenderingPath::Software;
    const auto hw = RenderingPath::Gpu;
    const std::vector<Case> cases = {
        // auto: the probe decides
        {{}, llvmpipe, sw, true, true, true},
        {{}, noGl, sw, true, true, true},
        {{}, "softpipe", sw, true, true, true},
        {{}, "swrast", sw, true, true, true},
        {{}, "kms_swrast", sw, true, true, true},
        {{}, "LLVMPIPE", sw, true, true, true},
        {{}, gpu, hw, false, false, true},
        {{}, "Mesa Intel(R) UHD Graphics 620 (KBL GT2)", hw, false, false, true},
        {{{"QUORVA_RENDERER", "auto"}}, llvmpipe, sw, true, true, true},
        {{{"QUORVA_RENDERER", ""}}, gpu, hw, false, false, true},
        {{{"QUORVA_RENDERER", "bogus"}}, llvmpipe, sw, true, true, true},
        // the user's own settings win, each by itself
        {{{"GSK_RENDERER", "ngl"}}, llvmpipe, sw, false, true, true},
        {{{"GSK_RENDERER", ""}}, llvmpipe, sw, false, true, true},
        {{{"WEBKIT_DISABLE_COMPOSITING_MODE", "1"}}, llvmpipe, sw, true, false, true},
        {{{"WEBKIT_DISABLE_COMPOSITING_MODE", "1"}}, gpu, hw, false, false, true},
        // both set: nothing left to decide, so no probe
        {both, llvmpipe, hw, false, false, false},
        // forced
        {{{"QUORVA_RENDERER", "gpu"}}, llvmpipe, hw, false, false, false},
        {{{"QUORVA_RENDERER", "software"}}, gpu, sw, true, true, false},
        {{{"QUORVA_RENDERER", "software"}, {"GSK_RENDERER", "gl"}}, gpu, sw, false, true, false},
        {{{"QUORVA_RENDERER", "software"}, {"WEBKIT_DISABLE_COMPOSITING_MODE", "1"}}, gpu, sw,
         true, false, false},
        {{{"QUORVA_RENDERER", "gpu"}, {"GSK_RENDERER", "cairo"}}, llvmpipe, hw, false, false,
         false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        int probes = 0;
        const RenderingChoice choice = chooseRendering(c.environment, [&] {
            ++probes;
            return GlRenderer{c.renderer};
        });
        EXPECT_EQ(choice.path, c.path) << "row " << i;
        EXPECT_EQ(choice.cairoRenderer, c.cairo) << "row " << i;
        EXPECT_EQ(choice.webAccelerationNever, c.never) << "row " << i;
        EXPECT_EQ(probes, c.probed ? 1 : 0) << "row " << i;
        EXPECT_EQ(choice.probed.has_value(), c.probed) << "row " << i;
    }
}

}  // namespace
}  // namespace quorva
