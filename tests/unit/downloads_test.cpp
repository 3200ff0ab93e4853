#include "app/app_delegate.h"
#include "fake_platform.h"
#include "pages/download_policy.h"

#include <gtest/gtest.h>

#include <vector>

namespace quorva {
namespace {

TEST(ResponsePolicy, AttachmentsAndTypesTheViewCannotShowAreDownloaded)
{
    struct Case {
        bool supported;
        const char* disposition;
        ResponsePolicy policy;
    };
    const auto show = ResponsePolicy::Show;
    const auto download = ResponsePolicy::Download;
    const std::vector<Case> cases = {
        {true, "", show},
        {true, "inline", show},
        {true, " INLINE ; filename=\"a.csv\"", show},
        {true, ";filename=a.csv", show},
        {true, "attachment", download},
        {true, "attachment; filename=\"catalog-2026-12-07.csv\"", download},
        {true, "Attachment;filename=a", download},
        {true, "\tattachment ", download},
        {true, "form-data; name=x", download},
        {true, "inlined", download},
        {false, "", download},
        {false, "inline", download},
    };
    for (const auto& c : cases)
        EXPECT_EQ(decideResponse({c.supported, c.disposition}), c.policy)
            << c.supported << " " << c.disposition;
}

TEST(DownloadNotice, SaysWhereTheFileWentOrWhyItFailed)
{
    using Error = DownloadOutcome::Error;
    struct Case {
        DownloadOutcome outcome;
        std::string text;
        std::string folder;
    };
    const std::vector<Case> cases = {
        {{"/home/ก/Downloads/catalog.csv", Error::None, ""},
         "บันทึกไฟล์ “catalog.csv” ไว้ที่ /home/ก/Downloads แล้ว", "/home/ก/Downloads"},
        {{"/a.csv", Error::None, ""}, "บันทึกไฟล์ “a.csv” ไว้ที่ / แล้ว", "/"},
        {{"/d/a.csv", Error::Connection, "Connection terminated unexpectedly"},
         "บันทึกไฟล์ “a.csv” ไม่สำเร็จ เพราะการเชื่อมต่อกับเซิร์ฟเวอร์ขาดหายระหว่างดาวน์โหลด "
         "ลองใหม่อีกครั้ง",
         ""},
        {{"/d/a.csv", Error::DiskFull, "No space left on device"},
         "บันทึกไฟล์ “a.csv” ไม่สำเร็จ เพราะพื้นที่ในดิสก์ไม่พอ ลบไฟล์ที่ไม่ใช้ออกก่อน "
         "แล้วลองใหม่อีกครั้ง", ""},
        {{"/d/a.csv", Error::NoPermission, "Permission denied"},
         "บันทึกไฟล์ “a.csv” ไม่สำเร็จ เพราะไม่มีสิทธิ์เขียนไฟล์ในโฟลเดอร์ /d "
         "ลองบันทึกลงโฟลเดอร์อื่น",
         ""},
        {{"/d/a.csv", Error::Other, "Is a directory"},
         "บันทึกไฟล์ “a.csv” ไม่สำเร็จ (Is a directory)", ""},
        {{"a.csv", Error::Other, ""}, "บันทึกไฟล์ “a.csv” ไม่สำเร็จ", ""},
    };
    for (const auto& c : cases) {
        const Notice notice = downloadNotice(c.outcome);
        EXPECT_EQ(notice.text, c.text) << c.outcome.path;
        EXPECT_EQ(notice.folder, c.folder) << c.outcome.path;
        EXPECT_EQ(notice.failure, c.outcome.error != Error::None) << c.outcome.path;
        EXPECT_EQ(notice.openFolderLabel, c.folder.empty() ? "" : "เปิดโฟลเดอร์");
    }
}

TEST(Downloads, AnEndedDownloadIsANoticeNotAPage)
{
    testing::FakePlatform fake;
    fake.variables["QUORVA_DEBUG"] = "";
    auto delegate = std::make_shared<AppDelegate>(fake.platform);
    delegate->applicationDidFinishLaunching();
    const auto pages = fake.webView->htmlLoads;
    delegate->downloadDidEnd({"/tmp/x.csv", DownloadOutcome::Error::Connection, "gone"});
    ASSERT_EQ(fake.webView->notices.size(), 1u);
    EXPECT_EQ(fake.webView->htmlLoads, pages);
    // The diagnostic log carries page loads only.
    EXPECT_EQ(fake.standardError, "");
}

}  // namespace
}  // namespace quorva
