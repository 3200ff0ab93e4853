// The least a WebKitGTK shell can do: one window, one web view, one URL.
#include <gtk/gtk.h>
#include <webkit/webkit.h>

#include <cstdio>

namespace {

void onDestroy(GtkWidget*, gpointer data)
{
    *static_cast<bool*>(data) = true;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s URL\n", argv[0]);
        return 2;
    }
    gtk_init();
    GtkWidget* window = gtk_window_new();
    gtk_window_set_default_size(GTK_WINDOW(window), 1280, 840);
    GtkWidget* view = webkit_web_view_new();
    gtk_window_set_child(GTK_WINDOW(window), view);
    bool closed = false;
    g_signal_connect(window, "destroy", G_CALLBACK(onDestroy), &closed);
    webkit_web_view_load_uri(WEBKIT_WEB_VIEW(view), argv[1]);
    gtk_window_present(GTK_WINDOW(window));
    while (!closed)
        g_main_context_iteration(nullptr, TRUE);
    return 0;
}
