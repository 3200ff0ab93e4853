#include "platform/gtk/application_gtk.h"

#include "app/app_delegate.h"
#include "platform/gtk/color_scheme_gtk.h"
#include "platform/gtk/interpreter_hint_linux.h"
#include "platform/gtk/rendering_gtk.h"
#include "platform/gtk/web_view_gtk.h"
#include "platform/gtk/window_gtk.h"

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <optional>
#include <string>

namespace quorva {

namespace {

constexpr const char* applicationId = "org.quorva.Quorva";

// The windows' icon comes from PNGs loaded once: the themed SVG would map
// librsvg, about 5 MiB, for a picture the window manager shows small. The SVG
// stays for launchers and the About window's logo.
GList* windowIcons = nullptr;

void loadWindowIcons(const std::string& resources)
{
    for (const char* size : {"48", "128"}) {
        g_autofree char* name = g_strconcat("window-icon-", size, ".png", nullptr);
        g_autofree char* path = g_build_filename(resources.c_str(), name, nullptr);
        if (GdkTexture* icon = gdk_texture_new_from_filename(path, nullptr))
            windowIcons = g_list_append(windowIcons, icon);
    }
}

#if defined(__GLIBC__)
// Long enough to span the frames of a scroll, short enough to fall between a
// caret's blinks.
constexpr guint trimDelayMilliseconds = 400;
guint pendingTrim = 0;

gboolean trimHeap(gpointer)
{
    pendingTrim = 0;
    malloc_trim(0);
    return G_SOURCE_REMOVE;
}

void onAfterPaint(GdkFrameClock*, gpointer)
{
    if (pendingTrim)
        g_source_remove(pendingTrim);
    pendingTrim = g_timeout_add(trimDelayMilliseconds, trimHeap, nullptr);
}
#endif

void onWindowRealize(GtkWidget* window, gpointer)
{
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
    if (windowIcons)
        gdk_toplevel_set_icon_list(GDK_TOPLEVEL(surface), windowIcons);
#if defined(__GLIBC__)
    g_signal_connect_object(gdk_surface_get_frame_clock(surface), "after-paint",
                            G_CALLBACK(onAfterPaint), window, G_CONNECT_DEFAULT);
#endif
}

void onWindowAdded(GtkApplication*, GtkWindow* window, gpointer)
{
    g_signal_connect(window, "realize", G_CALLBACK(onWindowRealize), nullptr);
}

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

std::optional<EditCommand> editCommandFor(MenuAction action)
{
    switch (action) {
    case MenuAction::Undo:
        return EditCommand::Undo;
    case MenuAction::Redo:
        return EditCommand::Redo;
    case MenuAction::Cut:
        return EditCommand::Cut;
    case MenuAction::Copy:
        return EditCommand::Copy;
    case MenuAction::Paste:
        return EditCommand::Paste;
    case MenuAction::SelectAll:
        return EditCommand::SelectAll;
    default:
        return std::nullopt;
    }
}

struct ActionBinding {
    GtkShellApplication* application;
    MenuItem item;
};

}  // namespace

GtkShellApplication& GtkShellApplication::shared()
{
    static auto* application = new GtkShellApplication();
    return *application;
}

GtkShellApplication::GtkShellApplication()
    // Unique over the session bus: a second start brings the first window
    // forward instead of starting a second server on the same port.
    : application(gtk_application_new(applicationId, G_APPLICATION_DEFAULT_FLAGS)),
      fileSystem(PosixFileSystem::resourceDirectoryOfExecutable()),
      platformInterfaces{*this,       mainQueue,     clock,     workspace, environment,
                         fileSystem,  processLauncher, signalSources, urlParser, thisProcess}
{
    g_signal_connect(application, "startup", G_CALLBACK(onStartup), this);
    g_signal_connect(application, "activate", G_CALLBACK(onActivate), this);
    g_signal_connect(application, "shutdown", G_CALLBACK(onShutdown), this);
    g_signal_connect(application, "window-added", G_CALLBACK(onWindowAdded), nullptr);
    g_signal_connect(application, "window-removed", G_CALLBACK(onWindowRemoved), this);
}

void GtkShellApplication::setDelegate(const std::shared_ptr<AppDelegate>& newDelegate)
{
    delegate = newDelegate;
}

void GtkShellApplication::setMainMenu(MainMenu menu)
{
    mainMenu = std::move(menu);
}

int GtkShellApplication::run(int, char** argv)
{
#if defined(__GLIBC__)
    // Without a GPU, WebKit allocates a window-sized buffer for every frame it
    // paints. Mapped afresh each time, scrolling costs 2.5 times the CPU, and
    // glibc's own choice flips between that and a heap that grows and stays.
    // So large buffers stay in the heap, which is trimmed once painting pauses.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
#endif
    // A second start passes its launcher's startup token on to the first one,
    // which needs it to be raised rather than flagged, only if its own display
    // is open by then. GTK counts itself initialised even when this fails, and
    // its start-up would then go on to set up icons on no display and crash.
    if (!gtk_init_check())
        return 1;
    // The shell takes no arguments of its own.
    char* arguments[] = {argv[0], nullptr};
    return g_application_run(G_APPLICATION(application), 1, arguments);
}

std::unique_ptr<WebView> GtkShellApplication::createWebView(
    const WebViewConfiguration& configuration, std::weak_ptr<WebViewDelegate> webViewDelegate)
{
    auto view = std::make_unique<GtkWebView>(configuration, std::move(webViewDelegate));
    applyRenderingChoice(view->webKitView());
    return view;
}

std::unique_ptr<Window> GtkShellApplication::createWindow(int contentWidth, int contentHeight)
{
    auto window = std::make_unique<GtkMainWindow>(application, contentWidth, contentHeight);
    window->setCloseHandler([this] {
        auto appDelegate = delegate.lock();
        return !appDelegate || appDelegate->windowShouldClose();
    });
    mainWindow = window.get();
    return window;
}

void GtkShellApplication::activateIgnoringOtherApps()
{
    if (mainWindow)
        gtk_window_present(mainWindow->gtkWindow());
}

void GtkShellApplication::terminate()
{
    g_application_quit(G_APPLICATION(application));
}

std::string_view GtkShellApplication::interpreterHint() const
{
    return linuxInterpreterHint;
}

void GtkShellApplication::onStartup(GApplication*, gpointer data)
{
    auto* self = static_cast<GtkShellApplication*>(data);
    // GTK is up and no window exists yet; a second start, which only hands over
    // to the first, never gets here.
    applyRenderingChoice(self->environment.snapshot());
    followDesktopColorScheme();
    self->installMenu();
    installIcon();
}

void GtkShellApplication::installIcon()
{
    // The icon installed beside the program: icon themes look only in the
    // system's data directories, and a prefix elsewhere would show none.
    if (const auto resources = PosixFileSystem::resourceDirectoryOfExecutable()) {
        g_autofree char* share = g_path_get_dirname(resources->c_str());
        g_autofree char* icons = g_build_filename(share, "icons", nullptr);
        gtk_icon_theme_add_search_path(gtk_icon_theme_get_for_display(gdk_display_get_default()),
                                       icons);
        loadWindowIcons(*resources);
    }
}

void GtkShellApplication::onActivate(GApplication*, gpointer data)
{
    auto* self = static_cast<GtkShellApplication*>(data);
    // A later activation only brings the window back to the front.
    if (self->launched) {
        self->activateIgnoringOtherApps();
        return;
    }
    self->launched = true;
    if (auto appDelegate = self->delegate.lock())
        appDelegate->applicationDidFinishLaunching();
}

void GtkShellApplication::onShutdown(GApplication*, gpointer data)
{
    auto* self = static_cast<GtkShellApplication*>(data);
    if (auto appDelegate = self->delegate.lock())
        appDelegate->applicationWillTerminate();
}

void GtkShellApplication::onWindowRemoved(GtkApplication*, GtkWindow*, gpointer data)
{
    auto* self = static_cast<GtkShellApplication*>(data);
    auto appDelegate = self->delegate.lock();
    // GTK ends the application with its last window; a delegate that says no keeps it.
    if (appDelegate && !appDelegate->applicationShouldTerminateAfterLastWindowClosed() &&
        !gtk_application_get_windows(self->application))
        g_application_hold(G_APPLICATION(self->application));
}

void GtkShellApplication::installMenu()
{
    GMenu* bar = g_menu_new();
    for (std::size_t m = 0; m < mainMenu.menus.size(); ++m) {
        const Menu& menu = mainMenu.menus[m];
        GMenu* submenu = g_menu_new();
        GMenu* section = g_menu_new();
        for (std::size_t i = 0; i < menu.items.size(); ++i) {
            const MenuItem& entry = menu.items[i];
            if (entry.separator) {
                g_menu_append_section(submenu, nullptr, G_MENU_MODEL(section));
                g_object_unref(section);
                section = g_menu_new();
                continue;
            }
            const std::string name = actionName(m, i);
            GSimpleAction* action = g_simple_action_new(name.c_str(), nullptr);
            g_simple_action_set_enabled(action, hasCounterpart(entry.action));
            g_signal_connect_data(
                action, "activate",
                G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer binding) {
                    auto* bound = static_cast<ActionBinding*>(binding);
                    bound->application->performAction(bound->item);
                }),
                new ActionBinding{this, entry},
                [](gpointer binding, GClosure*) { delete static_cast<ActionBinding*>(binding); },
                GConnectFlags(0));
            g_action_map_add_action(G_ACTION_MAP(application), G_ACTION(action));
            g_object_unref(action);

            const std::string detailed = "app." + name;
            g_menu_append(section, entry.title.c_str(), detailed.c_str());
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
        g_menu_append_section(submenu, nullptr, G_MENU_MODEL(section));
        g_object_unref(section);
        if (m == mainMenu.windowsMenu) {
            // The window list: the one window, brought to the front.
            GSimpleAction* present = g_simple_action_new("present-main-window", nullptr);
            g_signal_connect(present, "activate",
                             G_CALLBACK(+[](GSimpleAction*, GVariant*, gpointer self) {
                                 static_cast<GtkShellApplication*>(self)->activateIgnoringOtherApps();
                             }),
                             this);
            g_action_map_add_action(G_ACTION_MAP(application), G_ACTION(present));
            g_object_unref(present);
            GMenu* windows = g_menu_new();
            g_menu_append(windows, "QUORVA", "app.present-main-window");
            g_menu_append_section(submenu, nullptr, G_MENU_MODEL(windows));
            g_object_unref(windows);
        }
        // The first menu carries the application's name, as the platform would show it.
        const std::string title = m == 0 ? "QUORVA" : menu.title;
        g_menu_append_submenu(bar, title.c_str(), G_MENU_MODEL(submenu));
        g_object_unref(submenu);
    }
    gtk_application_set_menubar(application, G_MENU_MODEL(bar));
    g_object_unref(bar);
}

