// The tray item over a real AppStore and store file under a StatusNotifier watcher on the session bus.
// Its own program: Qt chooses between the StatusNotifierItem and XEmbed trays once per process.

#include "app/model/AppStore.h"
#include "app/shell/TrayIcon.h"
#include "app/shell/WindowActivationCoordinator.h"
#include "app/shell/WindowPresenter.h"
#include "support/StatusNotifierWatcher.h"
#include "support/TemporaryFolder.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include <gtest/gtest.h>

#include <thread>

namespace larkpin {
namespace {

using namespace std::chrono_literals;

struct IdlePresenter final : WindowPresenter {
    void toggleMenuPanel(const QRect&) override {}
    void showDashboard() override {}
    void showSettings() override {}
    void showAbout() override {}
};

template <typename Condition> bool waitUntil(Condition condition)
{
    for (int i = 0; i < 30'000 && !condition(); ++i) {
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(1ms);
    }
    return condition();
}

// The item's IconPixmap, every size's pixels in a row. Asynchronous: the item answers from this thread.
QByteArray iconPixels(const QString& service)
{
    auto get = QDBusMessage::createMethodCall(service, "/StatusNotifierItem",
                                              "org.freedesktop.DBus.Properties", "Get");
    QDBusPendingReply<QDBusVariant> reply = QDBusConnection::sessionBus().asyncCall(
        get << QStringLiteral("org.kde.StatusNotifierItem") << QStringLiteral("IconPixmap"));
    if (!waitUntil([&] { return reply.isFinished(); }) || reply.isError())
        return {};
    const auto pixmaps = reply.value().variant().value<QDBusArgument>();
    QByteArray pixels;
    pixmaps.beginArray();
    while (!pixmaps.atEnd()) {
        int width = 0, height = 0;
        QByteArray bytes;
        pixmaps.beginStructure();
        pixmaps >> width >> height >> bytes;
        pixmaps.endStructure();
        pixels += bytes;
    }
    pixmaps.endArray();
    return pixels;
}

TEST(TrayIconStatusNotifierTest, TheItemRegistersAndItsIconFollowsTheActiveCodes)
{
    const test::StatusNotifierWatcher watcher; // before the tray icon, which asks for it once
    test::TemporaryFolder folder;
    LocalStore seed{folder.path() / "larkpin.sqlite"};
    AppStore store{AppStore::Services{.databasePath = folder.path() / "larkpin.sqlite"}};
    IdlePresenter presenter;
    WindowActivationCoordinator coordinator{{.windows = [] { return QList<QWindow*>(); },
                                             .activateApplication = [] {},
                                             .presentWindow = [](QWindow*) {},
                                             .schedule = [](std::function<void()>) {}}};
    TrayIcon tray{store, presenter, coordinator};
    ASSERT_TRUE(TrayIcon::isSystemTrayAvailable());
    tray.show();
    ASSERT_TRUE(waitUntil([&] { return !watcher.registeredItems().isEmpty(); }));
    const auto service = watcher.registeredItems().first();
    const auto outlined = iconPixels(service);
    ASSERT_FALSE(outlined.isEmpty()) << service.toStdString();

    const auto now = SystemClock::shared()->now();
    const OTPCode code{Uuid::random(),     "123456",    "Acme", "alice@example.com", "m1", now,
                       now + Seconds(600), std::nullopt};
    seed.save(code);
    QCoro::waitFor(store.reloadCache());
    QByteArray filled;
    EXPECT_TRUE(waitUntil([&] { return !(filled = iconPixels(service)).isEmpty() && filled != outlined; }));
    QCoro::waitFor(store.setUsed(true, code, "Marked code used"));
    EXPECT_TRUE(waitUntil([&] { return iconPixels(service) == outlined; }));
}

} // namespace
} // namespace larkpin

int main(int argc, char** argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    if (GTEST_FLAG_GET(list_tests)) // test discovery runs without a display
        return RUN_ALL_TESTS();
    QApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
