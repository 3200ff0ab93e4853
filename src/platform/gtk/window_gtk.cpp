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
    // The application holds the window until it is destroyed; so do we.
    : window(retainGObject(GTK_WINDOW(gtk_application_window_new(application)))),
      contentWidth(contentWidth),
      contentHeight(contentHeight)
{
    gtk_window_set_default_size(window.get(), contentWidth, contentHeight);
    gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(window.get()), TRUE);
    gtk_widget_add_css_class(GTK_WIDGET(window.get()), "quorva-main");
    windowSignals.emplace_back(window.get(), "close-request", G_CALLBACK(onCloseRequest), this);
    windowSignals.emplace_back(window.get(), "realize", G_CALLBACK(onRealize), this);
    windowSignals.emplace_back(window.get(), "notify::maximized", G_CALLBACK(onMaximizedChanged),
                               this);
}

GtkMainWindow::~GtkMainWindow()
{
    if (pendingSave)
        g_source_remove(pendingSave);
}

void GtkMainWindow::setTitle(const std::string& title)
{
    gtk_window_set_title(window.get(), title.c_str());
}

void GtkMainWindow::setTitleVisible(bool visible)
{
    if (visible) {
        gtk_window_set_titlebar(window.get(), nullptr);
        titleBar = nullptr;
        return;
    }
    // The window keeps its title for the window list; the bar shows none.
    titleBar = gtk_header_bar_new();
    gtk_header_bar_set_title_widget(GTK_HEADER_BAR(titleBar), gtk_label_new(""));
    gtk_window_set_titlebar(window.get(), titleBar);
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
    gtk_window_set_child(window.get(), content);
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
    gtk_widget_measure(GTK_WIDGET(window.get()), GTK_ORIENTATION_HORIZONTAL, -1, &width, nullptr,
                       nullptr, nullptr);
    gtk_widget_measure(GTK_WIDGET(window.get()), GTK_ORIENTATION_VERTICAL, width, &height, nullptr,
                       nullptr, nullptr);
    surroundWidth = std::max(0, width - contentWidth);
    surroundHeight = std::max(0, height - contentHeight);
    gtk_widget_set_size_request(content, minimumWidth, minimumHeight);
    if (!sizeRestored)
        gtk_window_set_default_size(window.get(), width, height);
    clampDefaultSizeToMonitor();
}

void GtkMainWindow::clampDefaultSizeToMonitor()
{
    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window.get()));
    GdkSurface* own = gtk_native_get_surface(GTK_NATIVE(window.get()));
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
    gtk_window_get_default_size(window.get(), &width, &height);
    gtk_window_set_default_size(window.get(), std::min(width, area.width),
                                std::min(height, area.height));
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
        gtk_window_set_default_size(window.get(), width, height);
        sizeRestored = true;
    }
    savedMaximized = g_key_file_get_boolean(state, name.c_str(), "maximized", nullptr);
    if (savedMaximized)
        gtk_window_maximize(window.get());
    gtk_window_get_default_size(window.get(), &savedWidth, &savedHeight);
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
        gtk_window_get_default_size(window.get(), &width, &height);
    const bool maximized = gtk_window_is_maximized(window.get());
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
    gtk_window_present(window.get());
}

void GtkMainWindow::minimize()
{
    gtk_window_minimize(window.get());
}

void GtkMainWindow::toggleZoomed()
{
    if (gtk_window_is_maximized(window.get()))
        gtk_window_unmaximize(window.get());
    else
        gtk_window_maximize(window.get());
}

namespace {

// One open question: its answer is given once, whichever way it ends.
struct OpenQuestion {
    std::function<void(bool leave)> answer;
};

void finishQuestion(GtkWindow* dialog, bool leave)
{
    auto* open = static_cast<OpenQuestion*>(g_object_steal_data(G_OBJECT(dialog), "question"));
    if (!open)
        return;
    auto answer = std::move(open->answer);
    delete open;
    gtk_window_destroy(dialog);
    answer(leave);
}

}  // namespace

