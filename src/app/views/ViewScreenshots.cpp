// Renders the tray panel, the dashboard, the settings and the about window, empty and over a demo
// database, with a light and a dark palette, into PNG files: for the README and for looking at the
// views without a desktop session.
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

bool saveImage(QQuickWindow* window, const QString& path)
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

/// A dark desktop's palette, to see that the views stay readable on one: Qt derives the other roles
/// from the button and window colours.
QPalette darkPalette()
{
    QPalette palette(QColor(0x3a, 0x3a, 0x3e), QColor(0x2b, 0x2b, 0x2e));
    palette.setColor(QPalette::Base, QColor(0x1e, 0x1e, 0x20));
    palette.setColor(QPalette::AlternateBase, QColor(0x2b, 0x2b, 0x2e));
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
            saveImage(panel.window(), folder.filePath(QString("panel-%1%2.png").arg(name, suffix))) && written;
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
    for (const bool dark : {false, true}) {
        if (dark)
            QGuiApplication::setPalette(darkPalette());
        for (const bool demo : {false, true}) {
            const auto path = std::filesystem::path(data.path().toStdString()) /
                              QString("%1-%2.sqlite").arg(dark).arg(demo).toStdString();
            if (demo) {
                LocalStore seed(path);
                seedDemo(seed);
            }
            AppStore::Services services;
            services.databasePath = path;
            AppStore store(std::move(services));
            QCoro::waitFor(store.reloadCache());
            QmlWindowPresenter presenter(store);
            const QString theme = dark ? "-dark" : "";
            const QString suffix = (demo ? "codes" : "empty") + theme;
            const auto save = [&](QQuickWindow* window, const QString& name) {
                written = saveImage(window, folder.filePath(name + ".png")) && written;
            };
            // One window at a time: the panel hides when another window takes the focus.
            presenter.toggleMenuPanel({});
            save(presenter.menuPanel(), "menu-" + suffix);
            presenter.showDashboard();
            save(presenter.dashboard(), "dashboard-" + suffix);
            if (!demo) {
                presenter.showSettings();
                save(presenter.settings(), "settings" + theme);
                presenter.showAbout();
                save(presenter.about(), "about" + theme);
            } else {
                SuggestionPanelController panel([&presenter] { return presenter.sharedEngine(); });
                panel.drawShadow(true); // as a compositing desktop shows it
                written = savePanels(panel, folder, theme) && written;
            }
        }
    }
    return written ? 0 : 1;
}
