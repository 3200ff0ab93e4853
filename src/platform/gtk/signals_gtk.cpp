#include "platform/gtk/signals_gtk.h"

#include "platform/gtk/glib_work.h"

#include <glib-unix.h>

namespace quorva {

namespace {

class GlibSignalSource final : public SignalSource {
public:
    explicit GlibSignalSource(guint id) : id(id) {}
    ~GlibSignalSource() override { g_source_remove(id); }
    GlibSignalSource(const GlibSignalSource&) = delete;
    GlibSignalSource& operator=(const GlibSignalSource&) = delete;

private:
    guint id;
};

}  // namespace

std::unique_ptr<SignalSource> GlibSignalSources::watch(int signalNumber,
                                                       std::function<void()> handler)
{
    const guint id = g_unix_signal_add_full(G_PRIORITY_DEFAULT, signalNumber, runGlibWorkEachTime,
                                            newGlibWork(std::move(handler)), deleteGlibWork);
    return std::make_unique<GlibSignalSource>(id);
}

}  // namespace quorva
