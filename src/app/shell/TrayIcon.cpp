#include "app/shell/TrayIcon.h"

#include "app/model/AppStore.h"
#include "app/shell/WindowActivationCoordinator.h"
#include "app/shell/WindowPresenter.h"

#include <QCoreApplication>
#include <QIcon>

namespace larkpin {

TrayIcon::TrayIcon(AppStore& store, WindowPresenter& presenter, WindowActivationCoordinator& coordinator,
                   QObject* parent)
    : QObject(parent)
    , store_(store)
{
    const auto geometry = [this] {
        const auto rect = icon_.geometry();
        return rect.isValid() ? rect : QRect();
    };
    menu_.addAction(tr("Show Codes"), this, [this, &presenter, geometry] {
        const auto rect = geometry();
        emit togglePanelRequested(rect);
        presenter.toggleMenuPanel(rect);
    });
    menu_.addAction(tr("Open Larkpin"), this, [&presenter, &coordinator] {
        coordinator.present(AppWindowRoute::main, [&presenter] { presenter.showDashboard(); });
    });
    menu_.addAction(tr("Settings"), this, [&presenter, &coordinator] {
        coordinator.present(AppWindowRoute::settings, [&presenter] { presenter.showSettings(); });
    });
    menu_.addAction(tr("About Larkpin"), this, [&presenter] { presenter.showAbout(); });
    menu_.addSeparator();
    menu_.addAction(tr("Quit Larkpin"), this, [] { QCoreApplication::quit(); });

    icon_.setToolTip(QStringLiteral("Larkpin"));
    icon_.setContextMenu(&menu_);
    connect(&icon_, &QSystemTrayIcon::activated, this,
            [this, &presenter, geometry](QSystemTrayIcon::ActivationReason reason) {
                // A quick second click arrives as a double click only; it toggles the panel again.
                if (reason != QSystemTrayIcon::Trigger && reason != QSystemTrayIcon::DoubleClick)
                    return;
                const auto rect = geometry();
                emit togglePanelRequested(rect);
                presenter.toggleMenuPanel(rect);
            });

    auto* codes = store.activeCodesModel();
    connect(&store, &AppStore::activeCodesChanged, this, &TrayIcon::updateLook);
    for (const auto signal : {&QAbstractItemModel::rowsInserted, &QAbstractItemModel::rowsRemoved})
        connect(codes, signal, this, &TrayIcon::updateLook);
    connect(codes, &QAbstractItemModel::modelReset, this, &TrayIcon::updateLook);
    updateLook();
}

void TrayIcon::updateLook()
{
    const auto look = store_.activeCodesModel()->rowCount() > 0 ? Look::filled : Look::outlined;
    if (look == look_ && !icon_.icon().isNull()) // the first call always sets an icon
        return;
    look_ = look;
    icon_.setIcon(QIcon(look == Look::filled ? QStringLiteral(":/larkpin/icons/larkpin-tray-filled.svg")
                                             : QStringLiteral(":/larkpin/icons/larkpin-tray-outline.svg")));
}

} // namespace larkpin
