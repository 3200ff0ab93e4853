#include "pages/status_pages.h"

namespace quorva {

const std::string_view loadingPage =
    "<!DOCTYPE html><html lang=\"th\"><head><meta charset=\"utf-8\">\n"
    "<style>\n"
    "  html,body{height:100%;margin:0}\n"
    "  body{display:flex;align-items:center;justify-content:center;\n"
    "       background:#FBFCFD;color:#05011C;\n"
    "       font-family:-apple-system,\"Helvetica Neue\",sans-serif}\n"
    "  .box{text-align:center}\n"
    "  .dot{width:14px;height:14px;border-radius:50%;background:#6633EE;\n"
    "       margin:0 auto 18px;animation:p 1.1s ease-in-out infinite}\n"
    "  @keyframes p{0%,100%{opacity:.25;transform:scale(.8)}50%{opacity:1;transform:scale(1)}}\n"
    "  p{margin:0;font-size:15px;color:#404040}\n"
    "</style></head><body><div class=\"box\">\n"
    "  <div class=\"dot\"></div><p>กำลังเปิด QUORVA…</p>\n"
    "</div></body></html>";

const std::string_view commandLineToolsHint =
    "<p>QUORVA ต้องใช้ python3 ที่มากับ macOS (Command Line Tools) ถ้ายังไม่ได้ติดตั้ง\n"
    "     ให้เปิด Terminal แล้วรัน <code>xcode-select --install</code> หนึ่งครั้ง\n"
    "     แล้วเปิดแอปใหม่</p>";

namespace {

constexpr std::string_view errorPageHead =
    "<!DOCTYPE html><html lang=\"th\"><head><meta charset=\"utf-8\">\n"
    "<style>\n"
    "  html,body{height:100%;margin:0}\n"
    "  body{display:flex;align-items:center;justify-content:center;\n"
    "       background:#FBFCFD;color:#05011C;\n"
    "       font-family:-apple-system,\"Helvetica Neue\",sans-serif;padding:40px}\n"
    "  .box{max-width:620px}\n"
    "  h1{font-size:19px;margin:0 0 10px}\n"
    "  p{font-size:14px;color:#404040;line-height:1.65;margin:0 0 14px}\n"
    "  pre{background:#fff;border:1px solid #E7E7EF;border-radius:10px;padding:14px;\n"
    "      font-size:12px;color:#404040;white-space:pre-wrap;word-break:break-word;\n"
    "      max-height:260px;overflow:auto;margin:0}\n"
    "</style></head><body><div class=\"box\">\n"
    "  <h1>";

constexpr std::string_view errorPageBeforeHint = "</h1>\n  ";
constexpr std::string_view errorPageAfterHint = "\n  <pre>";

constexpr std::string_view errorPageTail =
    "</pre>\n"
    "</div></body></html>";

constexpr std::string_view emptyDetailText = "(ไม่มีรายละเอียดเพิ่มเติม)";

std::string replaceAll(std::string_view text, char from, std::string_view to)
{
    std::string result;
    result.reserve(text.size());
    for (char c : text) {
        if (c == from)
            result += to;
        else
            result += c;
    }
    return result;
}

}  // namespace

std::string errorPage(std::string_view title, std::string_view detail, std::string_view hint)
{
    // Ampersands first, so the entities the later passes add stay intact.
    std::string escaped = replaceAll(detail, '&', "&amp;");
    escaped = replaceAll(escaped, '<', "&lt;");
    escaped = replaceAll(escaped, '>', "&gt;");
    if (escaped.empty())
        escaped = emptyDetailText;

    std::string page;
    page.reserve(errorPageHead.size() + title.size() + errorPageBeforeHint.size() + hint.size() +
                 errorPageAfterHint.size() + escaped.size() + errorPageTail.size());
    page += errorPageHead;
    page += title;
    page += errorPageBeforeHint;
    page += hint;
    page += errorPageAfterHint;
    page += escaped;
    page += errorPageTail;
    return page;
}

}  // namespace quorva
