#include "platform/gtk/workspace_gtk.h"

#include <gio/gio.h>

namespace quorva {

void GioWorkspace::openURL(const Url& url)
{
    // The result is not ours to report: the window keeps its page either way.
    g_app_info_launch_default_for_uri_async(url.text.c_str(), nullptr, nullptr, nullptr, nullptr);
}

}  // namespace quorva
