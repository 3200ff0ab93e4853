#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorva {

using EnvironmentSnapshot = std::map<std::string, std::string>;

inline constexpr const char* systemPython = "/usr/bin/python3";
inline constexpr const char* fallbackLauncher = "/usr/bin/env";
inline constexpr const char* defaultPort = "8765";
inline constexpr const char* dataDirectoryName = "QUORVA";
inline constexpr double startupTimeoutSeconds = 25.0;

struct ServerCommand {
    std::string executable;
    std::vector<std::string> arguments;
    std::string workingDirectory;

    bool operator==(const ServerCommand&) const = default;
};

// QUORVA_HOME as given (even empty), else the home directory plus "QUORVA".
std::string dataDirectory(const EnvironmentSnapshot& environment, const std::string& homeDirectory);

// The whole command line; with no interpreter the launch goes through
// "/usr/bin/env" "python3".
ServerCommand serverCommand(const EnvironmentSnapshot& environment, const std::string& scriptPath,
                            const std::optional<std::string>& interpreter,
                            const std::string& workingDirectory);

}  // namespace quorva
