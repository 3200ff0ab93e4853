#pragma once

#include <gtk/gtk.h>

namespace quorva {

// Without a GPU, WebKit allocates a window-sized buffer for every frame it
// paints. Mapped afresh each time, scrolling costs 2.5 times the CPU, and
// glibc's own choice flips between that and a heap that grows and stays.
// So large buffers stay in the heap, which is trimmed once painting pauses.
#if defined(__linux__)
void keepPaintBuffersInHeap();
void trimHeapWhenPaintingPauses(GtkWidget* window);
#else
inline void keepPaintBuffersInHeap() {}
inline void trimHeapWhenPaintingPauses(GtkWidget*) {}
#endif

}  // namespace quorva
