#pragma once

#include "platform/gtk/find_bar_gtk.h"
#include "platform/gtk/gobject_ptr.h"
#include "platform/gtk/notice_bar_gtk.h"
#include "platform/platform.h"

#include <webkit/webkit.h>

#include <vector>

namespace quorva {

// The page as the window holds it: the web view under the find bar, with the
// notice bar over its foot. Tab past the page's last element goes on round
// the window's own widgets and back into the page, never into a dead end.
class GtkPageEmbed final {
public:
    explicit GtkPageEmbed(WebKitWebView* view);
    ~GtkPageEmbed();
    GtkPageEmbed(const GtkPageEmbed&) = delete;
    GtkPageEmbed& operator=(const GtkPageEmbed&) = delete;

    GtkWidget* widget() const { return box.get(); }
    GtkFindBar& findBar() { return finder; }
    GtkNoticeBar& noticeBar() { return notices; }
    // Runs the command in the find bar's entry when it has the focus, else in the page.
    void runEditCommand(EditCommand command);

private:
    static gboolean onKey(GtkEventControllerKey*, guint keyval, guint, GdkModifierType,
                          gpointer self);
    static void onViewFocus(GObject* controller, GParamSpec*, gpointer self);
    static gboolean onPassFocusOn(gpointer self);

    WebKitWebView* view;
    GObjectPtr<GtkWidget> box;
    GtkFindBar finder;
    GtkNoticeBar notices;
    GtkDirectionType tabDirection = GTK_DIR_TAB_FORWARD;
    guint pendingPass = 0;
    std::vector<SignalConnection> signals;
};

}  // namespace quorva
