#include "platform/gtk/rendering_gtk.h"

#include <epoxy/egl.h>
#ifdef GDK_WINDOWING_X11
#include <gdk/x11/gdkx.h>
#endif
#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/wayland/gdkwayland.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace quorva {

namespace {

RenderingChoice applied;

}  // namespace

bool hasGpuDevice()
{
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/dev/dri", error)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("renderD", 0) == 0 || name.rfind("card", 0) == 0)
            return true;
    }
    // The proprietary driver may come without DRM nodes.
    return std::filesystem::exists("/dev/nvidiactl", error);
}

namespace {

// Straight from EGL: epoxy checks extensions against the current context's
// display, and there is none yet.
template <typename Function>
Function eglFunction(const char* name)
{
    return reinterpret_cast<Function>(eglGetProcAddress(name));
}

EGLDisplay eglDisplayFor(GdkDisplay* display)
{
    if (!epoxy_has_egl() || !epoxy_has_egl_extension(EGL_NO_DISPLAY, "EGL_EXT_platform_base"))
        return EGL_NO_DISPLAY;
    const auto getPlatformDisplay =
        eglFunction<PFNEGLGETPLATFORMDISPLAYEXTPROC>("eglGetPlatformDisplayEXT");
    if (!getPlatformDisplay)
        return EGL_NO_DISPLAY;
    // The same platform and native display as GDK's, so Mesa hands GDK this
    // very display, already initialised, should it go on to use GL.
#ifdef GDK_WINDOWING_X11
    if (GDK_IS_X11_DISPLAY(display)) {
        // Newer GTK deprecates its X11 API as a whole; X11 sessions are still ours to serve.
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        Display* xdisplay = gdk_x11_display_get_xdisplay(display);
        G_GNUC_END_IGNORE_DEPRECATIONS
        return getPlatformDisplay(EGL_PLATFORM_X11_KHR, xdisplay, nullptr);
    }
#endif
#ifdef GDK_WINDOWING_WAYLAND
    if (GDK_IS_WAYLAND_DISPLAY(display))
        return getPlatformDisplay(EGL_PLATFORM_WAYLAND_KHR,
                                        gdk_wayland_display_get_wl_display(display), nullptr);
#endif
    return EGL_NO_DISPLAY;
}

}  // namespace

GlRenderer probeGl(GdkDisplay* display)
{
    return hasGpuDevice() ? eglDriver(display) : GlRenderer{};
}

GlRenderer eglDriver(GdkDisplay* display)
{
    EGLDisplay egl = eglDisplayFor(display);
    EGLint major = 0;
    EGLint minor = 0;
    if (egl == EGL_NO_DISPLAY || !eglInitialize(egl, &major, &minor))
        return {};
    const auto driverName =
        eglFunction<PFNEGLGETDISPLAYDRIVERNAMEPROC>("eglGetDisplayDriverName");
    if (driverName && epoxy_has_egl_extension(egl, "EGL_MESA_query_driver")) {
        if (const char* driver = driverName(egl))
            return {driver};
    }
    const auto displayAttrib =
        eglFunction<PFNEGLQUERYDISPLAYATTRIBEXTPROC>("eglQueryDisplayAttribEXT");
    const auto deviceString =
        eglFunction<PFNEGLQUERYDEVICESTRINGEXTPROC>("eglQueryDeviceStringEXT");
    if (displayAttrib && deviceString &&
        epoxy_has_egl_extension(EGL_NO_DISPLAY, "EGL_EXT_device_query")) {
        EGLAttrib device = 0;
        if (displayAttrib(egl, EGL_DEVICE_EXT, &device) && device) {
            const char* extensions =
                deviceString(reinterpret_cast<EGLDeviceEXT>(device), EGL_EXTENSIONS);
            if (extensions && std::string_view(extensions).find("EGL_MESA_device_software") !=
                                  std::string_view::npos)
                return {"swrast"};
        }
    }
    const char* vendor = eglQueryString(egl, EGL_VENDOR);
    return {vendor ? vendor : "unknown"};
}

RenderingChoice applyRenderingChoice(const std::map<std::string, std::string>& userEnvironment)
{
    applied = chooseRendering(userEnvironment,
                              [] { return probeGl(gdk_display_get_default()); });
    // GTK reads this when it makes a window's renderer; no window exists yet, and this is
    // the process's first change to its environment, so the array others may be reading stays.
    if (applied.cairoRenderer)
        setenv("GSK_RENDERER", "cairo", 1);
    return applied;
}

void applyRenderingChoice(WebKitWebView* view)
{
    if (applied.webAccelerationNever)
        webkit_settings_set_hardware_acceleration_policy(webkit_web_view_get_settings(view),
                                                         WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
}

}  // namespace quorva
