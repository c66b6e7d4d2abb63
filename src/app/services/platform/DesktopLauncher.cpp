#include "app/services/platform/DesktopLauncher.h"

#include "app/services/GLibHandles.h"

#include <gio/gdesktopappinfo.h>
#include <gio/gio.h>

#include <memory>

namespace larkpin {
namespace {

using DesktopAppInfo = glib::ObjectRef<GDesktopAppInfo>;

struct ListFree {
    void operator()(GList* list) const noexcept { g_list_free(list); }
};

DesktopAppInfo application(const std::string& desktopFileID)
{
    const std::string id = desktopFileID.ends_with(".desktop") ? desktopFileID : desktopFileID + ".desktop";
    // Null for an unknown id, and also for an entry whose program does not exist.
    return DesktopAppInfo::adopt(g_desktop_app_info_new(id.c_str()));
}

} // namespace

bool DesktopLauncher::hasApplication(const std::string& desktopFileID)
{
    return !desktopFileID.empty() && application(desktopFileID);
}

void DesktopLauncher::openWith(const std::string& desktopFileID, const std::string& url)
{
    const auto app = application(desktopFileID);
    if (!app)
        throw LaunchError("No application is installed as " + desktopFileID + ".");
    GList* uris = g_list_append(nullptr, const_cast<char*>(url.c_str()));
    const std::unique_ptr<GList, ListFree> ownedURIs(uris);
    glib::Error error;
    if (!g_app_info_launch_uris(G_APP_INFO(app.get()), uris, nullptr, glib::ErrorOut(error))) {
        throw LaunchError(error ? error->message : "Could not start " + desktopFileID + ".");
    }
}

bool DesktopLauncher::openWithDefaultHandler(const std::string& url)
{
    glib::Error error;
    return g_app_info_launch_default_for_uri(url.c_str(), nullptr, glib::ErrorOut(error));
}

} // namespace larkpin
