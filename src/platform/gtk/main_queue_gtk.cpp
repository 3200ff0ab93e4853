#include "platform/gtk/main_queue_gtk.h"

#include "platform/gtk/glib_work.h"

#include <algorithm>
#include <cmath>

namespace quorva {

void GlibMainQueue::async(std::function<void()> work)
{
    // Default priority, not idle: server events must not wait for redraws.
    g_idle_add_full(G_PRIORITY_DEFAULT, runGlibWorkOnce, newGlibWork(std::move(work)),
                    deleteGlibWork);
}

void GlibMainQueue::asyncAfter(double seconds, std::function<void()> work)
{
    const auto milliseconds = static_cast<guint>(std::llround(std::max(seconds, 0.0) * 1000.0));
    g_timeout_add_full(G_PRIORITY_DEFAULT, milliseconds, runGlibWorkOnce,
                       newGlibWork(std::move(work)), deleteGlibWork);
}

}  // namespace quorva
