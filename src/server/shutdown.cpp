#include "app/app_delegate.h"

namespace quorva {

namespace {

constexpr double gracePeriodSeconds = 3.0;
constexpr unsigned pollIntervalMicroseconds = 50000;

}  // namespace

void AppDelegate::stopServer()
{
    if (!server)
        return;
    if (!server->isRunning())
        return;
    // Before the request, so the exit it causes shows no error page.
    quitting.store(true);
    server->terminate();
    const double deadline = platform.clock.now() + gracePeriodSeconds;
    while (server->isRunning() && platform.clock.now() < deadline)
        platform.clock.sleepMicroseconds(pollIntervalMicroseconds);
    if (server->isRunning())
        server->kill();
}

}  // namespace quorva
