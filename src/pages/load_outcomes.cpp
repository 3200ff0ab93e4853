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

void AppDelegate::showLoadFailure(const std::string& title, const LoadFailure& failure)
{
    if (!serverURL)
        return;
    // The newer navigation is on its way: an error page would cancel it in
    // turn, and the error page's own load could be cancelled the same way.
    if (failure.superseded)
        return;
    showError(title, failure.description);
}

}  // namespace quorva
