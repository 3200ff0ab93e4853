#include "platform/gtk/window_gtk.h"

#include "platform/gtk/menu_gtk.h"
#include "platform/gtk/question_gtk.h"
#include "platform/gtk/style_gtk.h"

#include <algorithm>

namespace quorva {

GtkMainWindow::GtkMainWindow(GtkApplication* application, int contentWidth, int contentHeight,
                             ContentOf contentOf)
    // The application holds the window until it is destroyed; so do we.
    : window(retainGObject(GTK_WINDOW(gtk_application_window_new(application)))),
      contentOf(std::move(contentOf)),
      contentWidth(contentWidth),
      contentHeight(contentHeight)
{
    gtk_window_set_default_size(window.get(), contentWidth, contentHeight);
    gtk_application_window_set_show_menubar(GTK_APPLICATION_WINDOW(window.get()), TRUE);
    gtk_widget_add_css_class(GTK_WIDGET(window.get()), "quorva-main");
    windowSignals.emplace_back(window.get(), "close-request", G_CALLBACK(onCloseRequest), this);
    windowSignals.emplace_back(window.get(), "realize", G_CALLBACK(onRealize), this);
}

GtkMainWindow::~GtkMainWindow() = default;

void GtkMainWindow::setTitle(const std::string& title)
{
    gtk_window_set_title(window.get(), title.c_str());
}

void GtkMainWindow::setTitleVisible(bool visible)
{
    if (visible) {
        gtk_window_set_titlebar(window.get(), nullptr);
        titleBar = nullptr;
        return;
    }
    // The window keeps its title for the window list; the bar shows none.
    titleBar = gtk_header_bar_new();
    // Empty, it is nothing for a screen reader to read out.
    GtkWidget* title = GTK_WIDGET(g_object_new(GTK_TYPE_LABEL, "accessible-role",
                                               GTK_ACCESSIBLE_ROLE_PRESENTATION, nullptr));
    gtk_header_bar_set_title_widget(GTK_HEADER_BAR(titleBar), title);
    gtk_window_set_titlebar(window.get(), titleBar);
}

void GtkMainWindow::setTitlebarTransparent(bool transparent)
{
    if (!titleBar || !transparent)
        return;
    gtk_widget_add_css_class(titleBar, "quorva-flat");
    addApplicationStyle("headerbar.quorva-flat{background:transparent;box-shadow:none;border:none;}");
}

void GtkMainWindow::setBackgroundWhite()
{
    addApplicationStyle("window.quorva-main{background-color:#ffffff;}");
}

void GtkMainWindow::setMinimumSize(int width, int height)
{
    // The smallest size is the content's: the bars come on top of it.
    minimumWidth = width;
    minimumHeight = height;
    if (content)
        gtk_widget_set_size_request(content, width, height);
}

void GtkMainWindow::setContent(WebView& webView)
{
    content = contentOf(webView);
    if (!content)
        return;
    gtk_window_set_child(window.get(), content);
    gtk_widget_set_size_request(content, minimumWidth, minimumHeight);
}

void GtkMainWindow::fitContent()
{
    // The window's smallest size with the content at its first-start size
    // is the window size that gives the content exactly that. The menu bar
    // joins the window only as it is realized, so this waits until then.
    gtk_widget_set_size_request(content, contentWidth, contentHeight);
    int width = 0;
    int height = 0;
    gtk_widget_measure(GTK_WIDGET(window.get()), GTK_ORIENTATION_HORIZONTAL, -1, &width, nullptr,
                       nullptr, nullptr);
    gtk_widget_measure(GTK_WIDGET(window.get()), GTK_ORIENTATION_VERTICAL, width, &height, nullptr,
                       nullptr, nullptr);
    surroundWidth = std::max(0, width - contentWidth);
    surroundHeight = std::max(0, height - contentHeight);
    gtk_widget_set_size_request(content, minimumWidth, minimumHeight);
    if (!state || !state->sizeRestored())
        gtk_window_set_default_size(window.get(), width, height);
    clampDefaultSizeToMonitor();
}

void GtkMainWindow::clampDefaultSizeToMonitor()
{
    GdkDisplay* display = gtk_widget_get_display(GTK_WIDGET(window.get()));
    GdkSurface* own = gtk_native_get_surface(GTK_NATIVE(window.get()));
    // The monitor the window opens on, where the display can tell before it shows.
    GdkMonitor* at = own ? gdk_display_get_monitor_at_surface(display, own) : nullptr;
    g_autoptr(GdkMonitor) monitor =
        at ? GDK_MONITOR(g_object_ref(at))
           : GDK_MONITOR(g_list_model_get_item(gdk_display_get_monitors(display), 0));
    if (!monitor || !content)
        return;
    GdkRectangle area{};
    gdk_monitor_get_geometry(monitor, &area);
    // On a small screen the window opens no larger than the screen, and may
    // be made as small as the screen allows.
    gtk_widget_set_size_request(content,
                                std::max(1, std::min(minimumWidth, area.width - surroundWidth)),
                                std::max(1, std::min(minimumHeight, area.height - surroundHeight)));
    int width = 0;
    int height = 0;
    gtk_window_get_default_size(window.get(), &width, &height);
    gtk_window_set_default_size(window.get(), std::min(width, area.width),
                                std::min(height, area.height));
}

void GtkMainWindow::center()
{
    // GTK 4 cannot place windows; the window manager centres a new one.
}

void GtkMainWindow::setFrameAutosaveName(const std::string& name)
{
    state = std::make_unique<GtkWindowState>(window.get(), name);
}

void GtkMainWindow::makeKeyAndOrderFront()
{
    gtk_window_present(window.get());
}

void GtkMainWindow::minimize()
{
    gtk_window_minimize(window.get());
}

void GtkMainWindow::toggleZoomed()
{
    if (gtk_window_is_maximized(window.get()))
        gtk_window_unmaximize(window.get());
    else
        gtk_window_maximize(window.get());
}

void GtkMainWindow::ask(const Question& question, std::function<void(bool leave)> answer)
{
    askQuestion(window.get(), question, std::move(answer));
}

void GtkMainWindow::onRealize(GtkWidget*, gpointer data)
{
    auto* self = static_cast<GtkMainWindow*>(data);
    nameMenuBar(self->window.get());
    if (self->content)
        self->fitContent();
}

gboolean GtkMainWindow::onCloseRequest(GtkWindow*, gpointer data)
{
    auto* self = static_cast<GtkMainWindow*>(data);
    if (self->shouldClose && !self->shouldClose())
        return TRUE;
    self->saveFinalFrame();
    return FALSE;
}

void GtkMainWindow::saveFinalFrame()
{
    if (state)
        state->saveFinal();
}

}  // namespace quorva
