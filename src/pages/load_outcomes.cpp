#include "app/app_delegate.h"
#include "pages/status_pages.h"

namespace quorva {

namespace {

const std::string pageProcessEndedTitle = "หน้าเว็บหยุดทำงาน";
const std::string reloadAdvice = " เลือก “โหลดใหม่” ในเมนู “มุมมอง” เพื่อเปิดหน้าอีกครั้ง";

std::string pageProcessEndedDetail(WebProcessTermination reason)
{
    switch (reason) {
    case WebProcessTermination::ExceededMemoryLimit:
        return "หน้าเว็บใช้หน่วยความจำเกินขีดจำกัด ระบบจึงปิดส่วนที่แสดงหน้าเว็บไป" + reloadAdvice;
    case WebProcessTermination::TerminatedByApi:
        return "ส่วนที่แสดงหน้าเว็บถูกสั่งปิด" + reloadAdvice;
    case WebProcessTermination::NetworkProcessLost:
        return "ส่วนที่รับส่งข้อมูลให้หน้าเว็บหยุดทำงานกะทันหันระหว่างโหลดหน้า" + reloadAdvice;
    case WebProcessTermination::Crashed:
        break;
    }
    return "ส่วนที่แสดงหน้าเว็บปิดตัวลงกะทันหัน อาจขัดข้องเองหรือถูกโปรแกรมอื่นสั่งปิด" + reloadAdvice;
}
constexpr double stoppedLoadGraceSeconds = 0.25;

}  // namespace

void AppDelegate::didFinishNavigation()
{
    const auto url = webView->currentUrl();
    if (!url)
        return;
    if (url->scheme == "file" || url->scheme == "about")
        return;
    pageProcessDeathShown = false;
    debugLog("loaded " + url->text);
}

void AppDelegate::webContentProcessDidTerminate(WebProcessTermination reason)
{
    if (pageProcessDeathShown)
        return;
    pageProcessDeathShown = true;
    showError(pageProcessEndedTitle, pageProcessEndedDetail(reason));
}

void AppDelegate::didFailNavigation(const LoadFailure& failure)
{
    showLoadFailure("โหลดหน้าไม่สำเร็จ", failure);
}

void AppDelegate::didFailProvisionalNavigation(const LoadFailure& failure)
{
    showLoadFailure("เชื่อมต่อเซิร์ฟเวอร์ในเครื่องไม่ได้", failure);
}

void AppDelegate::didStartProvisionalNavigation()
{
    ++mainFrameLoadsStarted;
    // What was found belongs to the page that goes.
    webView->endFind();
}

void AppDelegate::showLoadFailure(const std::string& title, const LoadFailure& failure)
{
    if (!serverURL)
        return;
    if (failure.cause == LoadFailure::Cause::BecameDownload)
        return;
    if (failure.cause == LoadFailure::Cause::Error) {
        showError(title, failure.description);
        return;
    }
    // A script navigation stops the current load before its own load begins,
    // so a stopped load is judged a moment later, each on its own.
    std::weak_ptr<AppDelegate> weak = weak_from_this();
    platform.mainQueue.asyncAfter(stoppedLoadGraceSeconds,
                                  [weak, title, failure, before = mainFrameLoadsStarted] {
                                      if (auto self = weak.lock())
                                          self->judgeStoppedLoad(title, failure, before);
                                  });
}

void AppDelegate::judgeStoppedLoad(const std::string& title, const LoadFailure& failure,
                                   unsigned long loadsStartedBefore)
{
    // The newer load is on its way: an error page would stop it in turn.
    if (mainFrameLoadsStarted != loadsStartedBefore)
        return;
    showError(title, failure.description);
}

}  // namespace quorva
