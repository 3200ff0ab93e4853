#include "platform/gtk/find_bar_gtk.h"

#include "pages/page_tools.h"

#include <algorithm>

namespace quorva {

namespace {

constexpr guint32 findOptions =
    WEBKIT_FIND_OPTIONS_CASE_INSENSITIVE | WEBKIT_FIND_OPTIONS_WRAP_AROUND;
// Highlighting every match of a short word on a long list would cost more
// than it shows; counting them stays cheap.
constexpr guint highlightedMatches = 1000;
constexpr guint countedMatches = 100000;

void addKey(GtkShortcutController* keys, const char* trigger, GtkShortcutFunc callback,
            gpointer self)
{
    gtk_shortcut_controller_add_shortcut(
        keys, gtk_shortcut_new(gtk_shortcut_trigger_parse_string(trigger),
                               gtk_callback_action_new(callback, self, nullptr)));
}

void name(GtkWidget* widget, const char* label)
{
    gtk_accessible_update_property(GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_PROPERTY_LABEL, label,
                                   -1);
}

GtkWidget* iconButton(const char* icon, const char* label)
{
    GtkWidget* button = gtk_button_new_from_icon_name(icon);
    gtk_widget_set_tooltip_text(button, label);
    name(button, label);
    return button;
}

}  // namespace

GtkFindBar::GtkFindBar(WebKitWebView* view)
    : view(view),
      finder(webkit_web_view_get_find_controller(view)),
      bar(retainGObject(gtk_search_bar_new())),
      entry(gtk_search_entry_new()),
      // The label names itself by its text; the status around it keeps its own name.
      count(GTK_WIDGET(
          g_object_new(GTK_TYPE_BOX, "accessible-role", GTK_ACCESSIBLE_ROLE_STATUS, nullptr))),
      status(gtk_label_new(""))
{
    name(bar.get(), "ค้นหาในหน้า");
    name(entry, "ข้อความที่ค้นหา");
    name(count, "ผลการค้นหา");
    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 6);
    gtk_widget_set_size_request(entry, 280, -1);
    gtk_box_append(GTK_BOX(row), entry);
    GtkWidget* previous = iconButton("go-up-symbolic", "ก่อนหน้า");
    GtkWidget* next = iconButton("go-down-symbolic", "ถัดไป");
    gtk_box_append(GTK_BOX(row), previous);
    gtk_box_append(GTK_BOX(row), next);
    gtk_widget_set_margin_start(count, 6);
    gtk_box_append(GTK_BOX(count), status);
    gtk_box_append(GTK_BOX(row), count);
    // GTK's own close button would have an English name, or none.
    GtkWidget* close = iconButton("window-close-symbolic", "ปิดการค้นหา");
    gtk_widget_set_margin_start(close, 6);
    gtk_box_append(GTK_BOX(row), close);
    gtk_search_bar_set_child(GTK_SEARCH_BAR(bar.get()), row);
    gtk_search_bar_connect_entry(GTK_SEARCH_BAR(bar.get()), GTK_EDITABLE(entry));

    const auto forward = G_CALLBACK(+[](GtkFindBar* self) { self->step(1); });
    const auto backward = G_CALLBACK(+[](GtkFindBar* self) { self->step(-1); });
    signals.emplace_back(entry, "search-changed", G_CALLBACK(onSearchChanged), this);
    signals.emplace_back(entry, "activate", G_CALLBACK(onActivate), this);
    signals.emplace_back(entry, "stop-search", G_CALLBACK(onStopSearch), this);
    signals.emplace_back(entry, "next-match", forward, this, G_CONNECT_SWAPPED);
    signals.emplace_back(entry, "previous-match", backward, this, G_CONNECT_SWAPPED);
    signals.emplace_back(previous, "clicked", backward, this, G_CONNECT_SWAPPED);
    signals.emplace_back(next, "clicked", forward, this, G_CONNECT_SWAPPED);
    signals.emplace_back(close, "clicked", G_CALLBACK(+[](GtkFindBar* self) { self->end(); }),
                         this, G_CONNECT_SWAPPED);
    signals.emplace_back(bar.get(), "notify::search-mode-enabled", G_CALLBACK(onModeChanged), this);
    signals.emplace_back(finder, "found-text", G_CALLBACK(onFoundText), this);
    signals.emplace_back(finder, "failed-to-find-text", G_CALLBACK(onFailedToFindText), this);
    signals.emplace_back(finder, "counted-matches", G_CALLBACK(onCountedMatches), this);
}

void GtkFindBar::takeKeysIn(GtkWidget* area)
{
    // Before the page sees them, and only while the bar is open.
    GtkEventController* keys = gtk_shortcut_controller_new();
    gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
    auto* shortcuts = GTK_SHORTCUT_CONTROLLER(keys);
    addKey(shortcuts, "F3|<Control>g", onNextKey, this);
    addKey(shortcuts, "<Shift>F3|<Control><Shift>g", onPreviousKey, this);
    addKey(shortcuts, "<Shift>Return|<Shift>KP_Enter", onShiftReturn, this);
    gtk_widget_add_controller(area, keys);
}

bool GtkFindBar::open() const
{
    return gtk_search_bar_get_search_mode(GTK_SEARCH_BAR(bar.get()));
}

