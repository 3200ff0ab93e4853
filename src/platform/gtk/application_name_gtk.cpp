#include "platform/gtk/application_name_gtk.h"

#include <gtk/gtk.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/x11/gdkx.h>
#endif

namespace quorva {

void nameApplication()
{
    // GTK names the application to screen readers by the program's name.
    g_set_prgname("QUORVA");
    g_set_application_name("QUORVA");
#ifdef GDK_WINDOWING_X11
    // X's window class would otherwise follow the program's name too.
    GdkDisplay* display = gdk_display_get_default();
    if (GDK_IS_X11_DISPLAY(display))
        gdk_x11_display_set_program_class(display, dataFolderName);
#endif
}

}  // namespace quorva
