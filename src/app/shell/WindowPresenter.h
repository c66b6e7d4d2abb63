#pragma once
#include <QRect>
#include <memory>
namespace larkpin {
class AppStore; class WindowActivationCoordinator;
/// The windows the application shows: the tray panel, the dashboard, settings and the about dialog.
class WindowPresenter {
public:
    virtual ~WindowPresenter() = default;
    virtual void toggleMenuPanel(const QRect& iconGeometry) = 0;
    virtual void showDashboard() = 0;
    virtual void showSettings() = 0;
    virtual void showAbout() = 0;
};
std::unique_ptr<WindowPresenter> makeWindowPresenter(AppStore& store, WindowActivationCoordinator& windows);
} // namespace larkpin
