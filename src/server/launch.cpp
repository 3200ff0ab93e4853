#include "app/app_delegate.h"
#include "server/command_line.h"

namespace quorva {

void AppDelegate::startServer()
{
    const EnvironmentSnapshot environment = platform.environment.snapshot();
    const std::string directory = dataDirectory(environment, platform.environment.homeDirectory());
    // A failure shows up as a refused launch in the missing directory.
    (void)platform.fileSystem.createDirectories(directory);

    const auto script = catalogPath();
    if (!script) {
        showError("ไม่พบไฟล์ catalog.py ในแอป",
                  "QUORVA.app เสียหายหรือถูกแตกไฟล์ไม่ครบ - ลองโหลด QUORVA.zip ใหม่");
        return;
    }

    ServerCommand command = serverCommand(environment, *script, applePython(), directory);
    LaunchRequest request;
    request.executable = std::move(command.executable);
    request.arguments = std::move(command.arguments);
    request.workingDirectory = std::move(command.workingDirectory);
    request.onStandardOutput = [weakSelf = weak_from_this()](std::string_view chunk) {
        if (auto self = weakSelf.lock())
            self->handleStandardOutput(chunk);
    };
    request.onStandardError = [weakSelf = weak_from_this()](std::string_view chunk) {
        if (auto self = weakSelf.lock())
            self->handleStandardError(chunk);
    };
    request.onExit = [weakSelf = weak_from_this()](int terminationStatus) {
        if (auto self = weakSelf.lock())
            self->handleServerExit(terminationStatus);
    };

    LaunchResult launched = platform.processLauncher.launch(std::move(request));
    if (!launched.process) {
        showError("เรียก python3 ไม่สำเร็จ", launched.errorDescription);
        return;
    }
    server = std::move(launched.process);
    platform.mainQueue.asyncAfter(startupTimeoutSeconds, [weakSelf = weak_from_this()] {
        if (auto self = weakSelf.lock())
            self->startupWatchdogFired();
    });
}

}  // namespace quorva
