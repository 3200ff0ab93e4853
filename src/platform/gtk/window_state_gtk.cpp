#include "platform/gtk/window_state_gtk.h"

#include "platform/gtk/application_name_gtk.h"

#include <glib/gstdio.h>

#include <algorithm>

namespace quorva {

namespace {

constexpr const char* stateFileName = "window-state.ini";
// Long enough to gather a drag's many steps into one write.
constexpr guint saveDelayMilliseconds = 500;

std::string stateDirectory()
{
    g_autofree char* directory = g_build_filename(g_get_user_state_dir(), dataFolderName, nullptr);
    return directory;
}

std::string stateFile()
{
    g_autofree char* file = g_build_filename(stateDirectory().c_str(), stateFileName, nullptr);
    return file;
}

}  // namespace

GtkWindowState::GtkWindowState(GtkWindow* window, std::string name)
    : window(window), name(std::move(name))
{
    windowSignals.emplace_back(window, "realize", G_CALLBACK(onRealize), this);
    windowSignals.emplace_back(window, "notify::maximized", G_CALLBACK(onMaximizedChanged), this);
    if (gtk_widget_get_realized(GTK_WIDGET(window)))
        followSurface();
    g_autoptr(GKeyFile) state = g_key_file_new();
    if (!g_key_file_load_from_file(state, stateFile().c_str(), G_KEY_FILE_NONE, nullptr))
        return;
    const char* group = this->name.c_str();
    g_autoptr(GError) widthError = nullptr;
    g_autoptr(GError) heightError = nullptr;
    const int width = g_key_file_get_integer(state, group, "width", &widthError);
    const int height = g_key_file_get_integer(state, group, "height", &heightError);
    if (!widthError && !heightError && width > 0 && height > 0) {
        gtk_window_set_default_size(window, width, height);
        restoredSize = true;
    }
    savedMaximized = g_key_file_get_boolean(state, group, "maximized", nullptr);
    if (savedMaximized)
        gtk_window_maximize(window);
    gtk_window_get_default_size(window, &savedWidth, &savedHeight);
}

GtkWindowState::~GtkWindowState()
{
    if (pendingSave)
        g_source_remove(pendingSave);
}

void GtkWindowState::saveFinal()
{
    save();
    finished = true;
}

void GtkWindowState::save()
{
    if (pendingSave) {
        g_source_remove(pendingSave);
        pendingSave = 0;
    }
    if (finished)
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
        g_key_file_set_integer(state, name.c_str(), "width", width);
        g_key_file_set_integer(state, name.c_str(), "height", height);
    }
    g_key_file_set_boolean(state, name.c_str(), "maximized", maximized);
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

void GtkWindowState::scheduleSave()
{
    if (finished)
        return;
    if (pendingSave)
        g_source_remove(pendingSave);
    pendingSave = g_timeout_add(saveDelayMilliseconds, onSaveDue, this);
}

gboolean GtkWindowState::onSaveDue(gpointer data)
{
    auto* self = static_cast<GtkWindowState*>(data);
    self->pendingSave = 0;
    self->save();
    return G_SOURCE_REMOVE;
}

void GtkWindowState::onMaximizedChanged(GObject*, GParamSpec*, gpointer self)
{
    static_cast<GtkWindowState*>(self)->scheduleSave();
}

void GtkWindowState::onRealize(GtkWidget*, gpointer self)
{
    static_cast<GtkWindowState*>(self)->followSurface();
}

void GtkWindowState::followSurface()
{
    surface = gtk_native_get_surface(GTK_NATIVE(window));
    surfaceLayout.emplace(surface, "layout", G_CALLBACK(onSurfaceLayout), this);
}

void GtkWindowState::onSurfaceLayout(GdkSurface*, int width, int height, gpointer data)
{
    auto* self = static_cast<GtkWindowState*>(data);
    const int oldWidth = self->normalWidth;
    const int oldHeight = self->normalHeight;
    self->followSurfaceSize(width, height);
    if (self->normalWidth != oldWidth || self->normalHeight != oldHeight)
        self->scheduleSave();
}

void GtkWindowState::followSurfaceSize(int width, int height)
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

}  // namespace quorva
