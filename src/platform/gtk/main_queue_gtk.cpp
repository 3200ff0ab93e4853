#include "platform/gtk/main_queue_gtk.h"

#include <gio/gio.h>
#include <glib-unix.h>

#include <cmath>

namespace quorva {

namespace {

using Work = std::function<void()>;

gboolean runOnce(gpointer data)
{
    (*static_cast<Work*>(data))();
    return G_SOURCE_REMOVE;
}

gboolean runEachTime(gpointer data)
{
    (*static_cast<Work*>(data))();
    return G_SOURCE_CONTINUE;
}

void deleteWork(gpointer data)
{
    delete static_cast<Work*>(data);
}

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

void GlibMainQueue::async(std::function<void()> work)
{
    // Default priority, not idle: server events must not wait for redraws.
    g_idle_add_full(G_PRIORITY_DEFAULT, runOnce, new Work(std::move(work)), deleteWork);
}

void GlibMainQueue::asyncAfter(double seconds, std::function<void()> work)
{
    const auto milliseconds = static_cast<guint>(std::llround(std::max(seconds, 0.0) * 1000.0));
    g_timeout_add_full(G_PRIORITY_DEFAULT, milliseconds, runOnce, new Work(std::move(work)),
                       deleteWork);
}

std::unique_ptr<SignalSource> GlibSignalSources::watch(int signalNumber,
                                                       std::function<void()> handler)
{
    const guint id = g_unix_signal_add_full(G_PRIORITY_DEFAULT, signalNumber, runEachTime,
                                            new Work(std::move(handler)), deleteWork);
    return std::make_unique<GlibSignalSource>(id);
}

void GioWorkspace::openURL(const Url& url)
{
    // The result is not ours to report: the window keeps its page either way.
    g_app_info_launch_default_for_uri_async(url.text.c_str(), nullptr, nullptr, nullptr, nullptr);
}

}  // namespace quorva
