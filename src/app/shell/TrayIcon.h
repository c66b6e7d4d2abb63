#pragma once

#include <QMenu>
#include <QObject>
#include <QRect>
#include <QSystemTrayIcon>

namespace larkpin {

class AppStore;
class WindowActivationCoordinator;
class WindowPresenter;

/// The application's tray item: the grid icon, filled while there are active codes and outlined
/// when there are none; a click toggles the tray panel, and the context menu (which some tray hosts
/// open on a left click) reaches every window. Main thread only.
class TrayIcon : public QObject {
    Q_OBJECT

public:
    enum class Look { filled, outlined };

    TrayIcon(AppStore& store, WindowPresenter& presenter, WindowActivationCoordinator& coordinator,
             QObject* parent = nullptr);

    /// Whether the desktop has a tray to show the item in; without one the dashboard stands in.
    static bool isSystemTrayAvailable() { return QSystemTrayIcon::isSystemTrayAvailable(); }

    void show() { icon_.show(); }
    Look look() const { return look_; }
    const QSystemTrayIcon& systemTrayIcon() const { return icon_; }
    QMenu& contextMenu() { return menu_; }

signals:
    /// The item was clicked: where it is on the screen, or an empty rect when the tray does not say.
    void togglePanelRequested(const QRect& iconGeometry);

private:
    void updateLook();

    AppStore& store_;
    QMenu menu_;
    QSystemTrayIcon icon_;
    Look look_ = Look::outlined;
};

} // namespace larkpin
