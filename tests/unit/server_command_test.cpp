#include "server/command_line.h"

#include <gtest/gtest.h>

namespace quorva {
namespace {

using Arguments = std::vector<std::string>;

TEST(ServerCommand, ArgumentsFollowTheEnvironment)
{
    struct Case {
        const char* name;
        EnvironmentSnapshot environment;
        std::optional<std::string> interpreter;
        std::string executable;
        Arguments arguments;
    };
    const std::string script = "/app/share/quorva/catalog.py";
    const Arguments tail = {"serve", "--no-browser", "--exit-with-parent", "--port"};
    auto with = [](Arguments head, const Arguments& rest) {
        head.insert(head.end(), rest.begin(), rest.end());
        return head;
    };
    const std::vector<Case> cases = {
        {"nothing set", {}, "/usr/bin/python3", "/usr/bin/python3",
         with(with({"-u", script}, tail), {"8765"})},
        {"no interpreter", {}, std::nullopt, "/usr/bin/env",
         with(with({"python3", "-u", script}, tail), {"8765"})},
        {"database", {{"QUORVA_DB", "/data/shop.db"}}, "/usr/bin/python3", "/usr/bin/python3",
         with(with({"-u", script, "--db", "/data/shop.db"}, tail), {"8765"})},
        {"empty database", {{"QUORVA_DB", ""}}, "/usr/bin/python3", "/usr/bin/python3",
         with(with({"-u", script}, tail), {"8765"})},
        {"port", {{"QUORVA_PORT", "9000"}}, "/usr/bin/python3", "/usr/bin/python3",
         with(with({"-u", script}, tail), {"9000"})},
        {"empty port", {{"QUORVA_PORT", ""}}, "/usr/bin/python3", "/usr/bin/python3",
         with(with({"-u", script}, tail), {""})},
        {"unvalidated port", {{"QUORVA_PORT", " 12ab "}}, std::nullopt, "/usr/bin/env",
         with(with({"python3", "-u", script}, tail), {" 12ab "})},
        {"everything", {{"QUORVA_DB", "rel.db"}, {"QUORVA_PORT", "1"}, {"QUORVA_HOME", "/h"}},
         std::nullopt, "/usr/bin/env",
         with(with({"python3", "-u", script, "--db", "rel.db"}, tail), {"1"})},
    };
    for (const auto& c : cases) {
        const ServerCommand command = serverCommand(c.environment, script, c.interpreter, "/wd");
        EXPECT_EQ(command.executable, c.executable) << c.name;
        EXPECT_EQ(command.arguments, c.arguments) << c.name;
        EXPECT_EQ(command.workingDirectory, "/wd") << c.name;
    }
}

TEST(ServerCommand, DataDirectory)
{
    EXPECT_EQ(dataDirectory({}, "/home/somchai"), "/home/somchai/QUORVA");
    EXPECT_EQ(dataDirectory({}, "/home/somchai/"), "/home/somchai/QUORVA");
    EXPECT_EQ(dataDirectory({{"QUORVA_HOME", "/srv/shop"}}, "/home/somchai"), "/srv/shop");
    EXPECT_EQ(dataDirectory({{"QUORVA_HOME", "relative/dir"}}, "/home/x"), "relative/dir");
    EXPECT_EQ(dataDirectory({{"QUORVA_HOME", ""}}, "/home/somchai"), "");
}

}  // namespace
}  // namespace quorva
