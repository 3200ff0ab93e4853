#include "platform/gtk/window_gtk.h"

#include "platform/gtk/style_gtk.h"
#include "platform/gtk/web_view_gtk.h"

#include <glib/gstdio.h>

#include <algorithm>

namespace quorva {

namespace {

constexpr const char* stateFileName = "window-state.ini";
// Long enough to gather a drag's many steps into one write.
constexpr guint saveDelayMilliseconds = 500;

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

}  // namespace

GtkMainWindow::GtkMainWindow(GtkApplication* application, int contentWidth, int contentHeight)
    : window(GTK_WINDOW(gtk_application_window_new(application))),
      contentWidth(contentWidth),
      contentHeight(contentHeight)
{
    // The application holds the window until it is destroyed; so do we.
    g_object_ref(window);
    gtk_window_set_default_size(window, contentWidth, contentHeight);
    gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(window), TRUE);
    gtk_widget_add_css_class(GTK_WIDGET(window), "quorva-main");
    g_signal_connect(window, "close-request", G_CALLBACK(onCloseRequest), this);
    g_signal_connect(window, "realize", G_CALLBACK(onRealize), this);
    g_signal_connect(window, "notify::maximized", G_CALLBACK(onMaximizedChanged), this);
    g_signal_connect(application, "shutdown", G_CALLBACK(onApplicationShutdown), this);
}

GtkMainWindow::~GtkMainWindow()
{
    if (pendingSave)
        g_source_remove(pendingSave);
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
    addApplicationStyle("headerbar.quorva-flat{background:transparent;box-shadow:none;border:none;}");
}

void GtkMainWindow::setBackgroundWhite()
{
    addApplicationStyle("window.quorva-main{background-color:#ffffff;}");
}

void GtkMainWindow::setMinimumSize(int width, int height)
{
    // The smallest size is the content's: the bars come on top of it.
    minimumWidth = width;
    minimumHeight = height;
    if (content)
        gtk_widget_set_size_request(content, width, height);
}

void GtkMainWindow::setContent(WebView& webView)
{
    content = static_cast<GtkWebView&>(webView).widget();
    gtk_window_set_child(window, content);
    gtk_widget_set_size_request(content, minimumWidth, minimumHeight);
}

void GtkMainWindow::fitContent()
{
    // The window's smallest size with the content at its first-start size
    // is the window size that gives the content exactly that. The menu bar
    // joins the window only as it is realized, so this waits until then.
    gtk_widget_set_size_request(content, contentWidth, contentHeight);
    int width = 0;
    int height = 0;
    gtk_widget_measure(GTK_WIDGET(window), GTK_ORIENTATION_HORIZONTAL, -1, &width, nullptr,
                       nullptr, nullptr);
    gtk_widget_measure(GTK_WIDGET(window), GTK_ORIENTATION_VERTICAL, width, &height, nullptr,
                       nullptr, nullptr);
    surroundWidth = std::max(0, width - contentWidth);
    surroundHeight = std::max(0, height - contentHeight);
    gtk_widget_set_size_request(content, minimumWidth, minimumHeight);
    if (!sizeRestored)
        gtk_window_set_default_size(window, width, height);
    clampDefaultSizeToMonitor();
}

void GtkMainWindow::clampDefaultSizeToMonitor()
{
    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window));
    GdkSurface* own = gtk_native_get_surface(GTK_NATIVE(window));
    // The monitor the window opens on, where the display can tell before it shows.
    GdkMonitor* at = own ? gdk_display_get_monitor_at_surface(display, own) : nullptr;
    g_autoptr(GdkMonitor) monitor =
        at ? GDK_MONITOR(g_object_ref(at))
           : GDK_MONITOR(g_list_model_get_item(gdk_display_get_monitors(display), 0));
    if (!monitor || !content)
        return;
    GdkRectangle area{};
    gdk_monitor_get_geometry(monitor, &area);
    // On a small screen the window opens no larger than the screen, and may
    // be made as small as the screen allows.
    gtk_widget_set_size_request(content,
                                std::max(1, std::min(minimumWidth, area.width - surroundWidth)),
                                std::max(1, std::min(minimumHeight, area.height - surroundHeight)));
    int width = 0;
    int height = 0;
    gtk_window_get_default_size(window, &width, &height);
    gtk_window_set_default_size(window, std::min(width, area.width), std::min(height, area.height));
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
    if (!widthError && !heightError && width > 0 && height > 0) {
        gtk_window_set_default_size(window, width, height);
        sizeRestored = true;
    }
    savedMaximized = g_key_file_get_boolean(state, name.c_str(), "maximized", nullptr);
    if (savedMaximized)
        gtk_window_maximize(window);
    gtk_window_get_default_size(window, &savedWidth, &savedHeight);
}

