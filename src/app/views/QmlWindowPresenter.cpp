#include "app/views/QmlWindowPresenter.h"

#include "app/model/AppStore.h"
#include "app/shell/AboutCredits.h"
#include "app/shell/AppWindowRoute.h"
#include "app/shell/WindowActivationCoordinator.h"
#include "app/views/MenuPanelPlacement.h"
#include "app/views/ViewTypes.h"

#include <QCoreApplication>
#include <QCursor>
#include <QDateTime>
#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickStyle>
#include <QQuickWindow>
#include <QScreen>

#include <stdexcept>

namespace larkpin {

namespace {

const QString moduleURL = QStringLiteral("qrc:/Larkpin/");

/// A click on the tray icon first takes the focus from the open panel, which hides it; the toggle
/// that the same click then sends must not show it again.
constexpr qint64 refocusGraceMs = 300;

} // namespace

QmlWindowPresenter::QmlWindowPresenter(AppStore& store, QObject* parent)
    : QObject(parent), store_(store)
{
    actions_ = {.openApp = [this] { showDashboard(); },
                .openSettings = [this] { showSettings(); },
                .showAbout = [this] { showAbout(); },
                .quit = [] { QCoreApplication::quit(); }};
}

QmlWindowPresenter::~QmlWindowPresenter()
{
    // Windows made from QML are closed and handed to the event loop's deferred deletion, then
    // deleted at once through it, before the engine: deleting one directly tore its popups down
    // after their parent items were gone.
    for (QQuickWindow* window :
         {menuPanel_.release(), about_.release(), settings_.release(), dashboard_.release()}) {
        if (window) {
            window->close();
            window->deleteLater();
        }
    }
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

QQmlEngine& QmlWindowPresenter::engine()
{
    return *sharedEngine();
}

std::shared_ptr<QQmlEngine> QmlWindowPresenter::sharedEngine()
{
    if (!engine_) {
        registerViewTypes();
        // Fusion draws with the desktop's palette, light or dark.
        if (QQuickStyle::name().isEmpty())
            QQuickStyle::setStyle(QStringLiteral("Fusion"));
        engine_ = std::make_shared<QQmlEngine>();
    }
    return engine_;
}

std::unique_ptr<QQuickWindow> QmlWindowPresenter::createWindow(const QString& file, const QVariantMap& properties)
{
    QQmlComponent component(&engine(), QUrl(moduleURL + file));
    std::unique_ptr<QObject> object(component.createWithInitialProperties(properties));
    auto* window = qobject_cast<QQuickWindow*>(object.get());
    if (!window)
        throw std::runtime_error("Could not load " + file.toStdString() + ": " + component.errorString().toStdString());
    object.release();
    return std::unique_ptr<QQuickWindow>(window);
}

void QmlWindowPresenter::createMenuPanel()
{
    menuPanel_ = createWindow(QStringLiteral("MenuContent.qml"),
                              {{QStringLiteral("store"), QVariant::fromValue(&store_)}});
    connect(menuPanel_.get(), SIGNAL(openAppRequested()), this, SLOT(openAppFromMenu()));
    connect(menuPanel_.get(), SIGNAL(settingsRequested()), this, SLOT(openSettingsFromMenu()));
    connect(menuPanel_.get(), SIGNAL(aboutRequested()), this, SLOT(showAboutFromMenu()));
    connect(menuPanel_.get(), SIGNAL(quitRequested()), this, SLOT(quitFromMenu()));

    connect(menuPanel_.get(), &QWindow::activeChanged, this, [this] {
        if (!menuPanel_->isActive() && menuPanel_->isVisible()) {
            menuPanel_->hide();
            panelHiddenAt_ = QDateTime::currentMSecsSinceEpoch();
        }
    });
    // The panel grows and shrinks with its content, keeping its place beside the icon.
    connect(menuPanel_.get(), &QWindow::heightChanged, this, [this] {
        if (menuPanel_->isVisible())
            placeMenuPanel();
    });
}

void QmlWindowPresenter::runFromMenu(const std::function<void()>& action)
{
    menuPanel_->hide();
    if (action)
        action();
}

void QmlWindowPresenter::placeMenuPanel()
{
    const QPoint cursor = QCursor::pos();
    QScreen* screen = QGuiApplication::screenAt(panelIcon_.isEmpty() ? cursor : panelIcon_.center());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect(QPoint(0, 0), menuPanel_->size());
    menuPanel_->setScreen(screen);
    menuPanel_->setPosition(MenuPanelPlacement::place(menuPanel_->size(), panelIcon_, cursor, available));
}

void QmlWindowPresenter::toggleMenuPanel(const QRect& iconGeometry)
{
    if (menuPanel_ && menuPanel_->isVisible()) {
        menuPanel_->hide();
        return;
    }
    if (QDateTime::currentMSecsSinceEpoch() - panelHiddenAt_ < refocusGraceMs)
        return;
    store_.start();
    if (!menuPanel_)
        createMenuPanel();
    panelIcon_ = iconGeometry;
    placeMenuPanel();
    bringForward(*menuPanel_);
}

void QmlWindowPresenter::showDashboard()
{
    store_.start();
    if (!dashboard_)
        dashboard_ = createWindow(QStringLiteral("DashboardWindow.qml"),
                                  {{QStringLiteral("store"), QVariant::fromValue(&store_)}});
    bringForward(*dashboard_);
}

void QmlWindowPresenter::showSettings()
{
    if (!settings_)
        settings_ = createWindow(QStringLiteral("SettingsWindow.qml"),
                                 {{QStringLiteral("store"), QVariant::fromValue(&store_)}});
    bringForward(*settings_);
}

void QmlWindowPresenter::showAbout()
{
    if (!about_)
        about_ = createWindow(QStringLiteral("AboutWindow.qml"),
                              {{QStringLiteral("credits"), AboutCredits::text()},
                               {QStringLiteral("version"), QStringLiteral(LARKPIN_VERSION)}});
    bringForward(*about_);
}

void QmlWindowPresenter::bringForward(QQuickWindow& window)
{
    if (window.windowState() & Qt::WindowMinimized)
        window.setWindowStates(window.windowStates() & ~Qt::WindowMinimized);
    window.show();
    window.raise();
    window.requestActivate();
}

QQuickWindow* QmlWindowPresenter::menuPanel() const { return menuPanel_.get(); }
QQuickWindow* QmlWindowPresenter::dashboard() const { return dashboard_.get(); }
QQuickWindow* QmlWindowPresenter::settings() const { return settings_.get(); }
QQuickWindow* QmlWindowPresenter::about() const { return about_.get(); }

std::unique_ptr<WindowPresenter> makeWindowPresenter(AppStore& store, WindowActivationCoordinator& coordinator)
{
    auto presenter = std::make_unique<QmlWindowPresenter>(store);
    // The panel's buttons go through the coordinator, as deep links do, so that a window already
    // open is brought forward rather than opened twice.
    presenter->setMenuActions({.openApp = [&coordinator] { coordinator.presentRegistered(AppWindowRoute::main); },
                               .openSettings =
                                   [&coordinator] { coordinator.presentRegistered(AppWindowRoute::settings); },
                               .showAbout = [p = presenter.get()] { p->showAbout(); },
                               .quit = [] { QCoreApplication::quit(); }});
    return presenter;
}

} // namespace larkpin
