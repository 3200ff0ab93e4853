#pragma once

#include <gtk/gtk.h>

namespace quorva {

inline GtkCssProvider* newStyle(const char* css)
{
    GtkCssProvider* provider = gtk_css_provider_new();
#if GTK_CHECK_VERSION(4, 12, 0)
    gtk_css_provider_load_from_string(provider, css);
#else
    gtk_css_provider_load_from_data(provider, css, -1);
#endif
    return provider;
}

// Adds style rules for every widget of the display, above the theme's.
inline void addApplicationStyle(const char* css)
{
    g_autoptr(GtkCssProvider) provider = newStyle(css);
    gtk_style_context_add_provider_for_display(gdk_display_get_default(),
                                               GTK_STYLE_PROVIDER(provider),
                                               GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
}

}  // namespace quorva
