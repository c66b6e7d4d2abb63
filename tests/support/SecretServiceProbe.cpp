#include "support/SecretServiceProbe.h"

#include "app/services/GLibHandles.h"

#include <gio/gio.h>

#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace larkpin::test {

std::optional<std::string> SecretServiceProbe::unavailableReason()
{
    const std::string noService = "No Secret Service: ";
    const std::string howToRun = "; run the tests under scripts/test-session, which starts gnome-keyring";
    if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr)
        return noService + "DBUS_SESSION_BUS_ADDRESS is not set" + howToRun;
    glib::Error error;
    const auto bus = glib::ObjectRef<GDBusConnection>::adopt(
        g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, glib::ErrorOut(error)));
    if (!bus)
        return noService + "the session bus is unreachable (" + error->message + ")" + howToRun;
    const glib::Handle<GVariant, g_variant_unref> reply(g_dbus_connection_call_sync(
        bus.get(), "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameHasOwner",
        g_variant_new("(s)", "org.freedesktop.secrets"), G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 5000,
        nullptr, glib::ErrorOut(error)));
    if (!reply)
        return noService + "the session bus did not answer (" + error->message + ")" + howToRun;
    gboolean owned = FALSE;
    g_variant_get(reply.get(), "(b)", &owned);
    if (owned == FALSE)
        return noService + "nothing owns org.freedesktop.secrets on the session bus" + howToRun;
    return std::nullopt;
}

namespace {

/// Sets or clears the immutable flag of a folder; false where the file system or the user cannot.
bool setImmutable(const std::filesystem::path& folder, bool immutable)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int flags = 0;
    bool done = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    flags = immutable ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
    done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    if (fd >= 0)
        ::close(fd);
    return done;
}

} // namespace

SecretServiceProbe::RefusedWrites::RefusedWrites()
    : folder_(std::filesystem::path(g_get_user_data_dir()) / "keyrings")
{
    if (!setImmutable(folder_, true))
        std::filesystem::permissions(folder_,
                                     std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    if (std::ofstream(folder_ / "probe")) {
        std::filesystem::remove(folder_ / "probe");
        throw std::runtime_error("cannot make " + folder_.string() + " refuse new files here");
    }
}

SecretServiceProbe::RefusedWrites::~RefusedWrites()
{
    setImmutable(folder_, false);
    std::error_code ignored; // a destructor must not throw
    std::filesystem::permissions(folder_, std::filesystem::perms::owner_all, ignored);
}

} // namespace larkpin::test
