#include "platform/gtk/application_gtk.h"

#include "app/app_delegate.h"
#include "platform/gtk/color_scheme_gtk.h"
#include "platform/gtk/heap_linux.h"
#include "platform/gtk/interpreter_hint_linux.h"
#include "platform/gtk/menu_gtk.h"
#include "platform/gtk/rendering_gtk.h"
#include "platform/gtk/web_view_gtk.h"
#include "platform/gtk/window_gtk.h"

#include <optional>

namespace quorva {

namespace {

constexpr const char* applicationId = "org.quorva.Quorva";

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

}  // namespace

GtkShellApplication& GtkShellApplication::shared()
{
    static auto* application = new GtkShellApplication();
    return *application;
}

GtkShellApplication::GtkShellApplication()
    // Unique over the session bus: a second start brings the first window
    // forward instead of starting a second server on the same port.
    : application(adoptGObject(gtk_application_new(applicationId, G_APPLICATION_DEFAULT_FLAGS))),
      fileSystem(PosixFileSystem::resourceDirectoryOfExecutable()),
      platformInterfaces{*this,       mainQueue,     clock,     workspace, environment,
                         fileSystem,  processLauncher, signalSources, urlParser, thisProcess}
{
    // This object outlives the application it holds: its handlers need no disconnecting.
    g_signal_connect(application.get(), "startup", G_CALLBACK(onStartup), this);
    g_signal_connect(application.get(), "activate", G_CALLBACK(onActivate), this);
    g_signal_connect(application.get(), "shutdown", G_CALLBACK(onShutdown), this);
    g_signal_connect(application.get(), "window-added", G_CALLBACK(onWindowAdded), this);
    g_signal_connect(application.get(), "window-removed", G_CALLBACK(onWindowRemoved), this);
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
    keepPaintBuffersInHeap();
    // A second start passes its launcher's startup token on to the first one,
    // which needs it to be raised rather than flagged, only if its own display
    // is open by then. GTK counts itself initialised even when this fails, and
    // its start-up would then go on to set up icons on no display and crash.
    if (!gtk_init_check())
        return 1;
    // The shell takes no arguments of its own.
    char* arguments[] = {argv[0], nullptr};
    const int status = g_application_run(G_APPLICATION(application.get()), 1, arguments);
    // Its loop has ended, and with it every call that could reach them.
    windowIcons.clear();
    application.reset();
    return status;
}

std::unique_ptr<WebView> GtkShellApplication::createWebView(
    const WebViewConfiguration& configuration, std::weak_ptr<WebViewDelegate> webViewDelegate)
{
    auto view = std::make_unique<GtkWebView>(configuration, std::move(webViewDelegate));
    applyRenderingChoice(view->webKitView());
    std::erase_if(embeds, [](const auto& made) { return made.second.expired(); });
    embeds.emplace_back(view.get(), view->embed());
    return view;
}

std::unique_ptr<Window> GtkShellApplication::createWindow(int contentWidth, int contentHeight)
{
    auto window = std::make_unique<GtkMainWindow>(
        application.get(), contentWidth, contentHeight, [this](const WebView& view) -> GtkWidget* {
            for (const auto& [made, embed] : embeds) {
                if (auto shown = embed.lock(); shown && made == &view)
                    return shown->widget();
            }
            return nullptr;
        });
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
    g_application_quit(G_APPLICATION(application.get()));
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
    self->installIcon();
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
        for (const char* size : {"48", "128"}) {
            g_autofree char* name = g_strconcat("window-icon-", size, ".png", nullptr);
            g_autofree char* path = g_build_filename(resources->c_str(), name, nullptr);
            if (GdkTexture* icon = gdk_texture_new_from_filename(path, nullptr))
                windowIcons.push_back(adoptGObject(icon));
        }
    }
}

void GtkShellApplication::onWindowAdded(GtkApplication*, GtkWindow* window, gpointer self)
{
    g_signal_connect(window, "realize", G_CALLBACK(onWindowRealize), self);
}

void GtkShellApplication::onWindowRealize(GtkWidget* window, gpointer data)
{
    auto* self = static_cast<GtkShellApplication*>(data);
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
    if (!self->windowIcons.empty()) {
        // The list only lends the textures to the call.
        GList* icons = nullptr;
        for (auto icon = self->windowIcons.rbegin(); icon != self->windowIcons.rend(); ++icon)
            icons = g_list_prepend(icons, icon->get());
        gdk_toplevel_set_icon_list(GDK_TOPLEVEL(surface), icons);
        g_list_free(icons);
    }
    trimHeapWhenPaintingPauses(window);
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
    if (self->mainWindow)
        self->mainWindow->saveFinalFrame();
}

void GtkShellApplication::onWindowRemoved(GtkApplication*, GtkWindow*, gpointer data)
{
    auto* self = static_cast<GtkShellApplication*>(data);
    auto appDelegate = self->delegate.lock();
    // GTK ends the application with its last window; a delegate that says no keeps it.
    if (appDelegate && !appDelegate->applicationShouldTerminateAfterLastWindowClosed() &&
        !gtk_application_get_windows(self->application.get()))
        g_application_hold(G_APPLICATION(self->application.get()));
}

void GtkShellApplication::installMenu()
{
    installMenuBar(
        application.get(), mainMenu, [this](const MenuItem& item) { performAction(item); },
        [this] { activateIgnoringOtherApps(); });
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
        return g_application_quit(G_APPLICATION(application.get()));
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
