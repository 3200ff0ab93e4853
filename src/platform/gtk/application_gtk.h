#pragma once

#include "app/menu.h"
#include "platform/gtk/gobject_ptr.h"
#include "platform/gtk/main_queue_gtk.h"
#include "platform/gtk/signals_gtk.h"
#include "platform/gtk/url_glib.h"
#include "platform/gtk/workspace_gtk.h"
#include "platform/platform.h"
#include "platform/posix/process_posix.h"
#include "platform/posix/system_posix.h"

#include <gtk/gtk.h>

#include <memory>
#include <utility>
#include <vector>

namespace quorva {

class AppDelegate;
class GtkMainWindow;
class GtkPageEmbed;

// The application object: the GTK application, its main loop and the real
// platform that the delegate talks to.
class GtkShellApplication final : public WindowSystem {
public:
    static GtkShellApplication& shared();

    Platform& platform() { return platformInterfaces; }
    // Held weakly: the entry keeps the delegate alive.
    void setDelegate(const std::shared_ptr<AppDelegate>& delegate);
    void setMainMenu(MainMenu menu);
    int run(int argc, char** argv);

    std::unique_ptr<WebView> createWebView(const WebViewConfiguration& configuration,
                                           std::weak_ptr<WebViewDelegate> delegate) override;
    std::unique_ptr<Window> createWindow(int contentWidth, int contentHeight) override;
    void activateIgnoringOtherApps() override;
    void terminate() override;
    std::string_view interpreterHint() const override;

private:
    GtkShellApplication();

    static void onStartup(GApplication*, gpointer self);
    static void onActivate(GApplication*, gpointer self);
    static void onShutdown(GApplication*, gpointer self);
    static void onWindowAdded(GtkApplication*, GtkWindow* window, gpointer self);
    static void onWindowRealize(GtkWidget* window, gpointer self);
    static void onWindowRemoved(GtkApplication*, GtkWindow*, gpointer self);

    void installMenu();
    void installIcon();
    void performAction(const MenuItem& item);
    void showAboutPanel();

    GObjectPtr<GtkApplication> application;
    // The windows' icon comes from PNGs loaded once: the themed SVG would map
    // librsvg, about 5 MiB, for a picture the window manager shows small. The
    // SVG stays for launchers and the About window's logo.
    std::vector<GObjectPtr<GdkTexture>> windowIcons;
    std::weak_ptr<AppDelegate> delegate;
    MainMenu mainMenu;
    // What each web view made here shows in a window.
    std::vector<std::pair<const WebView*, std::weak_ptr<GtkPageEmbed>>> embeds;
    GtkMainWindow* mainWindow = nullptr;
    bool launched = false;

    GlibMainQueue mainQueue;
    SteadyClock clock;
    GioWorkspace workspace;
    PosixEnvironment environment;
    PosixFileSystem fileSystem;
    PosixProcessLauncher processLauncher;
    GlibSignalSources signalSources;
    GlibUrlParser urlParser;
    PosixThisProcess thisProcess;
    Platform platformInterfaces;
};

}  // namespace quorva
