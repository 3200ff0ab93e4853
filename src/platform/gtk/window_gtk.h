#pragma once

#include "platform/platform.h"

#include <gtk/gtk.h>

#include <string>

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

    GtkWindow* gtkWindow() const { return window; }
    // Writes the size and maximised state under the autosave name, if any.
    void saveFrame();

private:
    static gboolean onCloseRequest(GtkWindow*, gpointer self);
    static void onApplicationShutdown(GApplication*, gpointer self);

    GtkWindow* window;
    GtkWidget* titleBar = nullptr;
    std::string autosaveName;
    // Closing saves; the shutdown that follows must not save the torn-down window.
    bool frameSaved = false;
};

}  // namespace quorva
