#pragma once

#include "platform/gtk/gobject_ptr.h"
#include "platform/gtk/window_state_gtk.h"
#include "platform/platform.h"

#include <gtk/gtk.h>

#include <functional>
#include <memory>
#include <vector>

namespace quorva {

class GtkMainWindow final : public Window {
public:
    // The widget that shows a web view made by the same application; null for any other.
    using ContentOf = std::function<GtkWidget*(const WebView&)>;

    GtkMainWindow(GtkApplication* application, int contentWidth, int contentHeight,
                  ContentOf contentOf);
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
    // The application is ending: the last save, before the window is torn down.
    void saveFinalFrame();

private:
    static gboolean onCloseRequest(GtkWindow*, gpointer self);
    static void onRealize(GtkWidget*, gpointer self);
    void fitContent();
    void clampDefaultSizeToMonitor();

    GObjectPtr<GtkWindow> window;
    ContentOf contentOf;
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
    std::unique_ptr<GtkWindowState> state;
};

}  // namespace quorva
