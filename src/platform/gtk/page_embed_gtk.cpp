#include "platform/gtk/page_embed_gtk.h"

namespace quorva {

GtkPageEmbed::GtkPageEmbed(WebKitWebView* view)
    : view(view), box(retainGObject(gtk_box_new(GTK_ORIENTATION_VERTICAL, 0))), finder(view)
{
    GtkWidget* overlay = gtk_overlay_new();
    gtk_overlay_set_child(GTK_OVERLAY(overlay), GTK_WIDGET(view));
    gtk_overlay_add_overlay(GTK_OVERLAY(overlay), notices.widget());
    gtk_widget_set_vexpand(overlay, TRUE);
    gtk_box_append(GTK_BOX(box.get()), finder.widget());
    gtk_box_append(GTK_BOX(box.get()), overlay);
    finder.takeKeysIn(box.get());

    // Which way Tab went, seen before the page takes the key.
    GtkEventController* keys = gtk_event_controller_key_new();
    gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
    signals.emplace_back(keys, "key-pressed", G_CALLBACK(onKey), this);
    gtk_widget_add_controller(box.get(), keys);
    GtkEventController* focus = gtk_event_controller_focus_new();
    signals.emplace_back(focus, "notify::is-focus", G_CALLBACK(onViewFocus), this);
    signals.emplace_back(focus, "notify::contains-focus", G_CALLBACK(onViewFocus), this);
    gtk_widget_add_controller(GTK_WIDGET(view), focus);
}

GtkPageEmbed::~GtkPageEmbed()
{
    if (pendingPass)
        g_source_remove(pendingPass);
}

void GtkPageEmbed::runEditCommand(EditCommand command)
{
    const char* name = WEBKIT_EDITING_COMMAND_SELECT_ALL;
    // The same command for the find bar's entry, where it has the focus.
    const char* textAction = "selection.select-all";
    switch (command) {
    case EditCommand::Undo:
        name = WEBKIT_EDITING_COMMAND_UNDO;
        textAction = "text.undo";
        break;
    case EditCommand::Redo:
        name = WEBKIT_EDITING_COMMAND_REDO;
        textAction = "text.redo";
        break;
    case EditCommand::Cut:
        name = WEBKIT_EDITING_COMMAND_CUT;
        textAction = "clipboard.cut";
        break;
    case EditCommand::Copy:
        name = WEBKIT_EDITING_COMMAND_COPY;
        textAction = "clipboard.copy";
        break;
    case EditCommand::Paste:
        name = WEBKIT_EDITING_COMMAND_PASTE;
        textAction = "clipboard.paste";
        break;
    case EditCommand::SelectAll:
        break;
    }
    if (!finder.runTextAction(textAction))
        webkit_web_view_execute_editing_command(view, name);
}

gboolean GtkPageEmbed::onKey(GtkEventControllerKey*, guint keyval, guint, GdkModifierType state,
                             gpointer data)
{
    auto* self = static_cast<GtkPageEmbed*>(data);
    if (keyval == GDK_KEY_Tab || keyval == GDK_KEY_KP_Tab || keyval == GDK_KEY_ISO_Left_Tab)
        self->tabDirection = keyval == GDK_KEY_ISO_Left_Tab || (state & GDK_SHIFT_MASK)
                                 ? GTK_DIR_TAB_BACKWARD
                                 : GTK_DIR_TAB_FORWARD;
    return FALSE;
}

// WebKit hands the focus on as Tab leaves the page, and GTK gives it to a
// helper of WebKit's inside the view: out of sight, deaf to Tab and Return.
void GtkPageEmbed::onViewFocus(GObject* controller, GParamSpec*, gpointer data)
{
    auto* self = static_cast<GtkPageEmbed*>(data);
    auto* focus = GTK_EVENT_CONTROLLER_FOCUS(controller);
    if (!gtk_event_controller_focus_is_focus(focus) &&
        gtk_event_controller_focus_contains_focus(focus) && !self->pendingPass)
        self->pendingPass = g_idle_add(onPassFocusOn, self);
}

gboolean GtkPageEmbed::onPassFocusOn(gpointer data)
{
    auto* self = static_cast<GtkPageEmbed*>(data);
    self->pendingPass = 0;
    GtkRoot* root = gtk_widget_get_root(self->box.get());
    GtkWidget* focus = root ? gtk_root_get_focus(root) : nullptr;
    GtkWidget* view = GTK_WIDGET(self->view);
    if (focus && focus != view && gtk_widget_is_ancestor(focus, view))
        gtk_widget_child_focus(GTK_WIDGET(root), self->tabDirection);
    return G_SOURCE_REMOVE;
}

}  // namespace quorva
