// The tray item over a real AppStore and store file under a StatusNotifier watcher on the session bus.
// Its own program: Qt chooses between the StatusNotifierItem and XEmbed trays once per process.

#include "app/model/AppStore.h"
#include "app/shell/TrayIcon.h"
#include "app/shell/WindowActivationCoordinator.h"
#include "app/shell/WindowPresenter.h"
#include "support/StatusNotifierWatcher.h"
#include "support/TemporaryFolder.h"
#include "support/QtWait.h"

#include <gtest/gtest.h>

namespace larkpin {
namespace {

struct IdlePresenter final : WindowPresenter {
    void toggleMenuPanel(const QRect&) override {}
    void showDashboard() override {}
    void showSettings() override {}
    void showAbout() override {}
};

using test::waitUntil;

TEST(TrayIconStatusNotifierTest, TheItemRegistersAndItsIconFollowsTheActiveCodes)
{
    const test::StatusNotifierWatcher watcher; // before the tray icon, which asks for it once
    test::TemporaryFolder folder;
    LocalStore seed{folder.path() / "larkpin.sqlite"};
    AppStore::Services services;
    services.databasePath = folder.path() / "larkpin.sqlite";
    AppStore store{std::move(services)};
    IdlePresenter presenter;
    WindowActivationCoordinator coordinator{{.windows = [] { return QList<QWindow*>(); },
                                             .activateApplication = [] {},
                                             .presentWindow = [](QWindow*) {},
                                             .schedule = [](std::function<void()>) {}}};
    TrayIcon tray{store, presenter, coordinator};
    tray.show();
    ASSERT_TRUE(waitUntil([&] { return !watcher.registeredItems().isEmpty(); })) << "no item registered";
    const auto service = watcher.registeredItems().first();
    const auto outlined = watcher.iconPixels(service);
    ASSERT_FALSE(outlined.isEmpty()) << service.toStdString();

    const auto now = SystemClock::shared()->now();
    const OTPCode code{Uuid::random(),     "123456",    "Acme", "alice@example.com", "m1", now,
                       now + Seconds(600), std::nullopt};
    seed.save(code);
    QCoro::waitFor(store.reloadCache());
    EXPECT_TRUE(waitUntil([&] { return watcher.iconPixels(service) != outlined; }));
    QCoro::waitFor(store.setUsed(true, code, "Marked code used"));
    EXPECT_TRUE(waitUntil([&] { return watcher.iconPixels(service) == outlined; }));
}

} // namespace
} // namespace larkpin
