#pragma once

#include "platform/gtk/gobject_ptr.h"
#include "platform/platform.h"

#include <gtk/gtk.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quorva {

class GtkMainWindow final : public Window {
public:
    GtkMainWindow(GtkApplication* application, int contentWidth, int contentHeight);
    ~GtkMainWindow() override;
    GtkMainWindow(const GtkMainWindow&) = delete;
    GtkMainWindow& operator=(const GtkMainWindow&) = delete;

    void setTitle(const std::string& title) override;
    void setTitleVisible(bool visible) override;
    void setTitlebarTransparent(bool transparent) override;
    void setBackgroundWhite() override;
    void setMinimumSize(int width, int height) override;
    void setContent(WebView& webView) override;
    void center() override;
    void setFrameAutosaveName(const std::string& name) override;
    void makeKeyAndOrderFront() override;
    void minimize() override;
    void toggleZoomed() override;
    void ask(const Question& question, std::function<void(bool leave)> answer) override;

    GtkWindow* gtkWindow() const { return window.get(); }
    // Asked when the user closes the window; false keeps it open.
    void setCloseHandler(std::function<bool()> handler) { shouldClose = std::move(handler); }
    // Writes the size and maximised state under the autosave name, if any.
    void saveFrame();
    // The application is ending: the last save, before the window is torn down.
    void saveFinalFrame();

private:
    static gboolean onCloseRequest(GtkWindow*, gpointer self);
    static void onRealize(GtkWidget*, gpointer self);
    static void onSurfaceLayout(GdkSurface*, int width, int height, gpointer self);
    void followSurfaceSize(int width, int height);
    static void onMaximizedChanged(GObject*, GParamSpec*, gpointer self);
    static gboolean onSaveDue(gpointer self);
    void scheduleSave();
    void fitContent();
    void clampDefaultSizeToMonitor();

    GObjectPtr<GtkWindow> window;
    std::vector<SignalConnection> windowSignals;
    std::function<bool()> shouldClose;
    GtkWidget* titleBar = nullptr;
    GtkWidget* content = nullptr;
    // The content's size at first start and its smallest size; the window's
    // own size adds whatever bars and borders surround the content.
    int contentWidth;
    int contentHeight;
    int minimumWidth = 0;
    int minimumHeight = 0;
    int surroundWidth = 0;
    int surroundHeight = 0;
    bool sizeRestored = false;
    std::string autosaveName;
    // GTK does not follow every outside resize in its default size, so the
    // shell follows the surface, less the decoration seen at the first layout.
    GdkSurface* surface = nullptr;
    std::optional<SignalConnection> surfaceLayout;
    int decorationWidth = -1;
    int decorationHeight = -1;
    int normalWidth = 0;
    int normalHeight = 0;
    // Closing saves; the shutdown that follows must not save the torn-down window.
    bool frameSaved = false;
    // Every change is saved a moment later, so an exit by signal or crash
    // keeps it too; the last written values spare needless writes.
    guint pendingSave = 0;
    int savedWidth = -1;
    int savedHeight = -1;
    bool savedMaximized = false;
};

}  // namespace quorva
