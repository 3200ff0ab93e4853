#pragma once

#include <glib.h>

#include <functional>

namespace quorva {

// A std::function as the data of a GLib source, freed with the source.
using GlibWork = std::function<void()>;

inline gpointer newGlibWork(GlibWork work)
{
    return new GlibWork(std::move(work));
}

inline gboolean runGlibWorkOnce(gpointer data)
{
    (*static_cast<GlibWork*>(data))();
    return G_SOURCE_REMOVE;
}

inline gboolean runGlibWorkEachTime(gpointer data)
{
    (*static_cast<GlibWork*>(data))();
    return G_SOURCE_CONTINUE;
}

inline void deleteGlibWork(gpointer data)
{
    delete static_cast<GlibWork*>(data);
}

}  // namespace quorva
