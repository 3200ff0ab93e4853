// What the shell's GL probe costs on this display, beside what a GL context costs,
// and what GL renderer the display gives. One line of JSON.
#include "platform/gtk/rendering_gtk.h"

#include <epoxy/gl.h>
#include <gtk/gtk.h>

#include <chrono>
#include <cstdio>
#include <string>

namespace {

double millisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

std::string jsonString(const std::string& text)
{
    std::string out = "\"";
    for (char c : text)
        out += (c == '"' || c == '\\') ? std::string("\\") + c : std::string(1, c);
    return out + "\"";
}

}  // namespace

int main()
{
    gtk_init();
    GdkDisplay* display = gdk_display_get_default();

    auto start = std::chrono::steady_clock::now();
    const quorva::GlRenderer probed = quorva::probeGl(display);
    const double probeMs = millisecondsSince(start);

    start = std::chrono::steady_clock::now();
    const quorva::GlRenderer driver = quorva::eglDriver(display);
    const double eglMs = millisecondsSince(start);

    // What the probe avoids: a GL context made and made current only to read its name.
    start = std::chrono::steady_clock::now();
    std::string renderer = "none";
    GError* error = nullptr;
    GdkGLContext* context = gdk_display_create_gl_context(display, &error);
    if (context && gdk_gl_context_realize(context, &error)) {
        gdk_gl_context_make_current(context);
        if (const auto* name = glGetString(GL_RENDERER))
            renderer = reinterpret_cast<const char*>(name);
        gdk_gl_context_clear_current();
    }
    const double contextMs = millisecondsSince(start);
    g_clear_error(&error);
    g_clear_object(&context);

    std::printf("{\"gpu_device\": %s, \"probe\": %s, \"probe_ms\": %.3f, \"egl_driver\": %s, "
                "\"egl_ms\": %.3f, \"gl_renderer\": %s, \"gl_context_ms\": %.3f}\n",
                quorva::hasGpuDevice() ? "true" : "false",
                probed.name ? jsonString(*probed.name).c_str() : "null", probeMs,
                driver.name ? jsonString(*driver.name).c_str() : "null", eglMs,
                jsonString(renderer).c_str(), contextMs);
    return 0;
}
