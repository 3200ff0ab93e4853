#include "platform/gtk/menu_gtk.h"

#include "platform/gtk/gobject_ptr.h"

#include <string>
#include <vector>

namespace quorva {

namespace {

using Perform = std::function<void(const MenuItem&)>;

std::string actionName(std::size_t menu, std::size_t item)
{
    return "menu-" + std::to_string(menu) + "-" + std::to_string(item);
}

// The platform's key name for a key equivalent, with the modifiers in front.
std::string accelerator(const std::string& key, unsigned mask)
{
    std::string text;
    if (mask & commandModifier)
        text += "<Primary>";
    if (mask & optionModifier)
        text += "<Alt>";
    if (mask & shiftModifier)
        text += "<Shift>";
    if (key == "+")
        return text + "plus";
    if (key == "-")
        return text + "minus";
    return text + key;
}

// Keys a user of this platform expects beside the menu's own.
std::vector<std::string> extraAccelerators(MenuAction action)
{
    switch (action) {
    case MenuAction::ZoomIn:
        return {"<Primary>equal", "<Primary>KP_Add"};
    case MenuAction::ZoomOut:
        return {"<Primary>KP_Subtract"};
    case MenuAction::ZoomReset:
        return {"<Primary>KP_0"};
    default:
        return {};
    }
}

// Hiding other applications has no counterpart here.
bool hasCounterpart(MenuAction action)
{
    return action != MenuAction::HideOtherApplications &&
           action != MenuAction::UnhideAllApplications;
}

template <typename Work>
void addAction(GtkApplication* application, const std::string& name, bool enabled, Work work)
{
    const auto action = adoptGObject(g_simple_action_new(name.c_str(), nullptr));
    g_simple_action_set_enabled(action.get(), enabled);
    g_signal_connect_data(
        action.get(), "activate", G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer bound) {
            (*static_cast<Work*>(bound))();
        }),
        new Work(std::move(work)),
        [](gpointer bound, GClosure*) { delete static_cast<Work*>(bound); },
        GConnectFlags(0));
    g_action_map_add_action(G_ACTION_MAP(application), G_ACTION(action.get()));
}

void setAccelerators(GtkApplication* application, const std::string& detailed,
                     const MenuItem& entry)
{
    std::vector<std::string> keys;
    if (!entry.keyEquivalent.empty())
        keys.push_back(accelerator(entry.keyEquivalent, entry.modifierMask));
    for (auto& extra : extraAccelerators(entry.action))
        keys.push_back(std::move(extra));
    std::vector<const char*> accels;
    for (const auto& key : keys)
        accels.push_back(key.c_str());
    accels.push_back(nullptr);
    gtk_application_set_accels_for_action(application, detailed.c_str(), accels.data());
}

GObjectPtr<GMenu> submenuOf(GtkApplication* application, const Menu& menu, std::size_t m,
                            const Perform& perform)
{
    auto submenu = adoptGObject(g_menu_new());
    auto section = adoptGObject(g_menu_new());
    for (std::size_t i = 0; i < menu.items.size(); ++i) {
        const MenuItem& entry = menu.items[i];
        if (entry.separator) {
            g_menu_append_section(submenu.get(), nullptr, G_MENU_MODEL(section.get()));
            section.reset(g_menu_new());
            continue;
        }
        const std::string name = actionName(m, i);
        addAction(application, name, hasCounterpart(entry.action),
                  [perform, entry] { perform(entry); });
        const std::string detailed = "app." + name;
        g_menu_append(section.get(), entry.title.c_str(), detailed.c_str());
        setAccelerators(application, detailed, entry);
    }
    g_menu_append_section(submenu.get(), nullptr, G_MENU_MODEL(section.get()));
    return submenu;
}

}  // namespace

void installMenuBar(GtkApplication* application, const MainMenu& mainMenu, Perform perform,
                    std::function<void()> presentWindow)
{
    const auto bar = adoptGObject(g_menu_new());
    for (std::size_t m = 0; m < mainMenu.menus.size(); ++m) {
        const auto submenu = submenuOf(application, mainMenu.menus[m], m, perform);
        if (m == mainMenu.windowsMenu) {
            // The window list: the one window, brought to the front.
            addAction(application, "present-main-window", true, presentWindow);
            const auto windows = adoptGObject(g_menu_new());
            g_menu_append(windows.get(), "QUORVA", "app.present-main-window");
            g_menu_append_section(submenu.get(), nullptr, G_MENU_MODEL(windows.get()));
        }
        // The first menu carries the application's name, as the platform would show it.
        const std::string title = m == 0 ? "QUORVA" : mainMenu.menus[m].title;
        g_menu_append_submenu(bar.get(), title.c_str(), G_MENU_MODEL(submenu.get()));
    }
    gtk_application_set_menubar(application, G_MENU_MODEL(bar.get()));
}

void nameMenuBar(GtkWindow* window)
{
    for (GtkWidget* child = gtk_widget_get_first_child(GTK_WIDGET(window)); child;
         child = gtk_widget_get_next_sibling(child)) {
        if (GTK_IS_POPOVER_MENU_BAR(child))
            gtk_accessible_update_property(GTK_ACCESSIBLE(child), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                           "แถบเมนู", -1);
    }
}

}  // namespace quorva
