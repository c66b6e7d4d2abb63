#include "support/SecretServiceProbe.h"

#include <gio/gio.h>

#include <cstdlib>
#include <memory>

namespace larkpin::test {
namespace {

struct ObjectUnref {
    void operator()(gpointer object) const noexcept { g_object_unref(object); }
};
struct VariantUnref {
    void operator()(GVariant* variant) const noexcept { g_variant_unref(variant); }
};
struct ErrorFree {
    void operator()(GError* error) const noexcept { g_error_free(error); }
};

constexpr const char* howToRun = "; run the tests under scripts/test-session, which starts gnome-keyring";

} // namespace

std::optional<std::string> SecretServiceProbe::unavailableReason()
{
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr)
        return std::string("No Secret Service: DBUS_SESSION_BUS_ADDRESS is not set") + howToRun;
    GError* rawError = nullptr;
    const std::unique_ptr<GDBusConnection, ObjectUnref> bus(g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &rawError));
    std::unique_ptr<GError, ErrorFree> error(rawError);
    if (!bus)
        return std::string("No Secret Service: the session bus is unreachable (") + error->message + ")" + howToRun;
    rawError = nullptr;
    const std::unique_ptr<GVariant, VariantUnref> reply(g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr,
        &rawError));
    error.reset(rawError);
    if (!reply)
        return std::string("No Secret Service: the session bus did not answer (") + error->message + ")" + howToRun;
    gboolean owned = FALSE;
    g_variant_get(reply.get(), "(b)", &owned);
    if (owned == FALSE)
        return std::string("No Secret Service: nothing owns org.freedesktop.secrets on the session bus") + howToRun;
    return std::nullopt;
}

} // namespace larkpin::test