void GtkMainWindow::ask(const Question& question, std::function<void(bool leave)> answer)
{
    GtkWindow* dialog = GTK_WINDOW(gtk_window_new());
    gtk_window_set_title(dialog, question.title.c_str());
    gtk_window_set_transient_for(dialog, window.get());
    gtk_window_set_modal(dialog, TRUE);
    gtk_window_set_resizable(dialog, FALSE);
    gtk_window_set_destroy_with_parent(dialog, TRUE);
    // Gone with the window unanswered, as when the application ends meanwhile.
    g_object_set_data_full(G_OBJECT(dialog), "question",
                           new OpenQuestion{std::move(answer)},
                           [](gpointer open) { delete static_cast<OpenQuestion*>(open); });

    GtkWidget* body = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    for (auto side : {&gtk_widget_set_margin_top, &gtk_widget_set_margin_bottom,
                      &gtk_widget_set_margin_start, &gtk_widget_set_margin_end})
        side(body, 24);
    GtkWidget* heading = gtk_label_new(question.title.c_str());
    gtk_widget_add_css_class(heading, "title-2");
    gtk_label_set_xalign(GTK_LABEL(heading), 0.0f);
    gtk_box_append(GTK_BOX(body), heading);
    GtkWidget* text = gtk_label_new(question.text.c_str());
    gtk_label_set_wrap(GTK_LABEL(text), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(text), 48);
    gtk_label_set_xalign(GTK_LABEL(text), 0.0f);
    gtk_box_append(GTK_BOX(body), text);

    GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    gtk_widget_set_halign(buttons, GTK_ALIGN_END);
    gtk_widget_set_margin_top(buttons, 12);
    GtkWidget* leave = gtk_button_new_with_label(question.leaveLabel.c_str());
    gtk_widget_add_css_class(leave, "destructive-action");
    g_signal_connect_swapped(leave, "clicked",
                             G_CALLBACK(+[](GtkWindow* d) { finishQuestion(d, true); }), dialog);
    GtkWidget* keep = gtk_button_new_with_label(question.keepLabel.c_str());
    gtk_widget_add_css_class(keep, "suggested-action");
    g_signal_connect_swapped(keep, "clicked",
                             G_CALLBACK(+[](GtkWindow* d) { finishQuestion(d, false); }), dialog);
    gtk_box_append(GTK_BOX(buttons), leave);
    gtk_box_append(GTK_BOX(buttons), keep);
    gtk_box_append(GTK_BOX(body), buttons);
    gtk_window_set_child(dialog, body);

    // Keeping is the default: Return, Escape and the close button all keep.
    gtk_window_set_default_widget(dialog, keep);
    gtk_window_set_focus(dialog, keep);
    GtkEventController* keys = gtk_shortcut_controller_new();
    gtk_shortcut_controller_add_shortcut(
        GTK_SHORTCUT_CONTROLLER(keys),
        gtk_shortcut_new(gtk_keyval_trigger_new(GDK_KEY_Escape, GdkModifierType(0)),
                         gtk_named_action_new("window.close")));
    gtk_widget_add_controller(GTK_WIDGET(dialog), keys);
    g_signal_connect(dialog, "close-request", G_CALLBACK(+[](GtkWindow* d, gpointer) {
                         finishQuestion(d, false);
                         return TRUE;
                     }),
                     nullptr);
    gtk_window_present(dialog);
}

void GtkMainWindow::onRealize(GtkWidget*, gpointer data)
{
    auto* self = static_cast<GtkMainWindow*>(data);
    if (self->content)
        self->fitContent();
    self->surface = gtk_native_get_surface(GTK_NATIVE(self->window.get()));
    self->surfaceLayout.emplace(self->surface, "layout", G_CALLBACK(onSurfaceLayout), self);
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
    if (gtk_window_is_maximized(window.get()) || gtk_window_is_fullscreen(window.get()))
        return;
    if (decorationWidth < 0) {
        int defaultWidth = 0;
        int defaultHeight = 0;
        gtk_window_get_default_size(window.get(), &defaultWidth, &defaultHeight);
        decorationWidth = std::max(0, width - defaultWidth);
        decorationHeight = std::max(0, height - defaultHeight);
    }
    normalWidth = width - decorationWidth;
    normalHeight = height - decorationHeight;
}

gboolean GtkMainWindow::onCloseRequest(GtkWindow*, gpointer data)
{
    auto* self = static_cast<GtkMainWindow*>(data);
    if (self->shouldClose && !self->shouldClose())
        return TRUE;
    self->saveFrame();
    self->frameSaved = true;
    return FALSE;
}

void GtkMainWindow::saveFinalFrame()
{
    saveFrame();
    frameSaved = true;
}

}  // namespace quorva
