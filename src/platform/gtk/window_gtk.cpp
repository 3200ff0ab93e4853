#include "platform/gtk/window_gtk.h"

#include "platform/gtk/web_view_gtk.h"

#include <glib/gstdio.h>

#include <algorithm>

namespace quorva {

namespace {

constexpr const char* stateFileName = "window-state.ini";

std::string stateDirectory()
{
    g_autofree char* directory = g_build_filename(g_get_user_state_dir(), "quorva", nullptr);
    return directory;
}

std::string stateFile()
{
    g_autofree char* file = g_build_filename(stateDirectory().c_str(), stateFileName, nullptr);
    return file;
}

void addStyle(const char* css)
{
    GtkCssProvider* provider = gtk_css_provider_new();
    gtk_css_provider_load_from_data(provider, css, -1);
    gtk_style_context_add_provider_for_display(gdk_display_get_default(),
                                               GTK_STYLE_PROVIDER(provider),
                                               GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
    g_object_unref(provider);
}

}  // namespace

GtkMainWindow::GtkMainWindow(GtkApplication* application, int contentWidth, int contentHeight)
    : window(GTK_WINDOW(gtk_application_window_new(application)))
{
    // The application holds the window until it is destroyed; so do we.
    g_object_ref(window);
    gtk_window_set_default_size(window, contentWidth, contentHeight);
    gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(window), TRUE);
    gtk_widget_add_css_class(GTK_WIDGET(window), "quorva-main");
    g_signal_connect(window, "close-request", G_CALLBACK(onCloseRequest), this);
    g_signal_connect(window, "realize", G_CALLBACK(onRealize), this);
    g_signal_connect(application, "shutdown", G_CALLBACK(onApplicationShutdown), this);
}

GtkMainWindow::~GtkMainWindow()
{
    if (surface)
        g_signal_handlers_disconnect_by_data(surface, this);
    if (GtkApplication* application = gtk_window_get_application(window))
        g_signal_handlers_disconnect_by_data(application, this);
    g_signal_handlers_disconnect_by_data(window, this);
    g_object_unref(window);
}

void GtkMainWindow::setTitle(const std::string& title)
{
    gtk_window_set_title(window, title.c_str());
}

void GtkMainWindow::setTitleVisible(bool visible)
{
    if (visible) {
        gtk_window_set_titlebar(window, nullptr);
        titleBar = nullptr;
        return;
    }
    // The window keeps its title for the window list; the bar shows none.
    titleBar = gtk_header_bar_new();
    gtk_header_bar_set_title_widget(GTK_HEADER_BAR(titleBar), gtk_label_new(""));
    gtk_window_set_titlebar(window, titleBar);
}

void GtkMainWindow::setTitlebarTransparent(bool transparent)
{
    if (!titleBar || !transparent)
        return;
    gtk_widget_add_css_class(titleBar, "quorva-flat");
    addStyle("headerbar.quorva-flat{background:transparent;box-shadow:none;border:none;}");
}

void GtkMainWindow::setBackgroundWhite()
{
    addStyle("window.quorva-main{background-color:#ffffff;}");
}

void GtkMainWindow::setMinimumSize(int width, int height)
{
    gtk_widget_set_size_request(GTK_WIDGET(window), width, height);
}

void GtkMainWindow::setContent(WebView& webView)
{
    gtk_window_set_child(window, static_cast<GtkWebView&>(webView).widget());
}

void GtkMainWindow::center()
{
    // GTK 4 cannot place windows; the window manager centres a new one.
}

void GtkMainWindow::setFrameAutosaveName(const std::string& name)
{
    autosaveName = name;
    g_autoptr(GKeyFile) state = g_key_file_new();
    if (!g_key_file_load_from_file(state, stateFile().c_str(), G_KEY_FILE_NONE, nullptr))
        return;
    g_autoptr(GError) widthError = nullptr;
    g_autoptr(GError) heightError = nullptr;
    const int width = g_key_file_get_integer(state, name.c_str(), "width", &widthError);
    const int height = g_key_file_get_integer(state, name.c_str(), "height", &heightError);
    if (!widthError && !heightError && width > 0 && height > 0)
        gtk_window_set_default_size(window, width, height);
    if (g_key_file_get_boolean(state, name.c_str(), "maximized", nullptr))
        gtk_window_maximize(window);
}

void GtkMainWindow::saveFrame()
{
    if (autosaveName.empty() || frameSaved)
        return;
    frameSaved = true;
    // A resize just before closing may not have reached a layout yet.
    if (surface && decorationWidth >= 0)
        followSurfaceSize(gdk_surface_get_width(surface), gdk_surface_get_height(surface));
    // The default size, not the allocation: with client-side decorations they
    // differ, and saving the allocation would shrink the window every run.
    int width = normalWidth;
    int height = normalHeight;
    if (width <= 0 || height <= 0)
        gtk_window_get_default_size(window, &width, &height);
    g_autoptr(GKeyFile) state = g_key_file_new();
    g_key_file_load_from_file(state, stateFile().c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
    if (width > 0 && height > 0) {
        g_key_file_set_integer(state, autosaveName.c_str(), "width", width);
        g_key_file_set_integer(state, autosaveName.c_str(), "height", height);
    }
    g_key_file_set_boolean(state, autosaveName.c_str(), "maximized", gtk_window_is_maximized(window));
    g_mkdir_with_parents(stateDirectory().c_str(), 0700);
    g_key_file_save_to_file(state, stateFile().c_str(), nullptr);
}

void GtkMainWindow::makeKeyAndOrderFront()
{
    gtk_window_present(window);
}

void GtkMainWindow::minimize()
{
    gtk_window_minimize(window);
}

void GtkMainWindow::toggleZoomed()
{
    if (gtk_window_is_maximized(window))
        gtk_window_unmaximize(window);
    else
        gtk_window_maximize(window);
}

void GtkMainWindow::onRealize(GtkWidget*, gpointer data)
{
    auto* self = static_cast<GtkMainWindow*>(data);
    self->surface = gtk_native_get_surface(GTK_NATIVE(self->window));
    g_signal_connect(self->surface, "layout", G_CALLBACK(onSurfaceLayout), self);
}

void GtkMainWindow::onSurfaceLayout(GdkSurface*, int width, int height, gpointer data)
{
    static_cast<GtkMainWindow*>(data)->followSurfaceSize(width, height);
}

void GtkMainWindow::followSurfaceSize(int width, int height)
{
    if (gtk_window_is_maximized(window) || gtk_window_is_fullscreen(window))
        return;
    if (decorationWidth < 0) {
        int defaultWidth = 0;
        int defaultHeight = 0;
        gtk_window_get_default_size(window, &defaultWidth, &defaultHeight);
        decorationWidth = std::max(0, width - defaultWidth);
        decorationHeight = std::max(0, height - defaultHeight);
    }
    normalWidth = width - decorationWidth;
    normalHeight = height - decorationHeight;
}

gboolean GtkMainWindow::onCloseRequest(GtkWindow*, gpointer self)
{
    static_cast<GtkMainWindow*>(self)->saveFrame();
    return FALSE;
}

void GtkMainWindow::onApplicationShutdown(GApplication*, gpointer self)
{
    static_cast<GtkMainWindow*>(self)->saveFrame();
}

}  // namespace quorva
