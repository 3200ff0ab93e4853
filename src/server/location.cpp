#include "app/app_delegate.h"
#include "server/command_line.h"

namespace quorva {

std::optional<std::string> AppDelegate::applePython()
{
    if (!platform.fileSystem.isExecutableFile(systemPython))
        return std::nullopt;
    // The interpreter at that path is only a stub until the developer tools
    // are installed, which the locator answers for.
    const auto status = platform.processLauncher.runToCompletion("/usr/bin/xcode-select", {"-p"});
    if (status != 0)
        return std::nullopt;
    return std::string(systemPython);
}

std::optional<std::string> AppDelegate::catalogPath()
{
    if (auto resources = platform.fileSystem.resourceDirectory()) {
        std::string bundled = *resources;
        if (bundled.empty() || bundled.back() != '/')
            bundled += '/';
        bundled += "catalog.py";
        if (platform.fileSystem.isReadableFile(bundled))
            return bundled;
    }
    if (auto configured = platform.environment.get("QUORVA_CATALOG")) {
        if (platform.fileSystem.isReadableFile(*configured))
            return configured;
    }
    return std::nullopt;
}

}  // namespace quorva
