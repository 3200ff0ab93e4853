#pragma once

#include "platform/gtk/find_bar_gtk.h"
#include "platform/gtk/gobject_ptr.h"
#include "platform/gtk/notice_bar_gtk.h"
#include "platform/platform.h"

#include <webkit/webkit.h>

#include <memory>
#include <vector>

namespace quorva {

// The page as the window holds it: the web view under the find bar, with the
// notice bar over its foot. Tab past the page's last element goes through the
// notice's buttons, when one shows, and back to the page, then its first
// element; Shift+Tab the other way.
class GtkPageEmbed final {
public:
    explicit GtkPageEmbed(WebKitWebView* view);
    GtkPageEmbed(const GtkPageEmbed&) = delete;
    GtkPageEmbed& operator=(const GtkPageEmbed&) = delete;

    GtkWidget* widget() const { return box.get(); }
    GtkFindBar& findBar() { return finder; }
    GtkNoticeBar& noticeBar() { return notices; }
    // Runs the command in the find bar's entry when it has the focus, else in the page.
    void runEditCommand(EditCommand command);

private:
    static void onViewRealize(GtkWidget* view, gpointer);
    static gboolean onKey(GtkEventControllerKey* keys, guint keyval, guint, GdkModifierType,
                          gpointer self);

    WebKitWebView* view;
    GObjectPtr<GtkWidget> box;
    GtkFindBar finder;
    GtkNoticeBar notices;
    // The last Tab the page was given; WebKit hands it back unhandled once
    // the page has passed the focus on itself.
    std::unique_ptr<GdkEvent, decltype(&gdk_event_unref)> tabGivenToPage{nullptr, gdk_event_unref};
    std::vector<SignalConnection> signals;
};

}  // namespace quorva
