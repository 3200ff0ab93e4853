#include "pages/download_policy.h"

#include <string_view>

namespace quorva {

namespace {

bool isSpace(char c)
{
    return c == ' ' || c == '\t';
}

std::string_view dispositionType(std::string_view header)
{
    header = header.substr(0, header.find(';'));
    while (!header.empty() && isSpace(header.front()))
        header.remove_prefix(1);
    while (!header.empty() && isSpace(header.back()))
        header.remove_suffix(1);
    return header;
}

bool equalsIgnoringAsciiCase(std::string_view text, std::string_view lower)
{
    if (text.size() != lower.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a')
                                                        : text[i];
        if (c != lower[i])
            return false;
    }
    return true;
}

}  // namespace

ResponsePolicy decideResponse(const Response& response)
{
    if (!response.mimeTypeSupported)
        return ResponsePolicy::Download;
    const auto type = dispositionType(response.contentDisposition);
    if (type.empty() || equalsIgnoringAsciiCase(type, "inline"))
        return ResponsePolicy::Show;
    return ResponsePolicy::Download;
}

Notice downloadNotice(const DownloadOutcome& outcome)
{
    const auto slash = outcome.path.rfind('/');
    const std::string name =
        slash == std::string::npos ? outcome.path : outcome.path.substr(slash + 1);
    const std::string folder = slash == std::string::npos ? ""
                               : slash == 0               ? "/"
                                                          : outcome.path.substr(0, slash);
    const std::string file = "บันทึกไฟล์ “" + name + "”";
    Notice notice;
    notice.failure = outcome.error != DownloadOutcome::Error::None;
    switch (outcome.error) {
    case DownloadOutcome::Error::None:
        notice.text = file + " ไว้ที่ " + folder + " แล้ว";
        notice.folder = folder;
        notice.openFolderLabel = "เปิดโฟลเดอร์";
        break;
    case DownloadOutcome::Error::Connection:
        notice.text = file + " ไม่สำเร็จ เพราะการเชื่อมต่อกับเซิร์ฟเวอร์ขาดหายระหว่างดาวน์โหลด"
                             " ลองใหม่อีกครั้ง";
        break;
    case DownloadOutcome::Error::DiskFull:
        notice.text = file + " ไม่สำเร็จ เพราะพื้นที่ในดิสก์ไม่พอ"
                             " ลบไฟล์ที่ไม่ใช้ออกก่อน แล้วลองใหม่อีกครั้ง";
        break;
    case DownloadOutcome::Error::NoPermission:
        notice.text = file + " ไม่สำเร็จ เพราะไม่มีสิทธิ์เขียนไฟล์ในโฟลเดอร์ " + folder +
                      " ลองบันทึกลงโฟลเดอร์อื่น";
        break;
    case DownloadOutcome::Error::Other:
        notice.text = file + " ไม่สำเร็จ";
        if (!outcome.detail.empty())
            notice.text += " (" + outcome.detail + ")";
        break;
    }
    return notice;
}

}  // namespace quorva
