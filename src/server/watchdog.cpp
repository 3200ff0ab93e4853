#include "app/app_delegate.h"
#include "output/error_tail.h"

namespace quorva {

std::string AppDelegate::trimmedErrorTail()
{
    std::lock_guard lock(stderrLock);
    settleTail(stderrTail, stderrTailCharacters, stderrTailUnsettled);
    return trimWhitespace(stderrTail);
}

void AppDelegate::startupWatchdogFired()
{
    if (serverURL)
        return;
    if (launchFailed)
        return;
    showError("เซิร์ฟเวอร์ไม่ตอบสนองภายใน 25 วินาที", trimmedErrorTail());
}

void AppDelegate::handleServerExit(int terminationStatus)
{
    // On the thread that delivers the exit: an expected exit shows nothing.
    if (quitting.load())
        return;
    platform.mainQueue.async([weakSelf = weak_from_this(), terminationStatus] {
        auto self = weakSelf.lock();
        if (!self)
            return;
        const std::string title =
            self->serverURL ? "เซิร์ฟเวอร์หยุดทำงาน (exit " + std::to_string(terminationStatus) + ")"
                            : "เปิดเซิร์ฟเวอร์ในเครื่องไม่สำเร็จ";
        self->showError(title, self->trimmedErrorTail());
    });
}

}  // namespace quorva
