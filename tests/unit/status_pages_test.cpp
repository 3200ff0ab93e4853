#include "pages/status_pages.h"
#include "platform/gtk/interpreter_hint_linux.h"

#include <gtest/gtest.h>

#include <array>
#include <string>
#include <vector>

namespace quorva {
namespace {

// The page's fixed pieces, cut from one page with markers it cannot contain.
struct Pieces {
    std::string head, middle, tail;
};

Pieces piecesOf(std::string_view hint)
{
    const std::string page = errorPage("\x01", "\x02", hint);
    const std::size_t title = page.find('\x01');
    const std::size_t detail = page.find('\x02');
    return {page.substr(0, title), page.substr(title + 1, detail - title - 1),
            page.substr(detail + 1)};
}

// The pages are shipped byte for byte: their sizes catch an edit.
TEST(StatusPages, PagesKeepTheirBytes)
{
    EXPECT_EQ(loadingPage.size(), 689u);
    EXPECT_TRUE(loadingPage.starts_with("<!DOCTYPE html><html lang=\"th\">"));
    EXPECT_TRUE(loadingPage.ends_with("<p>กำลังเปิด QUORVA\u2026</p>\n</div></body></html>"));
    const Pieces pieces = piecesOf(commandLineToolsHint);
    EXPECT_EQ(pieces.head.size(), 660u);
    EXPECT_EQ(pieces.middle, "</h1>\n  " + std::string(commandLineToolsHint) + "\n  <pre>");
    EXPECT_EQ(pieces.middle.size(), 345u);
    EXPECT_EQ(pieces.tail, "</pre>\n</div></body></html>");
    EXPECT_TRUE(pieces.head.ends_with("</style></head><body><div class=\"box\">\n  <h1>"));
}

// The title goes in as markup; the detail is escaped, ampersands first.
TEST(StatusPages, ErrorPageJoinsTitleAndEscapedDetail)
{
    const std::vector<std::array<std::string, 3>> cases = {
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
        const Pieces p = piecesOf(hint);
        for (const auto& [title, detail, shown] : cases)
            EXPECT_EQ(errorPage(title, detail, hint), p.head + title + p.middle + shown + p.tail)
                << title << " / " << detail;
    }
    EXPECT_EQ(errorPage("T", "x", linuxInterpreterHint),
              piecesOf(commandLineToolsHint).head + "T</h1>\n  " +
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
    EXPECT_EQ(count("xcode-select"), 0u);
    EXPECT_EQ(count("macOS"), 0u);
}

}  // namespace
}  // namespace quorva
