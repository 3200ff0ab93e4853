#include "app/app_delegate.h"
#include "pages/page_tools.h"

namespace quorva {

namespace {

// Time for the page to run its before-unload handlers and answer.
constexpr double pageAnswerSeconds = 2.0;

}  // namespace

bool AppDelegate::applicationShouldTerminate()
{
    return askPageToClose();
}

bool AppDelegate::windowShouldClose()
{
    return askPageToClose();
}

bool AppDelegate::askPageToClose()
{
    if (terminationApproved || !webView)
        return true;
    // A question on screen is answered first; a second request changes nothing.
    if (closeAsked || leaveQuestionShown)
        return false;
    if (webView->tryClose()) {
        terminationApproved = true;
        return true;
    }
    closeAsked = true;
    leaveChosen = false;
    awaitPageAnswer();
    return false;
}

void AppDelegate::awaitPageAnswer()
{
    const unsigned long wait = ++closeWaits;
    platform.mainQueue.asyncAfter(pageAnswerSeconds, [weakSelf = weak_from_this(), wait] {
        auto self = weakSelf.lock();
        if (self && self->closeAsked && !self->leaveQuestionShown && self->closeWaits == wait)
            self->approveTermination();
    });
}

void AppDelegate::webViewDidClose()
{
    // WebKit reports a close too when the page is slow to run its handlers
    // (50 ms), and the page's question may still come: only once the user
    // chose to leave is it the page's own answer. Until then the time decides.
    // A page cannot end the application unasked.
    if (closeAsked && leaveChosen && !terminationApproved)
        approveTermination();
}

void AppDelegate::runBeforeUnloadConfirmPanel(std::function<void(bool leave)> answer)
{
    if (!window) {
        answer(true);
        return;
    }
    leaveQuestionShown = true;
    window->ask(leavePageQuestion(), [weakSelf = weak_from_this(),
                                      answer = std::move(answer)](bool leave) {
        if (auto self = weakSelf.lock()) {
            self->leaveQuestionShown = false;
            if (self->closeAsked) {
                self->closeAsked = leave;
                self->leaveChosen = leave;
                // Leaving, the page has its time again to confirm it closed.
                if (leave)
                    self->awaitPageAnswer();
            }
        }
        answer(leave);
    });
}

void AppDelegate::approveTermination()
{
    terminationApproved = true;
    closeAsked = false;
    platform.windowSystem.terminate();
}

}  // namespace quorva
