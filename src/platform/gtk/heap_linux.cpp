#include "platform/gtk/heap_linux.h"

#include <malloc.h>

namespace quorva {

namespace {

// Long enough to span the frames of a scroll, short enough to fall between a
// caret's blinks.
constexpr guint trimDelayMilliseconds = 400;
guint pendingTrim = 0;

gboolean trimHeap(gpointer)
{
    pendingTrim = 0;
    malloc_trim(0);
    return G_SOURCE_REMOVE;
}

void onAfterPaint(GdkFrameClock*, gpointer)
{
    if (pendingTrim)
        g_source_remove(pendingTrim);
    pendingTrim = g_timeout_add(trimDelayMilliseconds, trimHeap, nullptr);
}

}  // namespace

void keepPaintBuffersInHeap()
{
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, 64 * 1024 * 1024);
}

void trimHeapWhenPaintingPauses(GtkWidget* window)
{
    GdkSurface* surface = gtk_native_get_surface(GTK_NATIVE(window));
    g_signal_connect_object(gdk_surface_get_frame_clock(surface), "after-paint",
                            G_CALLBACK(onAfterPaint), window, G_CONNECT_DEFAULT);
}

}  // namespace quorva