void GtkMainWindow::saveFrame()
{
    if (pendingSave) {
        g_source_remove(pendingSave);
        pendingSave = 0;
    }
    if (autosaveName.empty() || frameSaved)
        return;
    // A resize just before closing may not have reached a layout yet.
    if (surface && decorationWidth >= 0)
        followSurfaceSize(gdk_surface_get_width(surface), gdk_surface_get_height(surface));
    // The default size, not the allocation: with client-side decorations they
    // differ, and saving the allocation would shrink the window every run.
    int width = normalWidth;
    int height = normalHeight;
    if (width <= 0 || height <= 0)
        gtk_window_get_default_size(window, &width, &height);
    const bool maximized = gtk_window_is_maximized(window);
    if (width == savedWidth && height == savedHeight && maximized == savedMaximized)
        return;
    g_autoptr(GKeyFile) state = g_key_file_new();
    g_key_file_load_from_file(state, stateFile().c_str(), G_KEY_FILE_KEEP_COMMENTS, nullptr);
    if (width > 0 && height > 0) {
        g_key_file_set_integer(state, autosaveName.c_str(), "width", width);
        g_key_file_set_integer(state, autosaveName.c_str(), "height", height);
    }
    g_key_file_set_boolean(state, autosaveName.c_str(), "maximized", maximized);
    g_mkdir_with_parents(stateDirectory().c_str(), 0700);
    gsize length = 0;
    g_autofree char* text = g_key_file_to_data(state, &length, nullptr);
    // A new file renamed over the old one: a kill mid-write leaves the old
    // state whole, never half of each.
    if (g_file_set_contents_full(stateFile().c_str(), text, static_cast<gssize>(length),
                                 G_FILE_SET_CONTENTS_CONSISTENT, 0600, nullptr)) {
        savedWidth = width;
        savedHeight = height;
        savedMaximized = maximized;
    }
}

void GtkMainWindow::scheduleSave()
{
    if (autosaveName.empty() || frameSaved)
        return;
    if (pendingSave)
        g_source_remove(pendingSave);
    pendingSave = g_timeout_add(saveDelayMilliseconds, onSaveDue, this);
}

gboolean GtkMainWindow::onSaveDue(gpointer data)
{
    auto* self = static_cast<GtkMainWindow*>(data);
    self->pendingSave = 0;
    self->saveFrame();
    return G_SOURCE_REMOVE;
}

void GtkMainWindow::onMaximizedChanged(GObject*, GParamSpec*, gpointer self)
{
    static_cast<GtkMainWindow*>(self)->scheduleSave();
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
    if (self->content)
        self->fitContent();
    self->surface = gtk_native_get_surface(GTK_NATIVE(self->window));
    g_signal_connect(self->surface, "layout", G_CALLBACK(onSurfaceLayout), self);
}

void GtkMainWindow::onSurfaceLayout(GdkSurface*, int width, int height, gpointer data)
{
    auto* self = static_cast<GtkMainWindow*>(data);
    const int oldWidth = self->normalWidth;
    const int oldHeight = self->normalHeight;
    self->followSurfaceSize(width, height);
    if (self->normalWidth != oldWidth || self->normalHeight != oldHeight)
        self->scheduleSave();
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

gboolean GtkMainWindow::onCloseRequest(GtkWindow*, gpointer data)
{
    auto* self = static_cast<GtkMainWindow*>(data);
    self->saveFrame();
    self->frameSaved = true;
    return FALSE;
}

void GtkMainWindow::onApplicationShutdown(GApplication*, gpointer data)
{
    auto* self = static_cast<GtkMainWindow*>(data);
    self->saveFrame();
    self->frameSaved = true;
}

}  // namespace quorva
