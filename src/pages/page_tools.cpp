#include "pages/page_tools.h"

#include "output/grapheme.h"

namespace quorva {

namespace {

// Room for ".pdf" and a copy's number within the usual 255-byte limit.
constexpr std::size_t fileNameBytes = 200;

std::string grouped(unsigned number)
{
    std::string digits = std::to_string(number);
    for (auto at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, ",");
    return digits;
}

}  // namespace

std::string findStatus(unsigned current, unsigned total)
{
    if (total == 0)
        return "ไม่พบข้อความนี้ในหน้า";
    return grouped(current) + " จาก " + grouped(total);
}

std::string printFileName(std::string_view title)
{
    std::string name;
    for (char c : title) {
        const auto byte = static_cast<unsigned char>(c);
        // A slash would make a folder of it; control characters and a
        // leading dot make a name nobody can see or type.
        if (c == '/' || byte < 0x20 || byte == 0x7f)
            name += ' ';
        else
            name += c;
    }
    const auto first = name.find_first_not_of(" .");
    name = first == std::string::npos ? "" : name.substr(first);
    if (name.size() > fileNameBytes) {
        GraphemeCursor cursor(name);
        const auto end = cursor.iterator().preceding(static_cast<int32_t>(fileNameBytes) + 1);
        name.resize(end > 0 ? static_cast<std::size_t>(end) : 0);
    }
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    return name.empty() ? "QUORVA" : name;
}

Notice printFailureNotice(const std::string& description)
{
    Notice notice;
    notice.text = "พิมพ์หน้านี้ไม่สำเร็จ";
    if (!description.empty())
        notice.text += ": " + description;
    notice.failure = true;
    return notice;
}

Question leavePageQuestion()
{
    return {"ออกจากหน้านี้หรือไม่",
            "ข้อมูลที่กรอกไว้ในหน้านี้ยังไม่ได้บันทึก ถ้าออกตอนนี้ ข้อมูลนั้นจะหายไป", "อยู่ต่อ",
            "ออกโดยไม่บันทึก"};
}

Question pageConfirmQuestion(const std::string& message)
{
    return {"ยืนยัน", message, "ยกเลิก", "ตกลง"};
}

}  // namespace quorva
