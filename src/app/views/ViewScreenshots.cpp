// Renders the tray panel, the dashboard and the settings window over a demo database into PNG
// files, for the README and for looking at the views without a desktop session.
// Usage: larkpin-view-screenshots FOLDER (run under a display, e.g. scripts/test-session).

#include "app/model/AppStore.h"
#include "app/views/QmlWindowPresenter.h"
#include "app/views/SuggestionPanelController.h"
#include "core/services/LocalStore.h"

#include <QCoroTask>
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPalette>
#include <QQuickView>
#include <QQuickWindow>
#include <QTemporaryDir>

#include <chrono>
#include <iostream>

using namespace larkpin;

namespace {

void settle()
{
    for (int i = 0; i < 20; ++i) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QCoreApplication::sendPostedEvents();
    }
}

bool save(QQuickWindow* window, const QString& path)
{
    settle();
    const QImage image = window->grabWindow();
    if (image.isNull() || !image.save(path)) {
        std::cerr << "could not write " << path.toStdString() << "\n";
        return false;
    }
    std::cout << path.toStdString() << "\n";
    return true;
}

void seedDemo(LocalStore& store)
{
    const auto now = std::chrono::time_point_cast<Seconds>(std::chrono::system_clock::now());
    store.upsert({.id = "alice", .email = "alice@example.com", .lastSyncAt = now - Seconds(300), .isEnabled = false});
    store.upsert({.id = "work", .email = "me@work.example", .isEnabled = false});
    const struct {
        const char* value;
        const char* issuer;
        double age, expiresIn;
        bool used;
    } codes[] = {{"482913", "GitHub", 40, 45, false},
                 {"739201", "Acme Bank", 90, 510, false},
                 {"5521", "Example Shop", 200, 400, true}};
    for (const auto& code : codes)
        store.save({Uuid::random(), code.value, code.issuer, "alice@example.com", code.value, now - Seconds(code.age),
                    now + Seconds(code.expiresIn), code.used ? std::optional(now - Seconds(20)) : std::nullopt});
}

/// A dark desktop's palette, to see that the views stay readable on one.
QPalette darkPalette()
{
    QPalette palette;
    const QColor window(0x2b, 0x2b, 0x2e), base(0x1e, 0x1e, 0x20), text(0xec, 0xec, 0xee);
    for (const auto group : {QPalette::Active, QPalette::Inactive}) {
        palette.setColor(group, QPalette::Window, window);
        palette.setColor(group, QPalette::Base, base);
        palette.setColor(group, QPalette::AlternateBase, window);
        palette.setColor(group, QPalette::Button, window.lighter(130));
        for (const auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
            palette.setColor(group, role, text);
    }
    palette.setColor(QPalette::Disabled, QPalette::WindowText, text.darker(180));
    palette.setColor(QPalette::Disabled, QPalette::Text, text.darker(180));
    palette.setColor(QPalette::Disabled, QPalette::ButtonText, text.darker(180));
    return palette;
}

/// The suggestion panel beside a field: three codes, then a failed refresh, then a refresh running.
bool savePanels(SuggestionPanelController& panel, const QDir& folder, const QString& suffix)
{
    const auto now = std::chrono::time_point_cast<Seconds>(std::chrono::system_clock::now());
    std::vector<OTPCode> codes;
    for (const auto& [value, issuer, expiresIn] :
         {std::tuple{"482913", "GitHub", 45}, {"739201", "Acme Bank", 510}, {"55210", "Example Shop", 400}})
        codes.push_back({Uuid::random(), value, issuer, "alice@example.com", value, now - Seconds(60),
                         now + Seconds(expiresIn), std::nullopt});
    SuggestionRefreshState state;
    state.lastUpdatedAt = now - Seconds(125);
    const AccessibilityCoordinator::FocusedField field{.element = {}, .frame = {700, 120, 240, 32}, .descriptor = {}};
    bool written = true;
    for (const auto& [name, syncing, error] :
         {std::tuple{"codes", false, std::optional<std::string>()},
          {"failed", false, std::optional<std::string>("Gmail did not answer in time")},
          {"syncing", true, std::nullopt}}) {
        state.errorMessage = error;
        panel.show(
            codes, state, syncing, field, [] {}, [](const OTPCode&) {});
        written =
            save(panel.window(), folder.filePath(QString("panel-%1%2.png").arg(name, suffix))) && written;
    }
    return written;
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QUICK_BACKEND", "software");
    QGuiApplication application(argc, argv);
    if (argc != 2) {
        std::cerr << "usage: larkpin-view-screenshots FOLDER\n";
        return 2;
    }
    const QDir folder(QString::fromLocal8Bit(argv[1]));
    QDir().mkpath(folder.path());
    QTemporaryDir data;
    bool written = true;
    for (const int pass : {0, 1, 2}) {
        const bool demo = pass > 0;
        const bool dark = pass == 2;
        if (dark)
            QGuiApplication::setPalette(darkPalette());
        const auto path = std::filesystem::path(data.path().toStdString()) / (std::to_string(pass) + ".sqlite");
        if (demo) {
            LocalStore seed(path);
            seedDemo(seed);
        }
        AppStore::Services services;
        services.databasePath = path;
        AppStore store(std::move(services));
        QCoro::waitFor(store.reloadCache());
        QmlWindowPresenter presenter(store);
        const QString suffix = QString(demo ? "codes" : "empty") + (dark ? "-dark" : "");
        // One window at a time: the panel hides when another window takes the focus.
        presenter.toggleMenuPanel({});
        written = save(presenter.menuPanel(), folder.filePath("menu-" + suffix + ".png")) && written;
        presenter.showDashboard();
        written = save(presenter.dashboard(), folder.filePath("dashboard-" + suffix + ".png")) && written;
        if (!demo) {
            presenter.showSettings();
            written = save(presenter.settings(), folder.filePath("settings.png")) && written;
        } else {
            SuggestionPanelController panel([&presenter] { return presenter.sharedEngine(); });
            written = savePanels(panel, folder, dark ? "-dark" : "") && written;
        }
    }
    return written ? 0 : 1;
}
