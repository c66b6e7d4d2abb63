// The coordinator's algorithms with injected operations (only the window list is real where a
// window's state matters), and the parsing of routes and deep links.

#include "app/shell/WindowActivationCoordinator.h"
#include "app/shell/AppDeepLink.h"
#include "app/shell/AppWindowRoute.h"

#include <QWindow>

#include <gtest/gtest.h>

#include <deque>

namespace larkpin {
namespace {

/// Operations that record what the coordinator does; scheduled work waits until `runScheduled`.
struct RecordingDesktop {
    QList<QWindow*> windows;
    int windowQueries = 0, activations = 0;
    QList<QWindow*> presented;
    std::deque<std::function<void()>> scheduled;

    WindowActivationCoordinator::Operations operations(bool realPresentation = false)
    {
        auto standard = WindowActivationCoordinator::Operations::standard();
        return {.windows = [this] { return ++windowQueries, windows; },
                .activateApplication = [this] { ++activations; },
                .presentWindow =
                    [this, realPresentation, present = standard.presentWindow](QWindow* window) {
                        presented << window;
                        if (realPresentation)
                            present(window);
                    },
                .schedule = [this](std::function<void()> work) { scheduled.push_back(std::move(work)); }};
    }
    int runScheduled()
    {
        int turns = 0;
        for (; !scheduled.empty(); ++turns) {
            const auto work = std::move(scheduled.front());
            scheduled.pop_front();
            work();
        }
        return turns;
    }
};

TEST(WindowActivationCoordinator, RoutesAndDeepLinksParseOnlyTheirExactForms)
{
    const struct {
        QString text;
        std::optional<AppWindowRoute> route;
        bool isOpenLink;
    } cases[] = {
        {"larkpin.main", AppWindowRoute::main, false},
        {"larkpin.settings", AppWindowRoute::settings, false},
        {"Larkpin.main", std::nullopt, false},
        {"larkpin://open", std::nullopt, true},
        {"LARKPIN://OPEN", std::nullopt, true},
        {"larkpin://open/path?query=1#fragment", std::nullopt, true},
        {"larkpin://settings", std::nullopt, false},
        {"larkpin:open", std::nullopt, false},
        {"https://open", std::nullopt, false},
    };
    for (const auto& [text, route, isOpenLink] : cases) {
        EXPECT_EQ(AppWindowRoute::fromRawValue(text), route) << text.toStdString();
        EXPECT_EQ(AppDeepLink::fromURL(QUrl(text)).has_value(), isOpenLink) << text.toStdString();
    }
}

TEST(WindowActivationCoordinator, AnExistingWindowIsRestoredAndPresentedWithoutOpening)
{
    QWindow other, main;
    main.setObjectName(AppWindowRoute::main.rawValue());
    main.showMinimized();
    RecordingDesktop desktop;
    desktop.windows = {&other, &main};
    WindowActivationCoordinator coordinator(desktop.operations(true));
    int opened = 0;
    coordinator.present(AppWindowRoute::main, [&] { ++opened; });
    EXPECT_EQ(opened, 0);
    EXPECT_EQ(desktop.presented, QList<QWindow*>{&main});
    EXPECT_FALSE(main.windowStates() & Qt::WindowMinimized);
    EXPECT_EQ(desktop.activations, 1);

    // A closed window stays among the application's windows, hidden: it is shown again.
    main.close();
    coordinator.present(AppWindowRoute::main, [&] { ++opened; });
    EXPECT_TRUE(main.isVisible());
    EXPECT_EQ(opened, 0);
}

TEST(WindowActivationCoordinator, AWindowThatNeverAppearsIsOpenedOnceAndSoughtFourMoreTimes)
{
    RecordingDesktop desktop;
    WindowActivationCoordinator coordinator(desktop.operations());
    int opened = 0;
    coordinator.present(AppWindowRoute::settings, [&] { ++opened; });
    EXPECT_EQ(desktop.runScheduled(), 4);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(desktop.windowQueries, 5);
    EXPECT_TRUE(desktop.presented.isEmpty());

    // A window that shows up on a later turn is presented then, and the retries stop.
    QWindow settings;
    coordinator.present(AppWindowRoute::settings, [&] { settings.setObjectName("larkpin.settings"); });
    desktop.windows = {&settings};
    EXPECT_EQ(desktop.runScheduled(), 1);
    EXPECT_EQ(desktop.presented, QList<QWindow*>{&settings});

    // The retries hold the coordinator weakly.
    auto gone = std::make_unique<WindowActivationCoordinator>(desktop.operations());
    gone->present(AppWindowRoute::main, [] {});
    gone.reset();
    const int queries = desktop.windowQueries;
    EXPECT_EQ(desktop.runScheduled(), 1);
    EXPECT_EQ(desktop.windowQueries, queries);
}

TEST(WindowActivationCoordinator, DeepLinksPresentTheMainWindowOnceOrWaitForItsOpener)
{
    RecordingDesktop desktop;
    WindowActivationCoordinator coordinator(desktop.operations());
    EXPECT_TRUE(coordinator.openDeepLinks({QUrl("larkpin://open")}));
    EXPECT_EQ(coordinator.pendingRoutes(), std::set{AppWindowRoute::main});
    EXPECT_EQ(desktop.activations, 1);

    int opened = 0;
    coordinator.registerOpener(AppWindowRoute::main, [&] { ++opened; });
    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(coordinator.pendingRoutes().empty());

    const struct {
        QList<QUrl> urls;
        int presentations;
    } cases[] = {
        {{QUrl("larkpin://open"), QUrl("LARKPIN://OPEN/again")}, 1},
        {{QUrl("larkpin://settings"), QUrl("https://open"), QUrl("not a url")}, 0},
        {{QUrl("mailto:someone@example.com"), QUrl("Larkpin://Open")}, 1},
    };
    for (const auto& [urls, presentations] : cases) {
        opened = 0;
        EXPECT_EQ(coordinator.openDeepLinks(urls), presentations > 0);
        EXPECT_EQ(opened, presentations) << urls.first().toString().toStdString();
    }
}

} // namespace
} // namespace larkpin
