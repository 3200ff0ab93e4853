#include "app/app_delegate.h"
#include "app/menu.h"
#include "fake_platform.h"

#include <gtest/gtest.h>

namespace quorva {
namespace {

struct Row {
    std::string title;  // empty: separator
    MenuAction action;
    std::string key;
    unsigned mask;
    bool targetsDelegate;
};

TEST(Menu, FourMenusWithTheirItemsKeysAndTargets)
{
    testing::FakePlatform fake;
    auto delegate = std::make_shared<AppDelegate>(fake.platform);
    const MainMenu menu = buildMenu(delegate);

    const unsigned cmd = 0x100000;
    const Row sep{"", MenuAction::Terminate, "", 0, false};
    const std::vector<std::pair<std::string, std::vector<Row>>> expected = {
        {"",
         {{"เกี่ยวกับ QUORVA", MenuAction::OrderFrontStandardAboutPanel, "", cmd, false},
          sep,
          {"ซ่อน QUORVA", MenuAction::Hide, "h", cmd, false},
          {"ซ่อนแอปอื่น", MenuAction::HideOtherApplications, "h", 0x180000, false},
          {"แสดงทั้งหมด", MenuAction::UnhideAllApplications, "", cmd, false},
          sep,
          {"ออกจาก QUORVA", MenuAction::Terminate, "q", cmd, false}}},
        {"แก้ไข",
         {{"เลิกทำ", MenuAction::Undo, "z", cmd, false},
          {"ทำซ้ำ", MenuAction::Redo, "z", 0x120000, false},
          sep,
          {"ตัด", MenuAction::Cut, "x", cmd, false},
          {"คัดลอก", MenuAction::Copy, "c", cmd, false},
          {"วาง", MenuAction::Paste, "v", cmd, false},
          {"เลือกทั้งหมด", MenuAction::SelectAll, "a", cmd, false}}},
        {"มุมมอง",
         {{"โหลดใหม่", MenuAction::ReloadPage, "r", cmd, true},
          sep,
          {"ขยาย", MenuAction::ZoomIn, "+", cmd, true},
          {"ย่อ", MenuAction::ZoomOut, "-", cmd, true},
          {"ขนาดจริง", MenuAction::ZoomReset, "0", cmd, true}}},
        {"หน้าต่าง",
         {{"ย่อเก็บ", MenuAction::PerformMiniaturize, "m", cmd, false},
          {"ซูม", MenuAction::PerformZoom, "", cmd, false}}},
    };

    ASSERT_EQ(menu.menus.size(), expected.size());
    EXPECT_EQ(menu.windowsMenu, 3u);
    for (std::size_t m = 0; m < expected.size(); ++m) {
        const auto& [title, rows] = expected[m];
        EXPECT_EQ(menu.menus[m].title, title);
        ASSERT_EQ(menu.menus[m].items.size(), rows.size()) << title;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            const MenuItem& item = menu.menus[m].items[i];
            const Row& row = rows[i];
            SCOPED_TRACE(title + " item " + std::to_string(i + 1));
            EXPECT_EQ(item.separator, row.title.empty());
            if (item.separator)
                continue;
            EXPECT_EQ(item.title, row.title);
            EXPECT_EQ(item.action, row.action);
            EXPECT_EQ(item.keyEquivalent, row.key);
            EXPECT_EQ(item.modifierMask, row.mask);
            EXPECT_EQ(item.target.lock() == delegate, row.targetsDelegate);
        }
    }
}

}  // namespace
}  // namespace quorva
