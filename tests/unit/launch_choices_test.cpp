#include "app/rendering.h"
#include "server/command_line.h"

#include <gtest/gtest.h>

#include <tuple>

namespace quorva {
namespace {

TEST(ServerCommand, CommandLineAndDataDirectoryFollowTheEnvironment)
{
    const std::string python = "/usr/bin/python3|-u|S";
    const std::string env = "/usr/bin/env|python3|-u|S";
    const std::string serve = "|serve|--no-browser|--exit-with-parent|--port|";
    const std::tuple<EnvironmentSnapshot, std::optional<std::string>, std::string> cases[] = {
        {{}, "/usr/bin/python3", python + serve + "8765"},
        {{}, std::nullopt, env + serve + "8765"},
        {{{"QUORVA_DB", "/data/shop.db"}}, "/usr/bin/python3",
         python + "|--db|/data/shop.db" + serve + "8765"},
        {{{"QUORVA_DB", ""}}, "/usr/bin/python3", python + serve + "8765"},
        {{{"QUORVA_PORT", "9000"}}, "/usr/bin/python3", python + serve + "9000"},
        {{{"QUORVA_PORT", ""}}, "/usr/bin/python3", python + serve},
        {{{"QUORVA_PORT", " 12ab "}}, std::nullopt, env + serve + " 12ab "},
        {{{"QUORVA_DB", "rel.db"}, {"QUORVA_PORT", "1"}, {"QUORVA_HOME", "/h"}}, std::nullopt,
         env + "|--db|rel.db" + serve + "1"},
    };
    for (const auto& [environment, interpreter, expected] : cases) {
        const ServerCommand command = serverCommand(environment, "S", interpreter, "/wd");
        std::string text = command.executable;  // the words joined by "|"
        for (const auto& argument : command.arguments)
            text += "|" + argument;
        EXPECT_EQ(text, expected);
        EXPECT_EQ(command.workingDirectory, "/wd") << expected;
    }
    // The data directory: QUORVA_HOME as written, even empty; else QUORVA in the home.
    EXPECT_EQ(dataDirectory({}, "/home/somchai"), "/home/somchai/QUORVA");
    EXPECT_EQ(dataDirectory({}, "/home/somchai/"), "/home/somchai/QUORVA");
    EXPECT_EQ(dataDirectory({{"QUORVA_HOME", "/srv/shop"}}, "/home/somchai"), "/srv/shop");
    EXPECT_EQ(dataDirectory({{"QUORVA_HOME", "relative/dir"}}, "/home/x"), "relative/dir");
    EXPECT_EQ(dataDirectory({{"QUORVA_HOME", ""}}, "/home/somchai"), "");
}

// GL renderer × the user's own settings × QUORVA_RENDERER → path, what the shell
// sets for itself, and whether GL had to be asked at all.
TEST(Rendering, ChoiceTable)
{
    using Env = std::map<std::string, std::string>;
    const std::optional<std::string> llvmpipe = "llvmpipe (LLVM 15.0.6, 256 bits)";
    const std::optional<std::string> gpu = "AMD Radeon RX 6600 (radeonsi, navi23, LLVM 15.0.6)";
    const Env both = {{"GSK_RENDERER", "gl"}, {"WEBKIT_DISABLE_COMPOSITING_MODE", "0"}};
    // Environment, GL renderer, path, cairo, web acceleration never, probed.
    using Case = std::tuple<Env, std::optional<std::string>, RenderingPath, bool, bool, bool>;
    const auto sw = RenderingPath::Software, hw = RenderingPath::Gpu;
    const std::vector<Case> cases = {
        // auto: the probe decides
        {{}, llvmpipe, sw, true, true, true},
        {{}, std::nullopt, sw, true, true, true},
        {{}, "kms_swrast", sw, true, true, true},
        {{}, "LLVMPIPE", sw, true, true, true},
        {{}, gpu, hw, false, false, true},
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
    for (const auto& [environment, renderer, path, cairo, never, probed] : cases) {
        int probes = 0;
        const RenderingChoice choice = chooseRendering(environment, [&, &renderer = renderer] {
            ++probes;
            return GlRenderer{renderer};
        });
        EXPECT_EQ(std::tuple(choice.path, choice.cairoRenderer, choice.webAccelerationNever,
                             probes, choice.probed.has_value()),
                  std::tuple(path, cairo, never, probed ? 1 : 0, probed))
            << renderer.value_or("no GL") << " " << environment.size();
    }
}

}  // namespace
}  // namespace quorva
