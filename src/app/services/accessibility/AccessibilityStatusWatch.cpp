#include "app/services/accessibility/AccessibilityStatusWatch.h"

#include "app/services/accessibility/AccessibilityStatus.h"

#include <gio/gio.h>

#include <cstring>

namespace larkpin {
namespace {

constexpr const char* statusInterface = "org.a11y.Status";
constexpr const char* enabledProperty = "IsEnabled";

} // namespace

struct AccessibilityStatusWatch::State {
    bool enabled = false;
    bool known = false;
    std::chrono::steady_clock::time_point readAt;

    void set(bool value) {
        enabled = value;
        known = true;
        readAt = std::chrono::steady_clock::now();
    }

    /// PropertiesChanged (sa{sv}as) of the bus launcher, narrowed to org.a11y.Status by the match.
    static void onPropertiesChanged(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                    const gchar*, GVariant* parameters, gpointer data) {
        auto& state = **static_cast<std::shared_ptr<State>*>(data);
        if (!g_variant_is_of_type(parameters, G_VARIANT_TYPE("(sa{sv}as)")))
            return;
        GVariant* changed = nullptr;
        const gchar** invalidated = nullptr;
        g_variant_get(parameters, "(&s@a{sv}^a&s)", nullptr, &changed, &invalidated);
        gboolean value = FALSE;
        if (g_variant_lookup(changed, enabledProperty, "b", &value))
            state.set(value != FALSE);
        for (const gchar** name = invalidated; name && *name; ++name)
            if (std::strcmp(*name, enabledProperty) == 0)
                state.known = false; // announced without its value: read it at the next use
        g_variant_unref(changed);
        g_free(invalidated);
    }

    static void release(gpointer data) { delete static_cast<std::shared_ptr<State>*>(data); }
};

AccessibilityStatusWatch::AccessibilityStatusWatch(std::chrono::milliseconds callTimeout,
                                                   std::chrono::steady_clock::duration refreshInterval)
    : callTimeout_(callTimeout)
    , refreshInterval_(refreshInterval)
    , state_(std::make_shared<State>()) {
    subscribe();
}

AccessibilityStatusWatch::~AccessibilityStatusWatch() {
    if (subscription_)
        g_dbus_connection_signal_unsubscribe(bus_.get(), subscription_);
}

void AccessibilityStatusWatch::subscribe() {
    if (subscription_)
        return;
    glib::Error error;
    bus_ = glib::ObjectRef<GDBusConnection>::adopt(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr,
                                                                  glib::ErrorOut(error)));
    if (!bus_)
        return;
    // The signal may still be queued on the main context after unsubscribing, so it holds its own
    // share of the state rather than a pointer into this object.
    subscription_ = g_dbus_connection_signal_subscribe(
        bus_.get(), "org.a11y.Bus", "org.freedesktop.DBus.Properties", "PropertiesChanged",
        "/org/a11y/bus", statusInterface, G_DBUS_SIGNAL_FLAGS_NONE, State::onPropertiesChanged,
        new std::shared_ptr<State>(state_), State::release);
}

bool AccessibilityStatusWatch::isEnabled() {
    if (!state_->known || std::chrono::steady_clock::now() - state_->readAt >= refreshInterval_)
        return refresh();
    return state_->enabled;
}

bool AccessibilityStatusWatch::refresh() {
    // A session bus that was missing at construction may have come since.
    subscribe();
    state_->set(AccessibilityStatus::isEnabled(callTimeout_));
    return state_->enabled;
}

} // namespace larkpin
