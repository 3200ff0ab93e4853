#include "app/menu.h"

namespace quorva {

namespace {

MenuItem item(std::string title, MenuAction action, std::string key)
{
    MenuItem entry;
    entry.title = std::move(title);
    entry.action = action;
    entry.keyEquivalent = std::move(key);
    return entry;
}

MenuItem separator()
{
    MenuItem entry;
    entry.separator = true;
    return entry;
}

}  // namespace

MainMenu buildMenu(const std::shared_ptr<AppDelegate>& delegate)
{
    MainMenu main;

    Menu application;
    application.items.push_back(item("เกี่ยวกับ QUORVA", MenuAction::OrderFrontStandardAboutPanel, ""));
    application.items.push_back(separator());
    application.items.push_back(item("ซ่อน QUORVA", MenuAction::Hide, "h"));
    application.items.push_back(item("ซ่อนแอปอื่น", MenuAction::HideOtherApplications, "h"));
    application.items.back().modifierMask = optionModifier | commandModifier;
    application.items.push_back(item("แสดงทั้งหมด", MenuAction::UnhideAllApplications, ""));
    application.items.push_back(separator());
    application.items.push_back(item("พิมพ์…", MenuAction::Print, "p"));
    application.items.back().target = delegate;
    application.items.push_back(separator());
    application.items.push_back(item("ออกจาก QUORVA", MenuAction::Terminate, "q"));
    main.menus.push_back(std::move(application));

    Menu edit{"แก้ไข", {}};
    edit.items.push_back(item("เลิกทำ", MenuAction::Undo, "z"));
    edit.items.push_back(item("ทำซ้ำ", MenuAction::Redo, "z"));
    edit.items.back().modifierMask = shiftModifier | commandModifier;
    edit.items.push_back(separator());
    edit.items.push_back(item("ตัด", MenuAction::Cut, "x"));
    edit.items.push_back(item("คัดลอก", MenuAction::Copy, "c"));
    edit.items.push_back(item("วาง", MenuAction::Paste, "v"));
    edit.items.push_back(item("เลือกทั้งหมด", MenuAction::SelectAll, "a"));
    edit.items.push_back(separator());
    edit.items.push_back(item("ค้นหา…", MenuAction::Find, "f"));
    edit.items.back().target = delegate;
    main.menus.push_back(std::move(edit));

    Menu view{"มุมมอง", {}};
    view.items.push_back(item("โหลดใหม่", MenuAction::ReloadPage, "r"));
    view.items.back().target = delegate;
    view.items.push_back(separator());
    view.items.push_back(item("ขยาย", MenuAction::ZoomIn, "+"));
    view.items.back().target = delegate;
    view.items.push_back(item("ย่อ", MenuAction::ZoomOut, "-"));
    view.items.back().target = delegate;
    view.items.push_back(item("ขนาดจริง", MenuAction::ZoomReset, "0"));
    view.items.back().target = delegate;
    main.menus.push_back(std::move(view));

    Menu window{"หน้าต่าง", {}};
    window.items.push_back(item("ย่อเก็บ", MenuAction::PerformMiniaturize, "m"));
    window.items.push_back(item("ซูม", MenuAction::PerformZoom, ""));
    main.menus.push_back(std::move(window));
    main.windowsMenu = 3;
    return main;
}

}  // namespace quorva
