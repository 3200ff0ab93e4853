#include "app/app_delegate.h"

#include <csignal>

namespace quorva {

void AppDelegate::installSignalHandlers()
{
    for (int signalNumber : {SIGTERM, SIGINT}) {
        auto source = platform.signalSources.watch(
            signalNumber, [weakSelf = weak_from_this(), &thisProcess = platform.thisProcess] {
                if (auto self = weakSelf.lock())
                    self->stopServer();
                thisProcess.exit(0);
            });
        signalSources.push_back(std::move(source));
    }
}

}  // namespace quorva
