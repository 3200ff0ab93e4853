#include "pages/download_policy.h"
#include "pages/navigation_policy.h"
#include "pages/status_pages.h"
#include "pages/zoom.h"
#include "platform/gtk/interpreter_hint_linux.h"
#include "platform/gtk/url_glib.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
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
}

// Each step carries the representation error of one tenth, and the script
// writes the shortest text that reads back as the same double.
TEST(Zoom, StepsCarryTheRepresentationErrorOfOneTenth)
{
    const auto after = [](double zoom, double (*step)(double), int times) {
        std::string texts;
        for (int i = 0; i < times; ++i) {
            zoom = step(zoom);
            const std::string script = zoomScript(zoom);
            texts += script.substr(37, script.size() - 38) + " ";
        }
        return texts;
    };
    EXPECT_EQ(after(1.0, zoomedIn, 11),
              "1.1 1.2000000000000002 1.3000000000000003 1.4000000000000004 1.5000000000000004 "
              "1.6000000000000005 1.7000000000000006 1.8000000000000007 1.9000000000000008 2.0 "
              "2.0 ");
    EXPECT_EQ(after(1.0, zoomedOut, 6), "0.9 0.8 0.7000000000000001 0.6000000000000001 0.6 0.6 ");
    EXPECT_EQ(after(2.0, zoomedOut, 15),
              "1.9 1.7999999999999998 1.6999999999999997 1.5999999999999996 1.4999999999999996 "
              "1.3999999999999995 1.2999999999999994 1.1999999999999993 1.0999999999999992 "
              "0.9999999999999992 0.8999999999999992 0.7999999999999993 0.6999999999999993 0.6 "
              "0.6 ");
    EXPECT_EQ(zoomedOut(zoomedIn(1.0)), 1.0);
    EXPECT_EQ(zoomScript(1.0), "document.documentElement.style.zoom='1.0'");
}

TEST(ResponsePolicy, AttachmentsAndTypesTheViewCannotShowAreDownloaded)
{
    for (const char* disposition :
         {"", "inline", " INLINE ; filename=\"a.csv\"", ";filename=a.csv"})
        EXPECT_EQ(decideResponse({true, disposition}), ResponsePolicy::Show) << disposition;
    for (const char* disposition :
         {"attachment", "attachment; filename=\"catalog-2026-12-07.csv\"", "Attachment;filename=a",
          "\tattachment ", "form-data; name=x", "inlined"})
        EXPECT_EQ(decideResponse({true, disposition}), ResponsePolicy::Download) << disposition;
    for (const char* disposition : {"", "inline"})
        EXPECT_EQ(decideResponse({false, disposition}), ResponsePolicy::Download) << disposition;
}

