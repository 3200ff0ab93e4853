#pragma once

#include <memory>
#include <string>
#include <vector>

namespace quorva {

class AppDelegate;

// Key equivalent modifier masks, with the platform's values.
enum ModifierMask : unsigned {
    commandModifier = 0x100000,
    optionModifier = 0x80000,
    shiftModifier = 0x20000,
};

enum class MenuAction {
    OrderFrontStandardAboutPanel,
    Hide,
    HideOtherApplications,
    UnhideAllApplications,
    Terminate,
    Undo,
    Redo,
    Cut,
    Copy,
    Paste,
    SelectAll,
    ReloadPage,
    ZoomIn,
    ZoomOut,
    ZoomReset,
    PerformMiniaturize,
    PerformZoom,
    Print,
    Find,
};

struct MenuItem {
    bool separator = false;
    std::string title;
    MenuAction action = MenuAction::Terminate;
    std::string keyEquivalent;
    unsigned modifierMask = commandModifier;
    // Null: the action travels the responder chain.
    std::weak_ptr<AppDelegate> target;
};

struct Menu {
    std::string title;
    std::vector<MenuItem> items;
};

struct MainMenu {
    // Application, Edit, View, Window; the first takes the application's name.
    std::vector<Menu> menus;
    std::size_t windowsMenu = 0;
};

MainMenu buildMenu(const std::shared_ptr<AppDelegate>& delegate);

}  // namespace quorva
