// The monitoring loop at its real pace, with two enabled accounts synced against the Google
// emulator, 20 cached codes and the real accessibility coordinator with no code field focused.
// Run it in scripts/test-session. Prints
//   model tick-median-us: A heavy-tick-median-us: B idle-cpu-percent: C
// where C is the process's CPU time over wall time while the loop runs (60 s unless
// --seconds=N is given).

#include "app/model/AccessibilityFieldSource.h"
#include "app/model/AppStore.h"
#include "app/services/KeychainTokenStore.h"
#include "support/GoogleEmulator.h"
#include "support/TemporaryFolder.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

using namespace larkpin;

namespace {

double processCPUSeconds()
{
    timespec time{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

qint64 median(std::vector<qint64> values)
{
    if (values.empty())
        return -1;
    std::nth_element(values.begin(), values.begin() + values.size() / 2, values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    int seconds = 60;
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).starts_with("--seconds="))
            seconds = std::stoi(std::string(argv[i]).substr(10));
    QCoreApplication application(argc, argv);

    test::TemporaryFolder folder;
    test::GoogleEmulator emulator(LARKPIN_GOOGLE_EMULATOR_PATH);
    const KeychainTokenStore keychain("dev.larkpin.Larkpin.model-bench." + Uuid::random().toString());
    const auto session = std::make_shared<HTTPSession>();
    const auto path = folder.path() / "larkpin.sqlite";
    const std::vector<std::string> ids = {"alice", "bob"};
    {
        LocalStore seed(path);
        for (const auto& id : ids) {
            const std::string mailbox = id + "@example.com";
            emulator.addMailbox(mailbox, id + "-token");
            keychain.saveRefreshToken(emulator.addGrant(mailbox).refreshToken, id);
            seed.upsert({.id = id, .email = mailbox});
        }
        const TimePoint now = SystemClock().now();
        for (int i = 0; i < AppStore::cachedCodeLimit; ++i)
            seed.save({.id = Uuid::random(),
                       .value = std::to_string(100000 + i),
                       .issuer = "Acme",
                       .accountEmail = "alice@example.com",
                       .messageID = "message-" + std::to_string(i),
                       .receivedAt = now - Seconds(i),
                       .expiresAt = now + Seconds(3600),
                       .usedAt = std::nullopt});
    }

    const auto fields = std::make_shared<AccessibilityFieldSource>([] {
        return std::vector<ScreenRect>{{0, 0, 1280, 800}};
    });
    AppStore::Services services;
    services.databasePath = path;
    services.session = session;
    services.makeOAuthClient = [&] {
        const GoogleOAuthConfiguration::Environment environment = {
            {"GOOGLE_OAUTH_CLIENT_ID", "bench.apps.example"}, {"GOOGLE_EMULATOR_URL", emulator.baseURL()}};
        const auto configuration = GoogleOAuthConfiguration::load(environment, Bundle());
        auto tokens = std::make_shared<TokenManager>(configuration, keychain, session);
        return std::make_unique<GoogleOAuthClient>(configuration, tokens, session, environment);
    };
    services.fields = fields;
    services.trust = fields;
    AppStore store(std::move(services));

    QCoro::waitFor(store.reloadCache());
    const auto synced = QCoro::waitFor(store.syncDueAccounts(false, true));
    if (!synced || !synced->errors.empty() || store.codes().size() != AppStore::cachedCodeLimit) {
        std::fprintf(stderr, "setup failed: %s\n", store.statusMessage().toUtf8().constData());
        return 1;
    }

    std::vector<qint64> ticks, heavyTicks;
    QObject::connect(&store, &AppStore::monitoringTicked, [&](bool heavy, qint64 microseconds) {
        (heavy ? heavyTicks : ticks).push_back(microseconds);
    });
    const double cpuBefore = processCPUSeconds();
    QElapsedTimer wall;
    wall.start();
    store.start();
    QTimer::singleShot(seconds * 1000, &application, &QCoreApplication::quit);
    application.exec();
    const double cpuPercent =
        (processCPUSeconds() - cpuBefore) / (static_cast<double>(wall.nsecsElapsed()) / 1e9) * 100;

    for (const auto& id : ids)
        keychain.deleteRefreshToken(id);
    std::printf("model tick-median-us: %lld heavy-tick-median-us: %lld idle-cpu-percent: %.2f\n",
                static_cast<long long>(median(ticks)), static_cast<long long>(median(heavyTicks)),
                cpuPercent);
    return 0;
}