TEST(DownloadNotice, SaysWhereTheFileWentOrWhyItFailed)
{
    using Error = DownloadOutcome::Error;
    const std::string failed = "บันทึกไฟล์ “a.csv” ไม่สำเร็จ";
    const std::tuple<DownloadOutcome, std::string, std::string> cases[] = {
        {{"/home/ก/Downloads/catalog.csv", Error::None, ""},
         "บันทึกไฟล์ “catalog.csv” ไว้ที่ /home/ก/Downloads แล้ว", "/home/ก/Downloads"},
        {{"/a.csv", Error::None, ""}, "บันทึกไฟล์ “a.csv” ไว้ที่ / แล้ว", "/"},
        {{"/d/a.csv", Error::Connection, "Connection terminated unexpectedly"},
         failed + " เพราะการเชื่อมต่อกับเซิร์ฟเวอร์ขาดหายระหว่างดาวน์โหลด ลองใหม่อีกครั้ง", ""},
        {{"/d/a.csv", Error::DiskFull, "No space left on device"},
         failed + " เพราะพื้นที่ในดิสก์ไม่พอ ลบไฟล์ที่ไม่ใช้ออกก่อน แล้วลองใหม่อีกครั้ง", ""},
        {{"/d/a.csv", Error::NoPermission, "Permission denied"},
         failed + " เพราะไม่มีสิทธิ์เขียนไฟล์ในโฟลเดอร์ /d ลองบันทึกลงโฟลเดอร์อื่น", ""},
        {{"/d/a.csv", Error::Other, "Is a directory"}, failed + " (Is a directory)", ""},
        {{"a.csv", Error::Other, ""}, failed, ""},
    };
    for (const auto& [outcome, text, folder] : cases) {
        const Notice notice = downloadNotice(outcome);
        EXPECT_EQ(notice.text, text);
        EXPECT_EQ(notice.folder, folder) << text;
        EXPECT_EQ(notice.failure, outcome.error != Error::None) << text;
        EXPECT_EQ(notice.openFolderLabel, folder.empty() ? "" : "เปิดโฟลเดอร์") << text;
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

// FNV-1a: pins every byte of a page in one line.
std::uint64_t fingerprint(std::string_view text)
{
    std::uint64_t hash = 14695981039346656037ull;
    for (const unsigned char byte : text)
        hash = (hash ^ byte) * 1099511628211ull;
    return hash;
}

// The pages are shipped byte for byte.
TEST(StatusPages, PagesKeepTheirBytes)
{
    EXPECT_EQ(loadingPage.size(), 689u);
    EXPECT_EQ(fingerprint(loadingPage), 8280305172971896801u);
    EXPECT_TRUE(loadingPage.starts_with("<!DOCTYPE html><html lang=\"th\">"));
    EXPECT_TRUE(loadingPage.ends_with("<p>กำลังเปิด QUORVA\u2026</p>\n</div></body></html>"));
    const auto [head, middle, tail] = piecesOf(commandLineToolsHint);
    EXPECT_EQ(head.size(), 660u);
    EXPECT_EQ(fingerprint(head), 3181108974134128625u);
    EXPECT_TRUE(head.ends_with("</style></head><body><div class=\"box\">\n  <h1>"));
    EXPECT_EQ(middle, "</h1>\n  " + std::string(commandLineToolsHint) + "\n  <pre>");
    EXPECT_EQ(middle.size(), 345u);
    EXPECT_EQ(tail, "</pre>\n</div></body></html>");
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
        for (const auto& [title, detail, shown] : cases)
            EXPECT_EQ(errorPage(title, detail, hint), head + title + middle + shown + tail)
                << title << " / " << detail;
    }
    EXPECT_EQ(errorPage("T", "x", linuxInterpreterHint),
              piecesOf(commandLineToolsHint)[0] + "T</h1>\n  " +
                  std::string(linuxInterpreterHint) + "\n  <pre>x</pre>\n</div></body></html>");
    EXPECT_EQ(errorPage("T", "x", commandLineToolsHint), errorPage("T", "x"));
}

// The Linux hint keeps the macOS paragraph's shape: one paragraph, the
// command in code, lines indented alike; it names the package manager's command.
TEST(StatusPages, LinuxHintIsOneParagraphWithTheCommandInCode)
{
    const std::string hint(linuxInterpreterHint);
    const auto count = [&](const std::string& part) {
        std::size_t found = 0;
        for (auto at = hint.find(part); at != std::string::npos; at = hint.find(part, at + 1))
            ++found;
        return found;
    };
    EXPECT_TRUE(hint.starts_with("<p>QUORVA ต้องใช้ python3 "));
    EXPECT_TRUE(hint.ends_with("แล้วเปิดแอปใหม่</p>"));
    EXPECT_EQ(count("<p>"), 1u);
    EXPECT_EQ(count("<code>"), 1u);
    EXPECT_EQ(count("<code>sudo apt install python3</code>"), 1u);
    EXPECT_EQ(count("\n     "), count("\n"));
    EXPECT_EQ(count("xcode-select") + count("macOS"), 0u);
}

}  // namespace
}  // namespace quorva
