#pragma once

#include "app/shell/WindowPresenter.h"

#include <QObject>
#include <QPointer>
#include <QRect>

#include <functional>
#include <memory>

class QQmlEngine;
class QQuickWindow;

namespace larkpin {

class AppStore;

/// Shows the QML views over the one store. The engine and each window are created when first
/// needed, so an idle tray costs little. Main thread only.
class QmlWindowPresenter final : public QObject, public WindowPresenter {
    Q_OBJECT

public:
    /// What the tray panel's buttons ask of the application shell. By default they show this
    /// presenter's own windows and quit the application.
    struct MenuActions {
        std::function<void()> openApp;
        std::function<void()> openSettings;
        std::function<void()> showAbout;
        std::function<void()> quit;
    };

    explicit QmlWindowPresenter(AppStore& store, QObject* parent = nullptr);
    ~QmlWindowPresenter() override;

    /// Shows the panel beside `iconGeometry` (at the pointer when it is empty), or hides it when
    /// it is shown. It hides by itself when it loses the focus.
    void toggleMenuPanel(const QRect& iconGeometry) override;
    void showDashboard() override;
    void showSettings() override;
    void showAbout() override;

    void setMenuActions(MenuActions actions) { actions_ = std::move(actions); }

    /// The one QML engine of the views, made at the first call; others' windows share it.
    std::shared_ptr<QQmlEngine> sharedEngine();

    /// The windows created so far; null until first shown.
    QQuickWindow* menuPanel() const;
    QQuickWindow* dashboard() const;
    QQuickWindow* settings() const;
    QQuickWindow* about() const;

private slots:
    void openAppFromMenu() { runFromMenu(actions_.openApp); }
    void openSettingsFromMenu() { runFromMenu(actions_.openSettings); }
    void showAboutFromMenu() { runFromMenu(actions_.showAbout); }
    void quitFromMenu() { runFromMenu(actions_.quit); }

private:
    void runFromMenu(const std::function<void()>& action);
    QQmlEngine& engine();
    /// Creates the window whose QML root is `file`, or throws when the QML does not load.
    std::unique_ptr<QQuickWindow> createWindow(const QString& file, const QVariantMap& properties);
    void createMenuPanel();
    void placeMenuPanel();
    static void bringForward(QQuickWindow& window);

    AppStore& store_;
    MenuActions actions_;
    QRect panelIcon_;
    qint64 panelHiddenAt_ = 0;
    // Declared before the windows: they are destroyed first.
    std::shared_ptr<QQmlEngine> engine_;
    std::unique_ptr<QQuickWindow> menuPanel_;
    std::unique_ptr<QQuickWindow> dashboard_;
    std::unique_ptr<QQuickWindow> settings_;
    std::unique_ptr<QQuickWindow> about_;
};

} // namespace larkpin
