#include "app/services/accessibility/AccessibilityStatus.h"

#include "app/services/GLibHandles.h"

#include <gio/gio.h>

namespace larkpin {
namespace {

constexpr const char* busService = "org.a11y.Bus";
constexpr const char* busPath = "/org/a11y/bus";
constexpr const char* statusInterface = "org.a11y.Status";
constexpr const char* enabledProperty = "IsEnabled";

struct VariantUnref {
    void operator()(GVariant* variant) const { g_variant_unref(variant); }
};
using Variant = std::unique_ptr<GVariant, VariantUnref>;

glib::ObjectRef<GDBusConnection> sessionBus() {
    glib::Error error;
    return glib::ObjectRef<GDBusConnection>::adopt(
        g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, glib::ErrorOut(error)));
}

Variant call(GDBusConnection* bus, const char* method, GVariant* parameters,
             std::chrono::milliseconds timeout) {
    glib::Error error;
    return Variant(g_dbus_connection_call_sync(
        bus, busService, busPath, "org.freedesktop.DBus.Properties", method, parameters, nullptr,
        G_DBUS_CALL_FLAGS_NONE, static_cast<gint>(timeout.count()), nullptr, glib::ErrorOut(error)));
}

} // namespace

bool AccessibilityStatus::isEnabled(std::chrono::milliseconds timeout) {
    const auto bus = sessionBus();
    if (!bus)
        return false;
    const Variant reply =
        call(bus.get(), "Get", g_variant_new("(ss)", statusInterface, enabledProperty), timeout);
    if (!reply || !g_variant_is_of_type(reply.get(), G_VARIANT_TYPE("(v)")))
        return false;
    GVariant* boxed = nullptr;
    g_variant_get(reply.get(), "(v)", &boxed);
    const Variant value(boxed);
    return value && g_variant_is_of_type(value.get(), G_VARIANT_TYPE_BOOLEAN) &&
           g_variant_get_boolean(value.get());
}

bool AccessibilityStatus::setEnabled(bool enabled, std::chrono::milliseconds timeout) {
    const auto bus = sessionBus();
    if (!bus)
        return false;
    const Variant reply = call(
        bus.get(), "Set",
        g_variant_new("(ssv)", statusInterface, enabledProperty, g_variant_new_boolean(enabled)), timeout);
    return static_cast<bool>(reply);
}

} // namespace larkpin
