#pragma once

#include "platform/gtk/gobject_ptr.h"

#include <gtk/gtk.h>

#include <optional>
#include <string>
#include <vector>

namespace quorva {

// A window's size and maximised state, kept across runs under a name in a key
// file in the user's state folder. Each change is saved a moment later, so an
// exit by signal or crash keeps it too.
class GtkWindowState final {
public:
    // Restores what was saved under the name, if anything.
    GtkWindowState(GtkWindow* window, std::string name);
    ~GtkWindowState();
    GtkWindowState(const GtkWindowState&) = delete;
    GtkWindowState& operator=(const GtkWindowState&) = delete;

    bool sizeRestored() const { return restoredSize; }
    // The last save, as the window closes or the application ends; none after it.
    void saveFinal();

private:
    static void onRealize(GtkWidget*, gpointer self);
    static void onSurfaceLayout(GdkSurface*, int width, int height, gpointer self);
    static void onMaximizedChanged(GObject*, GParamSpec*, gpointer self);
    static gboolean onSaveDue(gpointer self);
    void followSurface();
    void followSurfaceSize(int width, int height);
    void scheduleSave();
    void save();

    GtkWindow* window;
    std::string name;
    bool restoredSize = false;
    std::vector<SignalConnection> windowSignals;
    // GTK does not follow every outside resize in its default size, so this
    // follows the surface, less the decoration seen at the first layout.
    GdkSurface* surface = nullptr;
    std::optional<SignalConnection> surfaceLayout;
    int decorationWidth = -1;
    int decorationHeight = -1;
    int normalWidth = 0;
    int normalHeight = 0;
    // Closing saves; the shutdown that follows must not save the torn-down window.
    bool finished = false;
    guint pendingSave = 0;
    // The last written values spare needless writes.
    int savedWidth = -1;
    int savedHeight = -1;
    bool savedMaximized = false;
};

}  // namespace quorva
