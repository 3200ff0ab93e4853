#pragma once

#include <string_view>

namespace quorva {

// How a Linux user gets python3: from the system's package manager.
inline constexpr std::string_view linuxInterpreterHint =
    "<p>QUORVA ต้องใช้ python3 ที่ติดตั้งในเครื่อง ถ้ายังไม่มี ให้ติดตั้งผ่านตัวจัดการแพ็กเกจของระบบ\n"
    "     เช่น บน Debian หรือ Ubuntu ให้เปิดเทอร์มินัลแล้วรัน <code>sudo apt install python3</code>\n"
    "     แล้วเปิดแอปใหม่</p>";

}  // namespace quorva
