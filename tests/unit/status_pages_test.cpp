#include "pages/status_pages.h"
#include "platform/gtk/interpreter_hint_linux.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace quorva {
namespace {

using Lines = std::vector<std::pair<int, std::string>>;

// Joins (indent, text) rows with line feeds, no line feed after the last.
std::string assemble(const Lines& lines)
{
    std::string text;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        if (i > 0)
            text += '\n';
        text += std::string(static_cast<std::size_t>(lines[i].first), ' ') + lines[i].second;
    }
    return text;
}

const Lines loadingLines = {
    {0, R"(<!DOCTYPE html><html lang="th"><head><meta charset="utf-8">)"},
    {0, "<style>"},
    {2, "html,body{height:100%;margin:0}"},
    {2, "body{display:flex;align-items:center;justify-content:center;"},
    {7, "background:#FBFCFD;color:#05011C;"},
    {7, R"(font-family:-apple-system,"Helvetica Neue",sans-serif})"},
    {2, ".box{text-align:center}"},
    {2, ".dot{width:14px;height:14px;border-radius:50%;background:#6633EE;"},
    {7, "margin:0 auto 18px;animation:p 1.1s ease-in-out infinite}"},
    {2, "@keyframes p{0%,100%{opacity:.25;transform:scale(.8)}50%{opacity:1;transform:scale(1)}}"},
    {2, "p{margin:0;font-size:15px;color:#404040}"},
    {0, R"(</style></head><body><div class="box">)"},
    {2, "<div class=\"dot\"></div><p>กำลังเปิด QUORVA\u2026</p>"},
    {0, "</div></body></html>"},
};

const Lines headLines = {
    {0, R"(<!DOCTYPE html><html lang="th"><head><meta charset="utf-8">)"},
    {0, "<style>"},
    {2, "html,body{height:100%;margin:0}"},
    {2, "body{display:flex;align-items:center;justify-content:center;"},
    {7, "background:#FBFCFD;color:#05011C;"},
    {7, R"(font-family:-apple-system,"Helvetica Neue",sans-serif;padding:40px})"},
    {2, ".box{max-width:620px}"},
    {2, "h1{font-size:19px;margin:0 0 10px}"},
    {2, "p{font-size:14px;color:#404040;line-height:1.65;margin:0 0 14px}"},
    {2, "pre{background:#fff;border:1px solid #E7E7EF;border-radius:10px;padding:14px;"},
    {6, "font-size:12px;color:#404040;white-space:pre-wrap;word-break:break-word;"},
    {6, "max-height:260px;overflow:auto;margin:0}"},
    {0, R"(</style></head><body><div class="box">)"},
    {2, "<h1>"},
};

const Lines middleLines = {
    {0, "</h1>"},
    {2, "<p>QUORVA ต้องใช้ python3 ที่มากับ macOS (Command Line Tools) ถ้ายังไม่ได้ติดตั้ง"},
    {5, "ให้เปิด Terminal แล้วรัน <code>xcode-select --install</code> หนึ่งครั้ง"},
    {5, "แล้วเปิดแอปใหม่</p>"},
    {2, "<pre>"},
};

const Lines tailLines = {{0, "</pre>"}, {0, "</div></body></html>"}};

const std::string head = assemble(headLines);
const std::string middle = assemble(middleLines);
const std::string tail = assemble(tailLines);

TEST(StatusPages, LoadingPageIsExactlyItsFourteenLines)
{
    EXPECT_EQ(loadingPage, assemble(loadingLines));
    EXPECT_EQ(loadingPage.size(), 689u);
    EXPECT_NE(loadingPage.back(), '\n');
}

TEST(StatusPages, ErrorPagePiecesHaveTheirByteCounts)
{
    EXPECT_EQ(head.size(), 660u);
    EXPECT_EQ(middle.size(), 345u);
    EXPECT_EQ(tail.size(), 27u);
    EXPECT_EQ(std::string("(ไม่มีรายละเอียดเพิ่มเติม)").size(), 74u);
}

// The title goes in as markup; the detail is escaped, ampersands first.
TEST(StatusPages, ErrorPageJoinsTitleAndEscapedDetail)
{
    struct Case {
        std::string title;
        std::string detail;
        std::string shownDetail;
    };
    const std::vector<Case> cases = {
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
    for (const auto& c : cases) {
        EXPECT_EQ(errorPage(c.title, c.detail), head + c.title + middle + c.shownDetail + tail)
            << "title " << c.title << " detail " << c.detail;
        EXPECT_EQ(errorPage(c.title, c.detail, linuxInterpreterHint),
                  head + c.title + "</h1>\n  " + std::string(linuxInterpreterHint) + "\n  <pre>" +
                      c.shownDetail + tail);
    }
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
