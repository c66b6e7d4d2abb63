// larkpin-app: the tray application. One instance per session: a later launch hands its larkpin://
// links to the running one over the session bus and ends.

#include "app/model/AppStore.h"
#include "app/services/ApplicationID.h"
#include "app/shell/AppDeepLink.h"
#include "app/shell/ApplicationService.h"
#include "app/shell/TrayIcon.h"
#include "app/shell/WindowActivationCoordinator.h"
#include "app/shell/WindowPresenter.h"
#include "app/views/QmlWindowPresenter.h"
#include "app/views/SuggestionPanelController.h"

#include <QApplication>
#include <QQuickWindow>
#include <QScreen>
#include <QTimer>

#include <cstdio>
#include <optional>

namespace {

using namespace larkpin;

/// The launch's arguments as URLs; nothing when one is not a URL (reported on stderr).
std::optional<QList<QUrl>> urlsOf(const QStringList& arguments)
{
    QList<QUrl> urls;
    for (const auto& argument : arguments) {
        const QUrl url(argument, QUrl::StrictMode);
        if (!url.isValid() || url.scheme().isEmpty()) {
            std::fprintf(stderr,
                         "larkpin-app: \"%s\" is not a URL (expected a link such as larkpin://open)\n",
                         qPrintable(argument));
            return std::nullopt;
        }
        urls << url;
    }
    return urls;
}

/// LARKPIN_APP_TRACE=1 prints one line per handled request, so that a test can see links arrive,
/// one when the tray has taken the icon, so that a benchmark can time the start, and the status line
/// at each change, so that a run under faults can see every failure reported.
bool tracing()
{
    return qEnvironmentVariable("LARKPIN_APP_TRACE") == u"1";
}

void trace(const QString& line)
{
    if (!tracing())
        return;
    std::printf("%s\n", qPrintable(line));
    std::fflush(stdout);
}

/// Traces "tray icon shown" once the tray has embedded the icon: only then does it have a place.
/// Without a tray there is nothing to wait for, and polling would cost a few percent of CPU.
void traceWhenShown(const TrayIcon& tray)
{
    if (!tracing() || !TrayIcon::isSystemTrayAvailable())
        return;
    auto* poll = new QTimer(QCoreApplication::instance());
    QObject::connect(poll, &QTimer::timeout, poll, [poll, &tray] {
        if (!tray.systemTrayIcon().geometry().isValid())
            return;
        trace(QStringLiteral("tray icon shown"));
        poll->deleteLater();
    });
    poll->start(5);
}

/// Traces the suggestion panel's first frame after each showing and its hiding, for bench/panel.
void tracePanel(const SuggestionPanelController& panel)
{
    if (!tracing())
        return;
    QObject::connect(&panel, &SuggestionPanelController::drawn, [](const QRect& at) {
        trace(QStringLiteral("suggestion panel shown %1 %2 %3 %4")
                  .arg(at.x())
                  .arg(at.y())
                  .arg(at.width())
                  .arg(at.height()));
    });
    QObject::connect(&panel, &SuggestionPanelController::hidden,
                     [] { trace(QStringLiteral("suggestion panel hidden")); });
}

void openLinks(WindowActivationCoordinator& coordinator, const QList<QUrl>& urls)
{
    for (const auto& url : urls)
        trace(QStringLiteral("deep link %1: %2")
                  .arg(url.toString(), AppDeepLink::fromURL(url) ? "open" : "ignored"));
    coordinator.openDeepLinks(urls);
}

AccessibilityCoordinator::ScreenList screensOfDesktop()
{
    return [] {
        std::vector<ScreenRect> screens;
        for (const auto* screen : QGuiApplication::screens()) {
            const auto geometry = screen->geometry();
            screens.push_back({double(geometry.x()), double(geometry.y()), double(geometry.width()),
                               double(geometry.height())});
        }
        return screens;
    };
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    const auto urls = urlsOf(arguments);
    if (!urls)
        return 2;
    // Read before the display connection takes it out of the environment.
    const auto token = ApplicationService::ActivationToken::fromEnvironment();

    // The tray panel is placed beside the icon, which Wayland does not let a client do: run under
    // XWayland unless the user chose a platform.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") &&
        (qEnvironmentVariable("XDG_SESSION_TYPE") == u"wayland" ||
         !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")))
        qputenv("QT_QPA_PLATFORM", "xcb");
    // A few small windows, one of them shown and hidden at every focus change: Qt Quick's software
    // renderer draws them without an OpenGL context per window, which costs tens of megabytes and,
    // where OpenGL itself runs in software, a pool of threads and far more CPU. The user may choose.
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND"))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);

    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Larkpin"));
    QApplication::setApplicationDisplayName(QStringLiteral("Larkpin"));
    QApplication::setOrganizationName(QStringLiteral("Larkpin"));
    QGuiApplication::setDesktopFileName(
        QString::fromUtf8(applicationID.data(), qsizetype(applicationID.size())));
    QApplication::setQuitOnLastWindowClosed(false);

    ApplicationService service;
    auto claim = ApplicationService::Claim::owned;
    try {
        claim = service.claim();
    } catch (const ApplicationService::ServiceError& error) {
        // Without the bus the application still runs; only a second launch cannot reach it.
        std::fprintf(stderr, "larkpin-app: %s\n", error.what());
    }
    if (claim == ApplicationService::Claim::ownedByAnotherInstance) {
        try {
            ApplicationService::forward(*urls, token);
            return 0;
        } catch (const ApplicationService::ServiceError& error) {
            // Never a second instance beside a running one, even when that one does not answer.
            std::fprintf(stderr, "larkpin-app: %s\n", error.what());
            return 1;
        }
    }

    auto services = AppStore::Services::standard(screensOfDesktop());
    // The panel shares the views' engine; it first asks for it at its first show, when the
    // presenter exists.
    QmlWindowPresenter* views = nullptr;
    const auto panel =
        std::make_shared<SuggestionPanelController>([&views] { return views->sharedEngine(); });
    tracePanel(*panel);
    services.panel = panel;
    AppStore store(std::move(services));
    auto& coordinator = WindowActivationCoordinator::shared();
    const auto presenter = makeWindowPresenter(store, coordinator);
    views = dynamic_cast<QmlWindowPresenter*>(presenter.get());
    coordinator.registerOpener(AppWindowRoute::main, [&presenter] { presenter->showDashboard(); });
    coordinator.registerOpener(AppWindowRoute::settings, [&presenter] { presenter->showSettings(); });
    QObject::connect(&store, &AppStore::statusMessageChanged, &store,
                     [&store] { trace(QStringLiteral("status: ") + store.statusMessage()); });
    store.start();

    TrayIcon tray(store, *presenter, coordinator);
    tray.show(); // also when there is no tray yet: the item appears once one starts
    traceWhenShown(tray);
    if (!TrayIcon::isSystemTrayAvailable())
        presenter->showDashboard(); // never invisible: without a tray the dashboard stands in

    // Queued: the launch that handed the request over gets its answer at once, before a window
    // (and, the first time, the QML engine) is made.
    QObject::connect(
        &service, &ApplicationService::openRequested, &coordinator,
        [&coordinator](const QList<QUrl>& links) { openLinks(coordinator, links); }, Qt::QueuedConnection);
    QObject::connect(
        &service, &ApplicationService::activated, &coordinator,
        [&coordinator] {
            trace(QStringLiteral("activate"));
            coordinator.presentRegistered(AppWindowRoute::main);
        },
        Qt::QueuedConnection);
    if (!urls->isEmpty())
        openLinks(coordinator, *urls);
    return QApplication::exec();
}