void GtkShellApplication::performAction(const MenuItem& item)
{
    if (auto target = item.target.lock()) {
        switch (item.action) {
        case MenuAction::ReloadPage:
            return target->reloadPage();
        case MenuAction::ZoomIn:
            return target->zoomIn();
        case MenuAction::ZoomOut:
            return target->zoomOut();
        case MenuAction::ZoomReset:
            return target->zoomReset();
        case MenuAction::Print:
            return target->printPage();
        case MenuAction::Find:
            return target->findInPage();
        default:
            break;
        }
    }
    auto appDelegate = delegate.lock();
    if (const auto command = editCommandFor(item.action)) {
        if (appDelegate)
            appDelegate->runEditCommand(*command);
        return;
    }
    switch (item.action) {
    case MenuAction::OrderFrontStandardAboutPanel:
        return showAboutPanel();
    case MenuAction::Terminate:
        // The page may ask first; the delegate then ends the application itself.
        if (appDelegate && !appDelegate->applicationShouldTerminate())
            return;
        // Through the application, so its shutdown stops the server.
        return g_application_quit(G_APPLICATION(application));
    case MenuAction::Hide:
    case MenuAction::PerformMiniaturize:
        if (appDelegate)
            appDelegate->minimizeWindow();
        return;
    case MenuAction::PerformZoom:
        if (appDelegate)
            appDelegate->zoomWindow();
        return;
    default:
        return;
    }
}

void GtkShellApplication::showAboutPanel()
{
    GtkWindow* parent = mainWindow ? mainWindow->gtkWindow() : nullptr;
    gtk_show_about_dialog(parent, "program-name", "QUORVA", "logo-icon-name", applicationId,
                          "modal", TRUE, nullptr);
}

}  // namespace quorva
