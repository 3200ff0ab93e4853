#include "platform/gtk/page_embed_gtk.h"

namespace quorva {

GtkPageEmbed::GtkPageEmbed(WebKitWebView* view)
    : view(view), box(retainGObject(gtk_box_new(GTK_ORIENTATION_VERTICAL, 0))), finder(view)
{
    // Named for a screen reader, which would otherwise read out the toolkit's type name.
    GtkWidget* overlay = GTK_WIDGET(
        g_object_new(GTK_TYPE_OVERLAY, "accessible-role", GTK_ACCESSIBLE_ROLE_GROUP, nullptr));
    gtk_accessible_update_property(GTK_ACCESSIBLE(overlay), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                   "หน้าเว็บ", -1);
    gtk_overlay_set_child(GTK_OVERLAY(overlay), GTK_WIDGET(view));
    gtk_overlay_add_overlay(GTK_OVERLAY(overlay), notices.widget());
    gtk_widget_set_vexpand(overlay, TRUE);
    gtk_box_append(GTK_BOX(box.get()), finder.widget());
    gtk_box_append(GTK_BOX(box.get()), overlay);
    finder.takeKeysIn(box.get());

    signals.emplace_back(view, "realize", G_CALLBACK(onViewRealize), nullptr);
    GtkEventController* keys = gtk_event_controller_key_new();
    gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
    signals.emplace_back(keys, "key-pressed", G_CALLBACK(onKey), this);
    gtk_widget_add_controller(box.get(), keys);
}

// Past its last element the page moves the focus on itself, and WebKit then
// hands the same Tab back unhandled: moved again, the focus would skip one of
// the notice's buttons.
gboolean GtkPageEmbed::onKey(GtkEventControllerKey* keys, guint keyval, guint, GdkModifierType,
                             gpointer data)
{
    auto* self = static_cast<GtkPageEmbed*>(data);
    if (keyval != GDK_KEY_Tab && keyval != GDK_KEY_ISO_Left_Tab && keyval != GDK_KEY_KP_Tab)
        return FALSE;
    GdkEvent* event = gtk_event_controller_get_current_event(GTK_EVENT_CONTROLLER(keys));
    GtkRoot* root = gtk_widget_get_root(self->box.get());
    GtkWidget* focus = root ? gtk_root_get_focus(root) : nullptr;
    GtkWidget* page = GTK_WIDGET(self->view);
    if (focus && (focus == page || gtk_widget_is_ancestor(focus, page))) {
        self->tabGivenToPage.reset(gdk_event_ref(event));
        return FALSE;
    }
    return event == self->tabGivenToPage.get();
}

// WebKit keeps a text view inside the web view, out of sight, only to read
// editing keys from; Tab past the page's last element would leave the focus
// there, where no key moves it on. Without it, Tab comes round to the page.
void GtkPageEmbed::onViewRealize(GtkWidget* view, gpointer)
{
    for (GtkWidget* child = gtk_widget_get_first_child(view); child;
         child = gtk_widget_get_next_sibling(child)) {
        if (GTK_IS_TEXT_VIEW(child))
            gtk_widget_set_focusable(child, FALSE);
    }
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

}  // namespace quorva
