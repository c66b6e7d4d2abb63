#include "app/shell/WindowActivationCoordinator.h"

#include "app/shell/AppDeepLink.h"

#include <QGuiApplication>
#include <QMetaObject>
#include <QPointer>
#include <QWindow>

#include <algorithm>

namespace larkpin {

WindowActivationCoordinator::Operations WindowActivationCoordinator::Operations::standard()
{
    return {
        .windows = [] { return QGuiApplication::topLevelWindows(); },
        // The desktop has no activation of an application as a whole: each window asks for it
        // in presentWindow.
        .activateApplication = [] {},
        .presentWindow =
            [](QWindow* window) {
                if (window->windowStates() & Qt::WindowMinimized)
                    window->showNormal();
                else if (!window->isVisible())
                    window->show(); // a closed window stays among the top-level ones, hidden
                window->raise();
                window->requestActivate();
            },
        .schedule =
            [](std::function<void()> work) {
                QMetaObject::invokeMethod(qApp, std::move(work), Qt::QueuedConnection);
            },
    };
}

WindowActivationCoordinator::WindowActivationCoordinator(Operations operations, QObject* parent)
    : QObject(parent)
    , operations_(std::move(operations))
{
}

WindowActivationCoordinator& WindowActivationCoordinator::shared()
{
    static constexpr auto name = "larkpin-window-activation-coordinator";
    auto* application = QCoreApplication::instance();
    Q_ASSERT(application);
    auto* coordinator =
        application->findChild<WindowActivationCoordinator*>(name, Qt::FindDirectChildrenOnly);
    if (!coordinator) {
        coordinator = new WindowActivationCoordinator(Operations::standard(), application);
        coordinator->setObjectName(name);
    }
    return *coordinator;
}

QWindow* WindowActivationCoordinator::windowOf(AppWindowRoute route) const
{
    const auto windows = operations_.windows();
    const auto found = std::find_if(windows.begin(), windows.end(), [&](QWindow* window) {
        return window && window->objectName() == route.rawValue();
    });
    return found == windows.end() ? nullptr : *found;
}

void WindowActivationCoordinator::present(AppWindowRoute route, const Opener& open)
{
    operations_.activateApplication();
    if (auto* window = windowOf(route)) {
        operations_.presentWindow(window);
        return;
    }
    open();
    scheduleBringToFront(route, bringToFrontAttempts);
}

void WindowActivationCoordinator::scheduleBringToFront(AppWindowRoute route, int attemptsRemaining)
{
    operations_.schedule([self = QPointer(this), route, attemptsRemaining] {
        if (self)
            self->bringToFront(route, attemptsRemaining);
    });
}

void WindowActivationCoordinator::bringToFront(AppWindowRoute route, int attemptsRemaining)
{
    operations_.activateApplication();
    if (auto* window = windowOf(route)) {
        operations_.presentWindow(window);
        return;
    }
    if (attemptsRemaining < 2)
        return;
    scheduleBringToFront(route, attemptsRemaining - 1);
}

void WindowActivationCoordinator::presentRegistered(AppWindowRoute route)
{
    if (const auto opener = registeredOpeners_.find(route); opener != registeredOpeners_.end()) {
        present(route, Opener(opener->second)); // the opener may register a new one
        return;
    }
    pendingRoutes_.insert(route);
    operations_.activateApplication();
}

void WindowActivationCoordinator::registerOpener(AppWindowRoute route, Opener open)
{
    registeredOpeners_[route] = std::move(open);
    if (pendingRoutes_.erase(route) > 0)
        present(route, Opener(registeredOpeners_[route]));
}

bool WindowActivationCoordinator::openDeepLinks(const QList<QUrl>& urls)
{
    const bool anyOpen = std::any_of(urls.begin(), urls.end(), [](const QUrl& url) {
        const auto link = AppDeepLink::fromURL(url);
        return link && link->value() == AppDeepLink::Case::open;
    });
    if (anyOpen)
        presentRegistered(AppWindowRoute::main);
    return anyOpen;
}

} // namespace larkpin
