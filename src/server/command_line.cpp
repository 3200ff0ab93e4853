#include "server/command_line.h"

namespace quorva {

namespace {

std::optional<std::string> lookup(const EnvironmentSnapshot& environment, const char* name)
{
    const auto found = environment.find(name);
    if (found == environment.end())
        return std::nullopt;
    return found->second;
}

std::string appendPathComponent(const std::string& directory, const std::string& component)
{
    if (directory.empty())
        return component;
    if (directory.back() == '/')
        return directory + component;
    return directory + "/" + component;
}

}  // namespace

std::string dataDirectory(const EnvironmentSnapshot& environment, const std::string& homeDirectory)
{
    if (auto home = lookup(environment, "QUORVA_HOME"))
        return *home;
    return appendPathComponent(homeDirectory, dataDirectoryName);
}

ServerCommand serverCommand(const EnvironmentSnapshot& environment, const std::string& scriptPath,
                            const std::optional<std::string>& interpreter,
                            const std::string& workingDirectory)
{
    std::vector<std::string> serverArguments{"-u", scriptPath};
    if (auto database = lookup(environment, "QUORVA_DB"); database && !database->empty()) {
        serverArguments.push_back("--db");
        serverArguments.push_back(*database);
    }
    for (const char* argument : {"serve", "--no-browser", "--exit-with-parent", "--port"})
        serverArguments.emplace_back(argument);
    serverArguments.push_back(lookup(environment, "QUORVA_PORT").value_or(defaultPort));

    ServerCommand command;
    command.workingDirectory = workingDirectory;
    if (interpreter) {
        command.executable = *interpreter;
        command.arguments = std::move(serverArguments);
    } else {
        command.executable = fallbackLauncher;
        command.arguments.push_back("python3");
        command.arguments.insert(command.arguments.end(), serverArguments.begin(),
                                 serverArguments.end());
    }
    return command;
}

}  // namespace quorva
