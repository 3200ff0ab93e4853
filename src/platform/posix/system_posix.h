#pragma once

#include "platform/platform.h"

namespace quorva {

// Copies the environment the process was started with. Called first thing, before
// the shell sets a variable for itself, so that children get the user's
// environment unchanged, and the core reads it too.
void keepStartEnvironment();
// That copy, in its order; the live environment when none was kept.
char* const* startEnvironment();

class PosixEnvironment final : public Environment {
public:
    std::map<std::string, std::string> snapshot() const override;
    std::optional<std::string> get(const std::string& name) const override;
    std::string homeDirectory() const override;
};

class PosixFileSystem final : public FileSystem {
public:
    // The resource directory is <directory of the executable>/../share/quorva,
    // so the build tree and an installed prefix look alike.
    explicit PosixFileSystem(std::optional<std::string> resourceDirectory);

    bool createDirectories(const std::string& path) override;
    bool isReadableFile(const std::string& path) const override;
    bool isExecutableFile(const std::string& path) const override;
    std::optional<std::string> resourceDirectory() const override;

    static std::optional<std::string> resourceDirectoryOfExecutable();

private:
    std::optional<std::string> resources;
};

class SteadyClock final : public Clock {
public:
    double now() const override;
    void sleepMicroseconds(unsigned microseconds) override;
};

class PosixThisProcess final : public ThisProcess {
public:
    bool writeStandardError(std::string_view text) override;
    void exit(int status) override;
};

}  // namespace quorva
