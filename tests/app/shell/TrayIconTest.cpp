// The tray item over a real AppStore and store file, shown in the XEmbed tray that trayer provides.

#include "app/shell/TrayIcon.h"
#include "app/model/AppStore.h"
#include "app/shell/WindowActivationCoordinator.h"
#include "app/shell/WindowPresenter.h"
#include "support/ChildProcess.h"
#include "support/TemporaryFolder.h"
#include "support/QtWait.h"

#include <gtest/gtest.h>

#include <thread>

namespace larkpin {
namespace {

using namespace std::chrono_literals;

struct RecordingPresenter final : WindowPresenter {
    void toggleMenuPanel(const QRect&) override { calls << "panel"; }
    void showDashboard() override { calls << "dashboard"; }
    void showSettings() override { calls << "settings"; }
    void showAbout() override { calls << "about"; }
    QStringList calls;
};

using test::waitUntil;

class TrayIconTest : public ::testing::Test {
protected:
    test::TemporaryFolder folder;
    LocalStore seed{folder.path() / "larkpin.sqlite"};
    AppStore store{[this] {
        AppStore::Services services;
        services.databasePath = folder.path() / "larkpin.sqlite";
        return services;
    }()};
    RecordingPresenter presenter;
    // No window ever appears: retries are dropped.
    WindowActivationCoordinator coordinator{{.windows = [] { return QList<QWindow*>(); },
                                             .activateApplication = [] {},
                                             .presentWindow = [](QWindow*) {},
                                             .schedule = [](std::function<void()>) {}}};
    TrayIcon tray{store, presenter, coordinator};
};

TEST_F(TrayIconTest, TheIconIsFilledWhileThereAreActiveCodes)
{
    EXPECT_EQ(tray.look(), TrayIcon::Look::outlined);
    const auto now = SystemClock::shared()->now();
    const OTPCode code{Uuid::random(),     "123456",    "Acme", "alice@example.com", "m1", now,
                       now + Seconds(600), std::nullopt};
    seed.save(code);
    QCoro::waitFor(store.reloadCache());
    EXPECT_EQ(tray.look(), TrayIcon::Look::filled);
    QCoro::waitFor(store.setUsed(true, code, "Marked code used"));
    EXPECT_EQ(tray.look(), TrayIcon::Look::outlined);
}

TEST_F(TrayIconTest, TheContextMenuReachesEveryView)
{
    const std::pair<QString, QString> cases[] = {{"Show Codes", "panel"},
                                                 {"Open Larkpin", "dashboard"},
                                                 {"Settings", "settings"},
                                                 {"About Larkpin", "about"}};
    for (const auto& [text, call] : cases) {
        presenter.calls.clear();
        const auto actions = tray.contextMenu().actions();
        const auto action =
            std::find_if(actions.begin(), actions.end(), [&](auto* a) { return a->text() == text; });
        ASSERT_NE(action, actions.end()) << text.toStdString();
        (*action)->trigger();
        EXPECT_EQ(presenter.calls, QStringList{call}) << text.toStdString();
    }
}

TEST_F(TrayIconTest, AClickOrAQuickSecondClickTogglesThePanel)
{
    // A second click soon after the first comes as a double click only, and must close the panel.
    using Reason = QSystemTrayIcon::ActivationReason;
    for (const auto& [reason, toggles] : {std::pair{Reason::Trigger, 1},
                                          {Reason::DoubleClick, 1},
                                          {Reason::Context, 0},
                                          {Reason::MiddleClick, 0}}) {
        presenter.calls.clear();
        emit const_cast<QSystemTrayIcon&>(tray.systemTrayIcon()).activated(reason);
        EXPECT_EQ(presenter.calls.size(), toggles) << reason;
    }
}

TEST_F(TrayIconTest, TheItemIsShownInAnXEmbedTray)
{
    test::ChildProcess trayer({"/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel",
                               "--width", "100", "--height", "24"});
    ASSERT_TRUE(waitUntil([] { return TrayIcon::isSystemTrayAvailable(); }));
    tray.show();
    EXPECT_TRUE(waitUntil([&] { return tray.systemTrayIcon().geometry().isValid(); }));
}

} // namespace
} // namespace larkpin
