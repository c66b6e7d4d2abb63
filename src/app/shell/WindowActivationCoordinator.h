#pragma once

#include "app/shell/AppWindowRoute.h"

#include <QList>
#include <QObject>
#include <QUrl>

#include <functional>
#include <map>
#include <set>

class QWindow;

namespace larkpin {

/// Brings a window of the application to the front, opening it when it does not exist yet, and
/// turns deep links into that. Main thread only.
class WindowActivationCoordinator : public QObject {
    Q_OBJECT

public:
    using Opener = std::function<void()>;

    /// The platform operations, replaceable so that the algorithms are tested without a desktop.
    struct Operations {
        std::function<QList<QWindow*>()> windows;
        std::function<void()> activateApplication;
        std::function<void(QWindow*)> presentWindow;
        /// Runs the work at the next turn of the main event loop.
        std::function<void(std::function<void()>)> schedule;

        /// The application's top-level windows; a minimised window is restored, then raised and
        /// activated; work is queued on the application object.
        static Operations standard();
    };

    /// Attempts of `bringToFront` after asking a window to open.
    static constexpr int bringToFrontAttempts = 4;

    explicit WindowActivationCoordinator(Operations operations = Operations::standard(),
                                         QObject* parent = nullptr);

    /// The process's coordinator, created on first use as a child of the application object.
    static WindowActivationCoordinator& shared();

    /// Shows the window of `route`; when there is none, calls `open` and looks for the window again
    /// on the next turns of the event loop.
    void present(AppWindowRoute route, const Opener& open);
    /// Shows the window of `route` with its registered opener; without one, remembers the route
    /// until an opener is registered for it.
    void presentRegistered(AppWindowRoute route);
    /// Keeps the latest opener of `route`; presents the route when it was waiting for one.
    void registerOpener(AppWindowRoute route, Opener open);
    /// The handler of incoming URLs: at least one `open` link presents the main window once.
    /// Answers whether one did.
    bool openDeepLinks(const QList<QUrl>& urls);

    const std::map<AppWindowRoute, Opener>& registeredOpeners() const { return registeredOpeners_; }
    const std::set<AppWindowRoute>& pendingRoutes() const { return pendingRoutes_; }

private:
    QWindow* windowOf(AppWindowRoute route) const;
    /// Queues the retry holding the coordinator weakly: it does nothing once the coordinator is gone.
    void scheduleBringToFront(AppWindowRoute route, int attemptsRemaining);
    void bringToFront(AppWindowRoute route, int attemptsRemaining);

    const Operations operations_;
    std::map<AppWindowRoute, Opener> registeredOpeners_;
    std::set<AppWindowRoute> pendingRoutes_;
};

} // namespace larkpin
