#include "platform/gtk/notice_bar_gtk.h"

#include "platform/gtk/style_gtk.h"

namespace quorva {

GtkNoticeBar::GtkNoticeBar()
    : revealer(retainGObject(gtk_revealer_new())),
      card(GTK_WIDGET(g_object_new(GTK_TYPE_BOX, "orientation", GTK_ORIENTATION_HORIZONTAL,
                                   "spacing", 12, "accessible-role", GTK_ACCESSIBLE_ROLE_STATUS,
                                   nullptr))),
      label(gtk_label_new("")),
      openButton(gtk_button_new_with_label(""))
{
    gtk_revealer_set_transition_type(GTK_REVEALER(revealer.get()),
                                     GTK_REVEALER_TRANSITION_TYPE_SLIDE_UP);
    gtk_widget_set_halign(revealer.get(), GTK_ALIGN_CENTER);
    gtk_widget_set_valign(revealer.get(), GTK_ALIGN_END);
    gtk_widget_set_margin_bottom(revealer.get(), 20);
    gtk_widget_set_margin_start(revealer.get(), 20);
    gtk_widget_set_margin_end(revealer.get(), 20);
    // Hidden, its buttons must not take the focus from the page.
    gtk_widget_set_visible(revealer.get(), FALSE);
    signals.emplace_back(revealer.get(), "notify::child-revealed", G_CALLBACK(onRevealed), this);

    gtk_widget_add_css_class(card, "quorva-notice");
    gtk_accessible_update_property(GTK_ACCESSIBLE(card), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                   "การแจ้งเตือน", -1);
    gtk_label_set_wrap(GTK_LABEL(label), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(label), 72);
    gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
    gtk_widget_set_hexpand(label, TRUE);
    gtk_box_append(GTK_BOX(card), label);
    gtk_widget_add_css_class(openButton, "quorva-notice-action");
    gtk_widget_set_valign(openButton, GTK_ALIGN_CENTER);
    signals.emplace_back(openButton, "clicked", G_CALLBACK(onOpenFolder), this);
    gtk_box_append(GTK_BOX(card), openButton);
    GtkWidget* close = gtk_button_new_with_label("ปิด");
    gtk_widget_set_valign(close, GTK_ALIGN_CENTER);
    signals.emplace_back(close, "clicked", G_CALLBACK(onClose), this);
    gtk_box_append(GTK_BOX(card), close);
    gtk_revealer_set_child(GTK_REVEALER(revealer.get()), card);

    addApplicationStyle(
        ".quorva-notice{background:#FBFCFD;color:#05011C;border:1px solid #E7E7EF;"
        "border-radius:10px;padding:10px 12px 10px 16px;box-shadow:0 6px 20px rgba(5,1,28,.18);}"
        ".quorva-notice.failure{border-left:4px solid #C62828;}"
        ".quorva-notice button.quorva-notice-action{background:#6633EE;color:#FFFFFF;}");
}

void GtkNoticeBar::show(const Notice& notice)
{
    folder = notice.folder;
    gtk_label_set_text(GTK_LABEL(label), notice.text.c_str());
    gtk_accessible_update_property(GTK_ACCESSIBLE(card), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                   notice.text.c_str(), -1);
    gtk_button_set_label(GTK_BUTTON(openButton), notice.openFolderLabel.c_str());
    gtk_widget_set_visible(openButton, !notice.folder.empty());
    if (notice.failure)
        gtk_widget_add_css_class(card, "failure");
    else
        gtk_widget_remove_css_class(card, "failure");
    gtk_widget_set_visible(revealer.get(), TRUE);
    gtk_revealer_set_reveal_child(GTK_REVEALER(revealer.get()), TRUE);
#if GTK_CHECK_VERSION(4, 14, 0)
    // Older GTK has no announcements: a screen reader finds the notice by its role.
    gtk_accessible_announce(GTK_ACCESSIBLE(card), notice.text.c_str(),
                            GTK_ACCESSIBLE_ANNOUNCEMENT_PRIORITY_MEDIUM);
#endif
}

void GtkNoticeBar::hide()
{
    folder.clear();
    gtk_revealer_set_reveal_child(GTK_REVEALER(revealer.get()), FALSE);
}

void GtkNoticeBar::onRevealed(GObject*, GParamSpec*, gpointer data)
{
    auto* self = static_cast<GtkNoticeBar*>(data);
    GtkRevealer* revealer = GTK_REVEALER(self->revealer.get());
    if (!gtk_revealer_get_reveal_child(revealer) && !gtk_revealer_get_child_revealed(revealer))
        gtk_widget_set_visible(GTK_WIDGET(revealer), FALSE);
}

void GtkNoticeBar::onOpenFolder(GtkButton*, gpointer data)
{
    auto* self = static_cast<GtkNoticeBar*>(data);
    g_autofree char* uri = g_filename_to_uri(self->folder.c_str(), nullptr, nullptr);
    // The result is not ours to report: the notice stays either way.
    if (uri)
        g_app_info_launch_default_for_uri_async(uri, nullptr, nullptr, nullptr, nullptr);
}

void GtkNoticeBar::onClose(GtkButton*, gpointer data)
{
    static_cast<GtkNoticeBar*>(data)->hide();
}

}  // namespace quorva
