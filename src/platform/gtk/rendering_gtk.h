#pragma once

#include "app/rendering.h"

#include <gtk/gtk.h>
#include <webkit/webkit.h>

namespace quorva {

// What GL the display would give, found without creating a GL context: no GPU
// device node at all answers "none" for the cost of a directory read; otherwise
// the display's EGL driver, whose initialisation GDK reuses on the GL path.
GlRenderer probeGl(GdkDisplay* display);
// Its two steps.
bool hasGpuDevice();
GlRenderer eglDriver(GdkDisplay* display);

// Chooses for this process from the user's environment and applies what is
// ours to set: GSK_RENDERER in the shell's own environment (children get the
// environment as it was at start), and the web views' acceleration policy.
// Call before the first window is realised.
RenderingChoice applyRenderingChoice(const std::map<std::string, std::string>& userEnvironment);

// Gives a new web view the acceleration policy chosen above.
void applyRenderingChoice(WebKitWebView* view);

}  // namespace quorva
