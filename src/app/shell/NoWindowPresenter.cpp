#include "app/shell/WindowPresenter.h"

namespace larkpin {
namespace {

/// Stands in until the views are built in: the shell runs, and nothing opens.
class NoWindowPresenter final : public WindowPresenter {
public:
    void toggleMenuPanel(const QRect&) override {}
    void showDashboard() override {}
    void showSettings() override {}
    void showAbout() override {}
};

} // namespace

std::unique_ptr<WindowPresenter> makeWindowPresenter(AppStore&, WindowActivationCoordinator&)
{
    return std::make_unique<NoWindowPresenter>();
}

} // namespace larkpin
