#include "platform/gtk/color_scheme_gtk.h"

#include "platform/gtk/style_gtk.h"

#include <gtk/gtk.h>

namespace quorva {

namespace {

constexpr const char* portalName = "org.freedesktop.portal.Desktop";
constexpr const char* portalPath = "/org/freedesktop/portal/desktop";
constexpr const char* portalSettings = "org.freedesktop.portal.Settings";
constexpr const char* appearance = "org.freedesktop.appearance";
constexpr const char* interfaceSchema = "org.gnome.desktop.interface";
constexpr const char* colorScheme = "color-scheme";
// Time enough for a portal the bus starts for us; with none, the bus says so at once.
constexpr int portalTimeoutMilliseconds = 3000;

// Both live as long as the process: they carry the change notifications.
GDBusConnection* portalBus = nullptr;
GSettings* interfaceSettings = nullptr;
GtkCssProvider* darkWindow = nullptr;

void preferDark(bool dark)
{
    // WebKit passes this on to the pages as prefers-color-scheme.
    if (GtkSettings* settings = gtk_settings_get_default())
        g_object_set(settings, "gtk-application-prefer-dark-theme", dark ? TRUE : FALSE, nullptr);
    GdkDisplay* display = gdk_display_get_default();
    if (!display)
        return;
    // Over the window's white, which would leave the dark theme's menu text
    // unreadable: the colour of the catalog's own dark header.
    if (!darkWindow)
        darkWindow = newStyle("window.quorva-main{background-color:#1e2327;}");
    if (dark)
        gtk_style_context_add_provider_for_display(display, GTK_STYLE_PROVIDER(darkWindow),
                                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION + 1);
    else
        gtk_style_context_remove_provider_for_display(display, GTK_STYLE_PROVIDER(darkWindow));
}

// 1 is "prefer dark", 2 "prefer light", 0 no preference. The first version of
// the portal's Read wraps the value in one variant more.
bool portalPrefersDark(GVariant* value)
{
    g_autoptr(GVariant) inner = g_variant_ref(value);
    while (g_variant_is_of_type(inner, G_VARIANT_TYPE_VARIANT)) {
        GVariant* unwrapped = g_variant_get_variant(inner);
        g_variant_unref(inner);
        inner = unwrapped;
    }
    return g_variant_is_of_type(inner, G_VARIANT_TYPE_UINT32) && g_variant_get_uint32(inner) == 1;
}

void onPortalSettingChanged(GDBusConnection*, const char*, const char*, const char*, const char*,
                            GVariant* parameters, gpointer)
{
    if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(ssv)")))
        return;
    const char* group = nullptr;
    const char* key = nullptr;
    g_autoptr(GVariant) value = nullptr;
    g_variant_get(parameters, "(&s&sv)", &group, &key, &value);
    if (g_str_equal(group, appearance) && g_str_equal(key, colorScheme))
        preferDark(portalPrefersDark(value));
}

bool followPortal()
{
    g_autoptr(GDBusConnection) bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    if (!bus)
        return false;
    // Listening before asking, so no change falls between the answer and the first signal.
    const guint subscription = g_dbus_connection_signal_subscribe(
        bus, portalName, portalSettings, "SettingChanged", portalPath, appearance,
        G_DBUS_SIGNAL_FLAGS_NONE, onPortalSettingChanged, nullptr, nullptr);
    g_autoptr(GVariant) reply = g_dbus_connection_call_sync(
        bus, portalName, portalPath, portalSettings, "Read",
        g_variant_new("(ss)", appearance, colorScheme), G_VARIANT_TYPE("(v)"),
        G_DBUS_CALL_FLAGS_NONE, portalTimeoutMilliseconds, nullptr, nullptr);
    if (!reply) {
        g_dbus_connection_signal_unsubscribe(bus, subscription);
        return false;
    }
    g_autoptr(GVariant) value = nullptr;
    g_variant_get(reply, "(v)", &value);
    preferDark(portalPrefersDark(value));
    portalBus = static_cast<GDBusConnection*>(g_steal_pointer(&bus));
    return true;
}

void onInterfaceSettingChanged(GSettings* settings, const char*, gpointer)
{
    g_autofree char* scheme = g_settings_get_string(settings, colorScheme);
    preferDark(g_str_equal(scheme, "prefer-dark"));
}

void followInterfaceSettings()
{
    // Asked first: GSettings aborts on a schema or key that is not installed.
    GSettingsSchemaSource* source = g_settings_schema_source_get_default();
    g_autoptr(GSettingsSchema) schema =
        source ? g_settings_schema_source_lookup(source, interfaceSchema, TRUE) : nullptr;
    if (!schema || !g_settings_schema_has_key(schema, colorScheme))
        return;
    interfaceSettings = g_settings_new_full(schema, nullptr, nullptr);
    g_signal_connect(interfaceSettings, "changed::color-scheme",
                     G_CALLBACK(onInterfaceSettingChanged), nullptr);
    // Also what makes GSettings report changes: it watches only keys read.
    onInterfaceSettingChanged(interfaceSettings, colorScheme, nullptr);
}

}  // namespace

void followDesktopColorScheme()
{
    if (portalBus || interfaceSettings)
        return;
    if (!followPortal())
        followInterfaceSettings();
}

}  // namespace quorva