void GtkFindBar::show()
{
    const bool wasOpen = open();
    gtk_search_bar_set_search_mode(GTK_SEARCH_BAR(bar.get()), TRUE);
    gtk_widget_grab_focus(entry);
    gtk_editable_select_region(GTK_EDITABLE(entry), 0, -1);
    // The last words sought, found again on the page now shown.
    if (!wasOpen)
        search();
}

void GtkFindBar::end()
{
    if (open())
        gtk_search_bar_set_search_mode(GTK_SEARCH_BAR(bar.get()), FALSE);
}

bool GtkFindBar::runTextAction(const char* action)
{
    GtkRoot* root = gtk_widget_get_root(bar.get());
    GtkWidget* focus = root ? gtk_root_get_focus(root) : nullptr;
    if (!open() || !focus || !gtk_widget_is_ancestor(focus, entry))
        return false;
    gtk_widget_activate_action(focus, action, nullptr);
    return true;
}

void GtkFindBar::search()
{
    const char* text = gtk_editable_get_text(GTK_EDITABLE(entry));
    pending.clear();
    current = 0;
    total = 0;
    notFound = false;
    if (!*text) {
        webkit_find_controller_search_finish(finder);
        showStatus();
        return;
    }
    pending.push_back(0);
    webkit_find_controller_count_matches(finder, text, findOptions, countedMatches);
    webkit_find_controller_search(finder, text, findOptions, highlightedMatches);
}

void GtkFindBar::step(int direction)
{
    if (!open() || !*gtk_editable_get_text(GTK_EDITABLE(entry)))
        return;
    if (notFound)
        return search();
    pending.push_back(direction);
    if (direction > 0)
        webkit_find_controller_search_next(finder);
    else
        webkit_find_controller_search_previous(finder);
}

void GtkFindBar::showStatus()
{
    std::string text;
    if (open() && *gtk_editable_get_text(GTK_EDITABLE(entry)) && (notFound || total > 0))
        text = notFound ? findStatus(0, 0) : findStatus(std::max(current, 1u), total);
    gtk_label_set_text(GTK_LABEL(status), text.c_str());
    gtk_accessible_update_property(GTK_ACCESSIBLE(count), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                   text.c_str(), -1);
    if (notFound)
        gtk_widget_add_css_class(entry, "error");
    else
        gtk_widget_remove_css_class(entry, "error");
}

void GtkFindBar::onSearchChanged(GtkSearchEntry*, gpointer data)
{
    auto* self = static_cast<GtkFindBar*>(data);
    if (self->open())
        self->search();
}

void GtkFindBar::onActivate(GtkSearchEntry*, gpointer data)
{
    static_cast<GtkFindBar*>(data)->step(1);
}

void GtkFindBar::onStopSearch(GtkSearchEntry*, gpointer data)
{
    static_cast<GtkFindBar*>(data)->end();
}

void GtkFindBar::onModeChanged(GObject*, GParamSpec*, gpointer data)
{
    auto* self = static_cast<GtkFindBar*>(data);
    if (self->open())
        return;
    self->pending.clear();
    webkit_find_controller_search_finish(self->finder);
    self->showStatus();
    gtk_widget_grab_focus(GTK_WIDGET(self->view));
}

void GtkFindBar::onFoundText(WebKitFindController*, guint count, gpointer data)
{
    auto* self = static_cast<GtkFindBar*>(data);
    if (self->pending.empty())
        return;
    const int direction = self->pending.front();
    self->pending.pop_front();
    self->notFound = false;
    if (direction == 0) {
        self->current = 1;
        // Until the count comes, the first answer's own count stands.
        if (self->total == 0)
            self->total = std::min(count, countedMatches);
    } else if (self->total > 0) {
        const unsigned at = std::max(self->current, 1u) - 1;
        self->current = (direction > 0 ? at + 1 : at + self->total - 1) % self->total + 1;
    }
    self->showStatus();
}

void GtkFindBar::onFailedToFindText(WebKitFindController*, gpointer data)
{
    auto* self = static_cast<GtkFindBar*>(data);
    if (self->pending.empty())
        return;
    self->pending.pop_front();
    self->notFound = true;
    self->current = 0;
    self->total = 0;
    self->showStatus();
}

void GtkFindBar::onCountedMatches(WebKitFindController*, guint count, gpointer data)
{
    auto* self = static_cast<GtkFindBar*>(data);
    if (!*gtk_editable_get_text(GTK_EDITABLE(self->entry)))
        return;
    self->total = std::min(count, countedMatches);
    self->notFound = count == 0;
    self->current = std::min(self->current, self->total);
    self->showStatus();
}

gboolean GtkFindBar::onNextKey(GtkWidget*, GVariant*, gpointer data)
{
    auto* self = static_cast<GtkFindBar*>(data);
    if (!self->open())
        return FALSE;
    self->step(1);
    return TRUE;
}

gboolean GtkFindBar::onPreviousKey(GtkWidget*, GVariant*, gpointer data)
{
    auto* self = static_cast<GtkFindBar*>(data);
    if (!self->open())
        return FALSE;
    self->step(-1);
    return TRUE;
}

gboolean GtkFindBar::onShiftReturn(GtkWidget* widget, GVariant*, gpointer data)
{
    auto* self = static_cast<GtkFindBar*>(data);
    GtkWidget* focus = gtk_root_get_focus(gtk_widget_get_root(widget));
    // In the page, Shift+Return is the page's own.
    if (!self->open() || !focus || !gtk_widget_is_ancestor(focus, self->entry))
        return FALSE;
    self->step(-1);
    return TRUE;
}

}  // namespace quorva
