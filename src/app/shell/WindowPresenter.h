#pragma once

#include <QRect>

#include <memory>

namespace larkpin {

class AppStore;
class WindowActivationCoordinator;

/// The application's views as the shell reaches them: the tray panel, the dashboard, the settings
/// and the about dialog. Main thread only.
class WindowPresenter {
public:
    virtual ~WindowPresenter() = default;

    /// Opens the tray panel beside the icon (an empty rect: the tray did not say where it is), or
    /// closes it when it is open.
    virtual void toggleMenuPanel(const QRect& iconGeometry) = 0;
    virtual void showDashboard() = 0;
    virtual void showSettings() = 0;
    virtual void showAbout() = 0;
};

/// The views the program is built with.
std::unique_ptr<WindowPresenter> makeWindowPresenter(AppStore& store,
                                                     WindowActivationCoordinator& coordinator);

} // namespace larkpin
