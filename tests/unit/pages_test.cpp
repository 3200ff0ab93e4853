#include "pages/download_policy.h"
#include "pages/navigation_policy.h"
#include "pages/page_tools.h"
#include "pages/status_pages.h"
#include "pages/zoom.h"
#include "platform/gtk/interpreter_hint_linux.h"
#include "platform/gtk/url_glib.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <tuple>

namespace quorva {
namespace {

TEST(NavigationPolicy, OnlyLoopbackNamesAndInPageSchemesStay)
{
    const GlibUrlParser parser;
    const auto decide = [&](const char* url) {
        const auto parsed = parser.parse(url);
        EXPECT_TRUE(parsed) << url;
        return decideNavigation(parsed);
    };
    for (const char* url :
         {"http://127.0.0.1:8765/", "http://127.0.0.1:1/items?q=x#top", "https://localhost/",
          "https://localhost:9443/a/b", "HTTP://127.0.0.1/", "Https://localhost/",
          "http://user:pw@127.0.0.1/", "about:blank", "about:srcdoc", "data:text/html,<p>x</p>",
          "blob:http://127.0.0.1:8765/0b1c", "blob:https://evil.example/0b1c"})
        EXPECT_EQ(decide(url), NavigationDecision::Allow) << url;
    for (const char* url :
         {"http://127.0.0.1.evil.example/", "http://localhost./", "http://LOCALHOST/",
          "http://127.0.0.2/", "http://[::1]:8765/", "http://0.0.0.0:8765/",
          "http://127.0.0.1@evil.example/", "http://evil.example#@127.0.0.1",
          "http://evil.example/?next=http://127.0.0.1/", "https://example.com/",
          "file:///etc/passwd", "file://localhost/etc/passwd", "mailto:shop@localhost",
          "ftp://localhost/pub", "ws://127.0.0.1:8765/"})
        EXPECT_EQ(decide(url), NavigationDecision::HandOver) << url;
    EXPECT_EQ(decideNavigation(std::nullopt), NavigationDecision::Allow);
    // GLib lowers the scheme's case; a parser that keeps it must change nothing.
    EXPECT_EQ(decideNavigation(Url{"HTTP://localhost/", "HTTP", "localhost"}),
              NavigationDecision::Allow);
}

// Zoom steps of one tenth carry its representation error, and the script writes the shortest
// text that reads back as the same double.
TEST(PageTools, ZoomStepsFindStatusAndPrintFileName)
{
    const auto after = [](double zoom, double (*step)(double), int times) {
        while (times-- > 0)
            zoom = step(zoom);
        return zoomScript(zoom).substr(37);
    };
    EXPECT_EQ(after(1.0, zoomedIn, 2), "1.2000000000000002'");
    EXPECT_EQ(after(1.0, zoomedIn, 10), "2.0'");
    EXPECT_EQ(after(2.0, zoomedOut, 16), "0.6'");
    EXPECT_EQ(after(1.1, zoomedOut, 1), "1.0'");

    EXPECT_EQ(findStatus(1, 1204), "1 จาก 1,204");
    EXPECT_EQ(findStatus(0, 0), "ไม่พบข้อความนี้ในหน้า");
    const std::string thai = "รายการสินค้า · แคตตาล็อกสินค้า";
    std::string marks;
    for (int i = 0; i < 40; ++i)
        marks += "ก้";  // six bytes, one character
    for (const auto& [title, name] : std::vector<std::pair<std::string, std::string>>{
             {thai, thai}, {"a/b\n c ", "a b  c"}, {" ..", "QUORVA"}, {".x", "x"},
             {marks, marks.substr(0, 198)}})
        EXPECT_EQ(printFileName(title), name) << title;
}

TEST(Downloads, AttachmentsAndTypesTheViewCannotShowAreDownloadedWithANotice)
{
    // What the view cannot show is downloaded whatever the disposition.
    for (const char* disposition :
         {"", "inline", " INLINE ; filename=\"a.csv\"", ";filename=a.csv"}) {
        EXPECT_EQ(decideResponse({true, disposition}), ResponsePolicy::Show) << disposition;
        EXPECT_EQ(decideResponse({false, disposition}), ResponsePolicy::Download) << disposition;
    }
    for (const char* disposition :
         {"attachment", "attachment; filename=\"catalog-2026-12-07.csv\"", "Attachment;filename=a",
          "\tattachment ", "form-data; name=x", "inlined"})
        EXPECT_EQ(decideResponse({true, disposition}), ResponsePolicy::Download) << disposition;

    // A download's notice says where the file went or why it failed.
    using Error = DownloadOutcome::Error;
    const std::string failed = "บันทึกไฟล์ “a.csv” ไม่สำเร็จ";
    const std::tuple<DownloadOutcome, std::string, std::string> cases[] = {
        {{"/home/ก/Downloads/catalog.csv", Error::None, ""},
         "บันทึกไฟล์ “catalog.csv” ไว้ที่ /home/ก/Downloads แล้ว", "/home/ก/Downloads"},
        {{"/a.csv", Error::None, ""}, "บันทึกไฟล์ “a.csv” ไว้ที่ / แล้ว", "/"},
        {{"/d/a.csv", Error::NoPermission, "Permission denied"},
         failed + " เพราะไม่มีสิทธิ์เขียนไฟล์ในโฟลเดอร์ /d ลองบันทึกลงโฟลเดอร์อื่น", ""},
        {{"/d/a.csv", Error::Other, "Is a directory"}, failed + " (Is a directory)", ""},
        {{"a.csv", Error::Other, ""}, failed, ""},
    };
    for (const auto& [outcome, text, folder] : cases) {
        const Notice notice = downloadNotice(outcome);
        EXPECT_EQ(std::tie(notice.text, notice.folder, notice.failure, notice.openFolderLabel),
                  std::tuple(text, folder, outcome.error != Error::None,
                             folder.empty() ? "" : "เปิดโฟลเดอร์"));
    }
}

// The page's fixed pieces, cut from one page with markers it cannot contain.
std::array<std::string, 3> piecesOf(std::string_view hint)
{
    const std::string page = errorPage("\x01", "\x02", hint);
    const std::size_t title = page.find('\x01');
    const std::size_t detail = page.find('\x02');
    return {page.substr(0, title), page.substr(title + 1, detail - title - 1),
            page.substr(detail + 1)};
}

// The title goes in as markup; the detail is escaped, ampersands first.
TEST(StatusPages, ErrorPageJoinsTitleAndEscapedDetail)
{
    const std::array<std::string, 3> cases[] = {
        {"T", "x", "x"},
        {"T", "a < b && c > d", "a &lt; b &amp;&amp; c &gt; d"},
        {"T", "&lt;", "&amp;lt;"},
        {"T", "&gt;&amp;", "&amp;gt;&amp;amp;"},
        {"T", "", "(ไม่มีรายละเอียดเพิ่มเติม)"},
        {"T", " ", " "},
        {"T", "\n\n", "\n\n"},
        {"T", "say \"hi\" it's", "say \"hi\" it's"},
        {"a<b", "x", "x"},
        {"เซิร์ฟเวอร์หยุดทำงาน (exit 1)", "Traceback\n  <module>", "Traceback\n  &lt;module&gt;"},
    };
    for (const std::string_view hint : {commandLineToolsHint, linuxInterpreterHint}) {
        const auto [head, middle, tail] = piecesOf(hint);
        EXPECT_NE(middle.find(hint), std::string::npos);
        for (const auto& [title, detail, shown] : cases)
            EXPECT_EQ(errorPage(title, detail, hint), head + title + middle + shown + tail)
                << title << " / " << detail;
    }
}

}  // namespace
}  // namespace quorva
