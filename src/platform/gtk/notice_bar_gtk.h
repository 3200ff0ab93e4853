#pragma once

#include "platform/gtk/gobject_ptr.h"
#include "platform/platform.h"

#include <gtk/gtk.h>

#include <string>
#include <vector>

namespace quorva {

// A banner at the foot of the page that carries the latest notice, with a
// button that opens its folder when it has one. A screen reader finds it as a
// status named "การแจ้งเตือน", and hears each notice as it appears.
class GtkNoticeBar final {
public:
    GtkNoticeBar();
    GtkNoticeBar(const GtkNoticeBar&) = delete;
    GtkNoticeBar& operator=(const GtkNoticeBar&) = delete;

    // The banner, for an overlay over the page.
    GtkWidget* widget() const { return revealer.get(); }
    void show(const Notice& notice);

private:
    static void onOpenFolder(GtkButton*, gpointer self);
    static void onClose(GtkButton*, gpointer self);
    static void onRevealed(GObject*, GParamSpec*, gpointer self);
    void hide();

    GObjectPtr<GtkWidget> revealer;
    GtkWidget* card;
    GtkWidget* label;
    GtkWidget* openButton;
    std::string folder;
    std::vector<SignalConnection> signals;
};

}  // namespace quorva
