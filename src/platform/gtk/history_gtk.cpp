#include "platform/gtk/history_gtk.h"

#include <cstring>

namespace quorva {

namespace {

constexpr guint backButton = 8;
constexpr guint forwardButton = 9;

// Steps through the history, passing over status pages: their entries hold
// no document to go back to, and the loading page would wait forever.
gboolean goThroughHistory(WebKitWebView* view, int direction)
{
    WebKitBackForwardList* history = webkit_web_view_get_back_forward_list(view);
    for (int step = direction;; step += direction) {
        WebKitBackForwardListItem* item = webkit_back_forward_list_get_nth_item(history, step);
        if (!item)
            return FALSE;
        const char* uri = webkit_back_forward_list_item_get_uri(item);
        if (uri && std::strncmp(uri, "about:", 6) != 0) {
            webkit_web_view_go_to_back_forward_list_item(view, item);
            return TRUE;
        }
    }
}

gboolean goBack(GtkWidget* view, GVariant*, gpointer)
{
    goThroughHistory(WEBKIT_WEB_VIEW(view), -1);
    return TRUE;
}

gboolean goForward(GtkWidget* view, GVariant*, gpointer)
{
    goThroughHistory(WEBKIT_WEB_VIEW(view), 1);
    return TRUE;
}

void addShortcut(GtkShortcutController* controller, const char* keys, GtkShortcutFunc action)
{
    gtk_shortcut_controller_add_shortcut(
        controller, gtk_shortcut_new(gtk_shortcut_trigger_parse_string(keys),
                                     gtk_callback_action_new(action, nullptr, nullptr)));
}

void onButtonPressed(GtkGestureClick* gesture, int, double, double, gpointer view)
{
    const guint button = gtk_gesture_single_get_current_button(GTK_GESTURE_SINGLE(gesture));
    if (button != backButton && button != forwardButton)
        return;
    gtk_gesture_set_state(GTK_GESTURE(gesture), GTK_EVENT_SEQUENCE_CLAIMED);
    goThroughHistory(WEBKIT_WEB_VIEW(view), button == backButton ? -1 : 1);
}

}  // namespace

void addHistoryControls(WebKitWebView* view)
{
    // Before the page sees the keys, as a browser takes them even in a text field.
    GtkEventController* keys = gtk_shortcut_controller_new();
    gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
    auto* shortcuts = GTK_SHORTCUT_CONTROLLER(keys);
    addShortcut(shortcuts, "<Alt>Left", goBack);
    addShortcut(shortcuts, "<Alt>KP_Left", goBack);
    addShortcut(shortcuts, "<Alt>Right", goForward);
    addShortcut(shortcuts, "<Alt>KP_Right", goForward);
    gtk_widget_add_controller(GTK_WIDGET(view), keys);

    GtkGesture* buttons = gtk_gesture_click_new();
    gtk_gesture_single_set_button(GTK_GESTURE_SINGLE(buttons), 0);
    gtk_event_controller_set_propagation_phase(GTK_EVENT_CONTROLLER(buttons), GTK_PHASE_CAPTURE);
    g_signal_connect(buttons, "pressed", G_CALLBACK(onButtonPressed), view);
    gtk_widget_add_controller(GTK_WIDGET(view), GTK_EVENT_CONTROLLER(buttons));
}

}  // namespace quorva
