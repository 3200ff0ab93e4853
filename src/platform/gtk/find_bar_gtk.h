#pragma once

#include "platform/gtk/gobject_ptr.h"

#include <webkit/webkit.h>

#include <deque>
#include <vector>

namespace quorva {

// A find bar over the page, searching it through WebKit's find controller:
// case-insensitive, wrapping, anywhere in a word (Thai has no spaces between
// words). Its keys act only while it is open; closed, the page keeps them.
// A screen reader finds it as "ค้นหาในหน้า", with its count as a status.
class GtkFindBar final {
public:
    explicit GtkFindBar(WebKitWebView* view);
    GtkFindBar(const GtkFindBar&) = delete;
    GtkFindBar& operator=(const GtkFindBar&) = delete;

    // The bar, for above the page.
    GtkWidget* widget() const { return bar.get(); }
    // Its keys act anywhere inside `area`, before the page sees them.
    void takeKeysIn(GtkWidget* area);
    void show();
    // Closes the bar, if open, and gives the page its focus back.
    void end();
    // Runs a text action of GtkText ("clipboard.paste", say) on the bar's
    // entry when it has the focus; false when the entry does not.
    bool runTextAction(const char* action);

private:
    static void onSearchChanged(GtkSearchEntry*, gpointer self);
    static void onActivate(GtkSearchEntry*, gpointer self);
    static void onStopSearch(GtkSearchEntry*, gpointer self);
    static void onModeChanged(GObject*, GParamSpec*, gpointer self);
    static void onFoundText(WebKitFindController*, guint count, gpointer self);
    static void onFailedToFindText(WebKitFindController*, gpointer self);
    static void onCountedMatches(WebKitFindController*, guint count, gpointer self);
    static gboolean onNextKey(GtkWidget*, GVariant*, gpointer self);
    static gboolean onPreviousKey(GtkWidget*, GVariant*, gpointer self);
    static gboolean onShiftReturn(GtkWidget*, GVariant*, gpointer self);

    bool open() const;
    void search();
    void step(int direction);
    void showStatus();

    WebKitWebView* view;
    WebKitFindController* finder;
    GObjectPtr<GtkWidget> bar;
    GtkWidget* entry;
    GtkWidget* count;
    GtkWidget* status;
    // Each search or step asked of WebKit and not yet answered: 0 a new
    // search, +1 next, -1 previous.
    std::deque<int> pending;
    unsigned current = 0;
    unsigned total = 0;
    bool notFound = false;
    std::vector<SignalConnection> signals;
};

}  // namespace quorva
