#include "platform/gtk/question_gtk.h"

namespace quorva {

namespace {

// One open question: its answer is given once, whichever way it ends.
struct OpenQuestion {
    std::function<void(bool leave)> answer;
};

void finishQuestion(GtkWindow* dialog, bool leave)
{
    auto* open = static_cast<OpenQuestion*>(g_object_steal_data(G_OBJECT(dialog), "question"));
    if (!open)
        return;
    auto answer = std::move(open->answer);
    delete open;
    gtk_window_destroy(dialog);
    answer(leave);
}

GtkWidget* textOf(const Question& question)
{
    GtkWidget* body = gtk_box_new(GTK_ORIENTATION_VERTICAL, 12);
    for (auto side : {&gtk_widget_set_margin_top, &gtk_widget_set_margin_bottom,
                      &gtk_widget_set_margin_start, &gtk_widget_set_margin_end})
        side(body, 24);
    GtkWidget* heading = gtk_label_new(question.title.c_str());
    gtk_widget_add_css_class(heading, "title-2");
    gtk_label_set_xalign(GTK_LABEL(heading), 0.0f);
    gtk_box_append(GTK_BOX(body), heading);
    GtkWidget* text = gtk_label_new(question.text.c_str());
    gtk_label_set_wrap(GTK_LABEL(text), TRUE);
    gtk_label_set_max_width_chars(GTK_LABEL(text), 48);
    gtk_label_set_xalign(GTK_LABEL(text), 0.0f);
    gtk_box_append(GTK_BOX(body), text);
    return body;
}

GtkWidget* answerButton(GtkWindow* dialog, const std::string& label, const char* style, bool leave)
{
    GtkWidget* button = gtk_button_new_with_label(label.c_str());
    gtk_widget_add_css_class(button, style);
    g_signal_connect_swapped(button, "clicked",
                             leave ? G_CALLBACK(+[](GtkWindow* d) { finishQuestion(d, true); })
                                   : G_CALLBACK(+[](GtkWindow* d) { finishQuestion(d, false); }),
                             dialog);
    return button;
}

}  // namespace

void askQuestion(GtkWindow* parent, const Question& question,
                 std::function<void(bool leave)> answer)
{
    auto* dialog = GTK_WINDOW(g_object_new(GTK_TYPE_WINDOW, "accessible-role",
                                           GTK_ACCESSIBLE_ROLE_ALERT_DIALOG, nullptr));
    gtk_window_set_title(dialog, question.title.c_str());
    gtk_window_set_transient_for(dialog, parent);
    gtk_window_set_modal(dialog, TRUE);
    gtk_window_set_resizable(dialog, FALSE);
    gtk_window_set_destroy_with_parent(dialog, TRUE);
    gtk_accessible_update_property(GTK_ACCESSIBLE(dialog), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                   question.title.c_str(), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                   question.text.c_str(), -1);
    // Gone with the window unanswered, as when the application ends meanwhile.
    g_object_set_data_full(G_OBJECT(dialog), "question", new OpenQuestion{std::move(answer)},
                           [](gpointer open) { delete static_cast<OpenQuestion*>(open); });

    GtkWidget* body = textOf(question);
    GtkWidget* buttons = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 12);
    gtk_widget_set_halign(buttons, GTK_ALIGN_END);
    gtk_widget_set_margin_top(buttons, 12);
    GtkWidget* keep = answerButton(dialog, question.keepLabel, "suggested-action", false);
    gtk_box_append(GTK_BOX(buttons),
                   answerButton(dialog, question.leaveLabel, "destructive-action", true));
    gtk_box_append(GTK_BOX(buttons), keep);
    gtk_box_append(GTK_BOX(body), buttons);
    gtk_window_set_child(dialog, body);

    // Keeping is the default: Return, Escape and the close button all keep.
    gtk_window_set_default_widget(dialog, keep);
    gtk_window_set_focus(dialog, keep);
    GtkEventController* keys = gtk_shortcut_controller_new();
    gtk_shortcut_controller_add_shortcut(
        GTK_SHORTCUT_CONTROLLER(keys),
        gtk_shortcut_new(gtk_keyval_trigger_new(GDK_KEY_Escape, GdkModifierType(0)),
                         gtk_named_action_new("window.close")));
    gtk_widget_add_controller(GTK_WIDGET(dialog), keys);
    g_signal_connect(dialog, "close-request", G_CALLBACK(+[](GtkWindow* d, gpointer) {
                         finishQuestion(d, false);
                         return TRUE;
                     }),
                     nullptr);
    gtk_window_present(dialog);
}

}  // namespace quorva
