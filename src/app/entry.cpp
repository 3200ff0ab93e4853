#include "app/entry.h"

#include <algorithm>

namespace quorva {

namespace {

constexpr const char* displayVariables[] = {"WAYLAND_DISPLAY", "DISPLAY"};

constexpr std::string_view helpText =
    "Usage: quorva [--help | --version]\n"
    "\n"
    "QUORVA is a desktop shell for a local catalog: one window whose whole\n"
    "content is one web view.\n"
    "\n"
    "Set up from the source tree:\n"
    "  scripts/run    installs what is missing, builds, and opens QUORVA with its\n"
    "                 catalog server\n"
    "  scripts/test   installs what is missing, builds, and runs every test\n"
    "\n"
    "Configured by these environment variables only, passed on unchanged to the\n"
    "catalog server:\n"
    "  QUORVA_HOME      data directory and the server's working directory;\n"
    "                   default $HOME/QUORVA\n"
    "  QUORVA_DB        database handed to the server after --db: a file path, or a\n"
    "                   postgresql:// URL of a catalog several computers share;\n"
    "                   default none\n"
    "  QUORVA_PORT      port handed to the server after --port; default 8765\n"
    "  QUORVA_DEBUG     present, even empty: each loaded page logged on standard\n"
    "                   error, and the web inspector on\n"
    "  QUORVA_CATALOG   server script, used only when share/quorva/catalog.py\n"
    "                   beside the program is missing or unreadable\n"
    "  QUORVA_RENDERER  auto (default), software or gpu: whether the window draws\n"
    "                   without GL\n";

bool isSet(const std::map<std::string, std::string>& environment, const char* name)
{
    const auto found = environment.find(name);
    return found != environment.end() && !found->second.empty();
}

}  // namespace

EntryChoice chooseEntry(const std::vector<std::string>& arguments,
                        const std::map<std::string, std::string>& environment,
                        std::string_view version)
{
    const auto informing = std::find_if(arguments.begin(), arguments.end(), [](const auto& word) {
        return word == "--help" || word == "--version";
    });
    if (informing != arguments.end()) {
        if (*informing == "--version")
            return {false, "QUORVA " + std::string(version) + "\n", "", 0};
        return {false, std::string(helpText), "", 0};
    }
    if (std::none_of(std::begin(displayVariables), std::end(displayVariables),
                     [&](const char* name) { return isSet(environment, name); }))
        return {false, "",
                "QUORVA ต้องเปิดในหน้าจอเดสก์ท็อป (ไม่พบ DISPLAY หรือ WAYLAND_DISPLAY) / QUORVA "
                "needs a desktop session (neither DISPLAY nor WAYLAND_DISPLAY is set)\n",
                1};
    return {true, "", "", 0};
}

std::string displayUnopenedMessage(const std::map<std::string, std::string>& environment)
{
    std::string named;
    for (const char* name : displayVariables) {
        if (!isSet(environment, name))
            continue;
        if (!named.empty())
            named += ", ";
        named += name + ("=" + environment.at(name));
    }
    return "QUORVA เปิดหน้าจอเดสก์ท็อปไม่ได้ (" + named + ") / QUORVA cannot open the display (" +
           named + ")\n";
}

}  // namespace quorva
