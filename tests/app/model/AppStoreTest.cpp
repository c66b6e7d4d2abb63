// AppStore with real parts: a store file in a temporary folder, the sync engine and the OAuth flow
// against the Google emulator, the token manager with the session's Secret Service, a manual clock.
// Only the panel, the focused field and the clipboard are recording stand-ins.

#include "app/model/AppStore.h"
#include "app/services/KeychainTokenStore.h"
#include "support/GoogleEmulator.h"
#include "support/ManualClock.h"
#include "support/SecretServiceProbe.h"
#include "support/TemporaryFolder.h"
#include "support/QtWait.h"

#include <QCoreApplication>
#include <QSettings>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <fstream>
#include <thread>

namespace larkpin {
namespace {

using namespace std::chrono_literals;
using FocusedField = AccessibilityCoordinator::FocusedField;

struct RecordingPanel final : SuggestionPanel {
    void show(const std::vector<OTPCode>& codes, const SuggestionRefreshState&, bool, const FocusedField&,
              std::function<void()>, std::function<void(const OTPCode&)> fillAction) override
    {
        shown = codes;
        fill = std::move(fillAction);
    }
    void hide() override {}
    std::vector<OTPCode> shown;
    std::function<void(const OTPCode&)> fill;
};

struct ScriptedDesktop final : FocusedFieldSource, AccessibilityTrust, Clipboard {
    std::optional<FocusedField> focusedOTPField() override
    {
        ++queries;
        return focused ? std::optional(FocusedField{}) : std::nullopt;
    }
    void fill(std::string_view, const FocusedField&) override
    {
        if (fillFails)
            throw AccessibilityCoordinator::FillError::focusChanged();
    }
    bool isTrusted() override { return ++trustQueries, true; }
    bool requestTrust() override { return true; }
    void setText(const std::string& text) override { clipboard = text; }
    bool focused = false, fillFails = false;
    int queries = 0, trustQueries = 0;
    std::string clipboard;
};

/// Counts a signal's emissions while `context` lives.
template <typename Sender, typename Signal>
std::shared_ptr<int> countOf(QObject& context, Sender* sender, Signal signal)
{
    auto count = std::make_shared<int>(0);
    QObject::connect(sender, signal, &context, [count] { ++*count; });
    return count;
}

std::string valuesOf(const std::vector<OTPCode>& codes)
{
    std::string values;
    for (const auto& code : codes)
        values += code.value + " ";
    return values;
}

using test::waitUntil;

class AppStoreTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const auto reason = test::SecretServiceProbe::unavailableReason())
            GTEST_SKIP() << *reason;
        QSettings("Larkpin", "Larkpin").remove("monitoringEnabled");
        emulator.addMailbox("alice@example.com", "alice-token");
        emulator.addMailbox("bob@example.com", "bob-token");
        emulator.configureOAuth({.consent = "allow"});
    }
    void TearDown() override
    {
        app.reset();
        for (const auto& id : {"alice", "bob", "rate-2", "rate-3600", "rate-none"})
            keychain.deleteRefreshToken(id);
    }

    AppStore& start()
    {
        AppStore::Services services;
        services.databasePath = folder.path() / "larkpin.sqlite";
        services.clock = clock;
        services.session = session;
        services.makeOAuthClient = [this] {
            const GoogleOAuthConfiguration::Environment environment = {
                {"GOOGLE_OAUTH_CLIENT_ID", "client.apps.example"},
                {"GOOGLE_EMULATOR_URL", emulator.baseURL()},
                {GoogleOAuthClient::browserVariable, "larkpin-test-browser"}};
            const auto configuration = GoogleOAuthConfiguration::load(environment, Bundle());
            auto tokens = std::make_shared<TokenManager>(configuration, keychain, session, clock);
            return std::make_unique<GoogleOAuthClient>(configuration, tokens, session, environment, clock);
        };
        services.fields = desktop;
        services.trust = desktop;
        services.clipboard = desktop;
        services.panel = panel;
        services.tickInterval = 1ms;
        app = std::make_unique<AppStore>(std::move(services));
        return *app;
    }
    /// An account connected earlier: a grant at the emulator, its refresh token stored.
    GmailAccount account(const std::string& id, const std::string& mailbox = "alice@example.com",
                         bool enabled = true)
    {
        keychain.saveRefreshToken(emulator.addGrant(mailbox).refreshToken, id);
        const GmailAccount account{.id = id, .email = mailbox, .isEnabled = enabled};
        seed.upsert(account);
        return account;
    }
    OTPCode code(const std::string& value, double receivedAgo, double expiresIn = 600)
    {
        const OTPCode code{Uuid::random(),
                           value,
                           "Acme",
                           "alice@example.com",
                           value,
                           clock->now() - Seconds(receivedAgo),
                           clock->now() + Seconds(expiresIn),
                           std::nullopt};
        seed.save(code);
        return code;
    }
    double secondsUntilNextSync(const std::string& id) const
    {
        return (*app->nextSyncAt(id) - clock->now()).count();
    }

    test::TemporaryFolder folder;
    test::GoogleEmulator emulator{LARKPIN_GOOGLE_EMULATOR_PATH};
    std::shared_ptr<test::ManualClock> clock = std::make_shared<test::ManualClock>(
        std::chrono::time_point_cast<Seconds>(std::chrono::system_clock::now()));
    std::shared_ptr<const HTTPSession> session = std::make_shared<HTTPSession>();
    KeychainTokenStore keychain{"dev.larkpin.Larkpin.model-tests." + Uuid::random().toString()};
    LocalStore seed{folder.path() / "larkpin.sqlite", clock};
    std::shared_ptr<ScriptedDesktop> desktop = std::make_shared<ScriptedDesktop>();
    std::shared_ptr<RecordingPanel> panel = std::make_shared<RecordingPanel>();
    std::unique_ptr<AppStore> app;
};

TEST_F(AppStoreTest, FailedSyncsBackOffAndRateLimitsAreClamped)
{
    const auto alice = account("alice");
    auto& store = start();
    const double plain[] = {10, 20, 40, 80, 160, 320, 320};
    for (const double delay : plain) {
        emulator.queueFault("profile", test::GoogleEmulator::Fault::httpStatus(500));
        const auto outcome = QCoro::waitFor(store.sync(alice, 60s));
        EXPECT_EQ(secondsUntilNextSync("alice"), delay);
        EXPECT_EQ(outcome.errorMessage, store.statusMessage().toStdString());
    }
    for (const auto& [id, retryAfter, delay] :
         {std::tuple<std::string, std::string, double>{"rate-2", "2", 5},
          {"rate-3600", "3600", 900},
          {"rate-none", "", 10}}) {
        const auto headers = retryAfter.empty()
                                 ? std::map<std::string, std::string>{}
                                 : std::map<std::string, std::string>{{"Retry-After", retryAfter}};
        emulator.queueFault("profile", test::GoogleEmulator::Fault::httpStatus(429, headers));
        emulator.addMailbox(id + "@example.com", id + "-token");
        QCoro::waitFor(store.sync(account(id, id + "@example.com"), 60s));
        EXPECT_EQ(secondsUntilNextSync(id), delay) << id;
    }
    QCoro::waitFor(store.sync(alice, 15s));
    EXPECT_EQ(secondsUntilNextSync("alice"), 15) << "a success ends the back-off";
}

TEST_F(AppStoreTest, AnUnauthorizedAnswerIsRetriedOnceAfterOneTokenRefresh)
{
    account("alice");
    auto& store = start();
    QCoro::waitFor(store.reloadCache());
    QCoro::waitFor(store.syncDueAccounts(false, true));
    for (const int refusals : {1, 2}) {
        emulator.resetCounters();
        for (int i = 0; i < refusals; ++i)
            emulator.queueFault("history", test::GoogleEmulator::Fault::httpStatus(401));
        const auto outcome = QCoro::waitFor(store.sync(store.accounts().at(0), 60s));
        EXPECT_EQ(emulator.counters().tokenRequests, 1u) << refusals;
        EXPECT_EQ(emulator.counters().requestsTo("/gmail/v1/users/me/history"), 2u) << refusals;
        EXPECT_EQ(outcome.errorMessage.has_value(), refusals == 2);
    }
    EXPECT_EQ(store.statusMessage(), "alice@example.com: Gmail authorization expired.");
}

TEST_F(AppStoreTest, StatusAndSummaryTextsCount)
{
    const auto alice = account("alice");
    auto& store = start();
    for (const auto& [count, status] :
         {std::pair{1, "Found 1 new code"}, {3, "Found 3 new codes"}, {0, "Found 3 new codes"}}) {
        for (int i = 0; i < count; ++i)
            emulator.addMessage({.from = "Acme <no-reply@acme.example>",
                                 .plain = "Your Acme code is 48102" + std::to_string(i)});
        const auto outcome =
            QCoro::waitFor(store.sync(store.accounts().empty() ? alice : store.accounts()[0], 60s));
        QCoro::waitFor(store.reloadCache());
        EXPECT_EQ(outcome.newCodes, count);
        EXPECT_EQ(store.statusMessage(), status);
    }
    EXPECT_EQ(store.syncSummary(), "Monitoring 1 of 1 account");
    account("bob", "bob@example.com", false);
    QCoro::waitFor(store.reloadCache());
    EXPECT_EQ(store.syncSummary(), "Monitoring 1 of 2 accounts");
    EXPECT_FALSE(store.lastCompleteSyncAt() == std::nullopt);
    seed.upsert({.id = "bob", .email = "bob@example.com"});
    seed.upsert({.id = "alice", .email = "alice@example.com", .isEnabled = false});
    QCoro::waitFor(store.reloadCache());
    EXPECT_EQ(store.lastCompleteSyncAt(), std::nullopt) << "bob never synced";
}

TEST_F(AppStoreTest, TheFastLanePullsStaleAccountsForwardOnlyWhenAFieldGainsFocus)
{
    account("alice");
    account("bob", "bob@example.com");
    auto& store = start();
    store.start();
    ASSERT_TRUE(waitUntil([&] { return store.nextSyncAt("alice") && store.nextSyncAt("bob"); }));
    const TimePoint now = clock->now();
    for (const auto& [id, ago] : {std::pair{"alice", 15.0}, {"bob", 15.5}})
        for (const auto& stored : seed.accounts())
            if (stored.id == id)
                seed.updateSync(id, *stored.lastHistoryID, now - Seconds(ago));
    ASSERT_TRUE(waitUntil([&] { return store.accounts() == seed.accounts(); }));
    const auto aliceNext = store.nextSyncAt("alice");
    const auto afterTicks = [&](int ticks) {
        const int target = desktop->queries + ticks;
        return waitUntil([&] { return desktop->queries >= target; });
    };

    desktop->focused = true;
    ASSERT_TRUE(waitUntil([&] { return store.nextSyncAt("bob") == now + 15s; }))
        << "15.5 s ago is pulled forward";
    ASSERT_TRUE(afterTicks(3));
    EXPECT_EQ(store.nextSyncAt("alice"), aliceNext) << "15.0 s ago is not";

    clock->advance(14); // alice is stale now, but the field kept the focus
    ASSERT_TRUE(afterTicks(8));
    EXPECT_EQ(store.nextSyncAt("alice"), aliceNext);
    desktop->focused = false;
    ASSERT_TRUE(afterTicks(2));
    desktop->focused = true;
    EXPECT_TRUE(waitUntil([&] { return store.nextSyncAt("alice") != aliceNext; }));
}

TEST_F(AppStoreTest, StartingTwiceRunsOneLoop)
{
    auto& store = start();
    store.start();
    store.start();
    EXPECT_EQ(desktop->trustQueries, 2) << "one trust query at start and one heavy step";
}

TEST_F(AppStoreTest, RefreshNowRefusesDuringAPassAndShowsFailureAndRetry)
{
    account("alice");
    auto& store = start();
    QCoro::waitFor(store.reloadCache());
    emulator.queueFault("profile", test::GoogleEmulator::Fault::httpStatus(500).after(3s));
    auto pass = store.syncDueAccounts(false, true);
    ASSERT_TRUE(store.isSyncing());
    const auto before = store.suggestionRefreshState();
    QCoro::waitFor(store.refreshNow());
    EXPECT_EQ(store.statusMessage(), "Ready");
    EXPECT_EQ(store.suggestionRefreshState(), before);
    QCoro::waitFor(pass);

    emulator.queueFault("profile", test::GoogleEmulator::Fault::httpStatus(500));
    QCoro::waitFor(store.refreshNow());
    auto state = store.suggestionRefreshState();
    EXPECT_FALSE(state.isRefreshing);
    EXPECT_EQ(state.errorMessage, store.statusMessage().toStdString());
    EXPECT_EQ(state.failedAccountIDs, std::set<std::string>{"alice"});

    QCoro::waitFor(store.refreshNow());
    state = store.suggestionRefreshState();
    EXPECT_EQ(state.errorMessage, std::nullopt);
    EXPECT_TRUE(state.failedAccountIDs.empty());
    EXPECT_EQ(store.statusMessage(), "Gmail refreshed");

    QCoro::waitFor(store.setEnabled(false, store.accounts().at(0)));
    QCoro::waitFor(store.refreshNow());
    EXPECT_EQ(store.suggestionRefreshState().errorMessage, "No Gmail account is ready to refresh");
    EXPECT_EQ(store.statusMessage(), "Refreshing Gmail…");
}

TEST_F(AppStoreTest, ReconnectingKeepsTheHistoryPositionAndEnablesTheAccount)
{
    emulator.setOAuthAccount("alice@example.com",
                             {.sub = "alice", .email = "alice@example.com", .emailVerified = true});
    auto& store = start();
    QCoro::waitFor(store.connectGmail());
    ASSERT_EQ(store.statusMessage(), "Connected alice@example.com");
    const auto connected = seed.accounts().at(0);
    QCoro::waitFor(store.setEnabled(false, connected));

    emulator.resetCounters();
    QCoro::waitFor(store.connectGmail());
    EXPECT_EQ(store.statusMessage(), "Connected alice@example.com");
    EXPECT_FALSE(store.isConnecting());
    EXPECT_EQ(emulator.counters().requestsTo("/gmail/v1/users/me/history"), 1u)
        << "synced on from its position";
    EXPECT_EQ(emulator.counters().requestsTo("/gmail/v1/users/me/profile"), 0u);
    EXPECT_TRUE(store.accounts().at(0).isEnabled);
    EXPECT_EQ(store.accounts().at(0).lastHistoryID, connected.lastHistoryID);
}

TEST_F(AppStoreTest, QuittingWhileAConnectionWaitsEndsTheWaitAndSavesNothing)
{
    emulator.configureOAuth({.consent = "ask"}); // the browser shows the page and nobody answers
    auto connecting = start().connectGmail();
    ASSERT_TRUE(waitUntil([&] { return !emulator.oauthRequests().empty(); }));
    app.reset();
    EXPECT_TRUE(connecting.isReady());
    EXPECT_TRUE(seed.accounts().empty());
}

TEST_F(AppStoreTest, DisconnectingDuringASyncOfTheAccountLeavesNothingBehind)
{
    account("alice");
    auto& store = start();
    QCoro::waitFor(store.reloadCache());
    emulator.addMessage({.from = "Acme <no-reply@acme.example>", .plain = "Your Acme code is 481020"});
    emulator.queueFault("profile", test::GoogleEmulator::Fault::delayed(1s));
    auto pass = store.syncDueAccounts(false, true);
    ASSERT_TRUE(waitUntil([&] { return emulator.counters().requestsTo("/gmail/v1/users/me/profile") == 1; }));
    QCoro::waitFor(store.disconnect(store.accounts().at(0)));
    QCoro::waitFor(pass);
    EXPECT_EQ(store.statusMessage(), "Disconnected alice@example.com");
    EXPECT_TRUE(seed.accounts().empty() && seed.recentCodes(20).empty() && store.codes().empty());
}

TEST_F(AppStoreTest, ADatabaseLockedAtLaunchIsOpenedOnceTheOtherProgramLetsGo)
{
    account("alice");
    emulator.addMessage({.from = "Acme <no-reply@acme.example>", .plain = "Your Acme code is 481020"});
    // Another program in the middle of a write as the application starts.
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open((folder.path() / "larkpin.sqlite").c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    auto& store = start();
    EXPECT_EQ(store.statusMessage(), "Local database error: database is locked");
    store.start();
    EXPECT_TRUE(store.accounts().empty());
    EXPECT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(other);
    ASSERT_TRUE(waitUntil([&] { return !store.codes().empty(); }));
    EXPECT_EQ(valuesOf(store.codes()), "481020 ");
    EXPECT_EQ(store.accounts().size(), 1u);
}

TEST_F(AppStoreTest, TheNextSyncTakesOverClaimsThatAKilledRunOrAFailedReleaseLeftPending)
{
    const auto execute = [this](const char* statement) {
        sqlite3* database = nullptr;
        sqlite3_open((folder.path() / "larkpin.sqlite").c_str(), &database);
        ASSERT_EQ(sqlite3_exec(database, statement, nullptr, nullptr, nullptr), SQLITE_OK) << statement;
        sqlite3_close(database);
    };
    QCoro::waitFor(start().sync(account("alice"), 60s)); // the history position
    for (const std::string code : {"520117", "520118"}) {
        const auto id = emulator.addMessage(
            {.from = "Acme <no-reply@acme.example>", .plain = "Your Acme code is " + code});
        if (code == "520117") { // the run is killed while it fetches the message
            ASSERT_TRUE(seed.claim(id, "alice"));
            app.reset();
            QCoro::waitFor(start().reloadCache());
        } else { // the fetch fails, and so does the release (the tool holds the file)
            emulator.queueFault("messages/" + id, test::GoogleEmulator::Fault::httpStatus(500));
            execute("CREATE TRIGGER busy BEFORE DELETE ON processed_messages BEGIN SELECT RAISE(ABORT, "
                    "'busy'); END");
            ASSERT_TRUE(QCoro::waitFor(app->sync(app->accounts().at(0), 60s)).errorMessage);
            execute("DROP TRIGGER busy");
        }
        EXPECT_EQ(QCoro::waitFor(app->sync(app->accounts().at(0), 60s)).newCodes, 1) << code;
        EXPECT_EQ(seed.recentCodes(1).at(0).value, code);
    }
}

TEST_F(AppStoreTest, SuggestionsOfferThreeCodesAndOnlyACompletedFillOrCopyMarksThemUsed)
{
    std::vector<OTPCode> codes;
    for (int i = 0; i < 5; ++i)
        codes.push_back(code("10000" + std::to_string(i), 50 - i));
    auto& store = start();
    QCoro::waitFor(store.reloadCache());
    desktop->focused = true;
    ASSERT_TRUE(store.updateSuggestion());
    ASSERT_EQ(valuesOf(panel->shown), "100004 100003 100002 ");

    desktop->fillFails = true;
    panel->fill(codes[4]);
    EXPECT_EQ(store.statusMessage(), "The focused field changed.");
    QCoro::waitFor(store.reloadCache());
    store.updateSuggestion();
    EXPECT_EQ(valuesOf(panel->shown), "100004 100003 100002 ") << "still unused and offered";

    desktop->fillFails = false;
    panel->fill(codes[4]);
    ASSERT_TRUE(waitUntil([&] { return store.statusMessage() == "Filled Acme code"; }));
    QCoro::waitFor(store.copy(codes[3]));
    EXPECT_EQ(desktop->clipboard, codes[3].value);
    EXPECT_EQ(store.statusMessage(), "Copied Acme code");
    EXPECT_EQ(valuesOf(store.activeCodes()), "100002 100001 100000 ");
    EXPECT_EQ(store.usedCodes().size(), 2u);
}

TEST_F(AppStoreTest, ACodeExpiringWhileCachedLeavesActiveCodesInPlace)
{
    code("111111", 10, 0.3);
    code("222222", 20);
    auto& store = start();
    QCoro::waitFor(store.reloadCache());
    ASSERT_EQ(store.activeCodesModel()->rowCount(), 2);
    QObject context;
    const auto changed = countOf(context, &store, &AppStore::activeCodesChanged);
    const auto removed = countOf(context, store.activeCodesModel(), &QAbstractItemModel::rowsRemoved);
    const auto reset = countOf(context, store.activeCodesModel(), &QAbstractItemModel::modelReset);
    clock->advance(0.3); // expiring exactly now counts as expired
    ASSERT_TRUE(waitUntil([&] { return *changed == 1; }));
    EXPECT_EQ(store.activeCodesModel()->rows().at(0).value, "222222");
    EXPECT_EQ(std::pair(*removed, *reset), std::pair(1, 0)) << "a row removed, no reset";
    EXPECT_TRUE(store.recentCodes().size() == 1 && store.codes().size() == 2);
}

TEST_F(AppStoreTest, AnAssignmentThatChangesNothingSignalsNothing)
{
    account("alice");
    code("333333", 5);
    auto& store = start();
    QCoro::waitFor(store.reloadCache());
    QObject context;
    const auto monitoring = countOf(context, &store, &AppStore::isMonitoringChanged);
    const auto others = countOf(context, &store, &AppStore::accountsChanged);
    for (const auto signal :
         {&AppStore::codesChanged, &AppStore::syncSummaryChanged, &AppStore::activeCodesChanged})
        QObject::connect(&store, signal, &context, [others] { ++*others; });
    QObject::connect(store.codesModel(), &QAbstractItemModel::dataChanged, &context, [others] { ++*others; });
    store.setMonitoring(true);
    QCoro::waitFor(store.reloadCache());
    EXPECT_EQ(*monitoring + *others, 0);
    store.setMonitoring(false);
    store.setMonitoring(false);
    EXPECT_EQ(*monitoring, 1);
    EXPECT_FALSE(AppStore(AppStore::Services{}).isMonitoring()) << "persisted";
}

} // namespace
} // namespace larkpin

int main(int argc, char** argv)
{
    // Settings and desktop entries of this process alone, set before Qt and GIO first read them.
    const larkpin::test::TemporaryFolder home;
    ::setenv("XDG_CONFIG_HOME", (home.path() / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home.path() / "data").c_str(), 1);
    std::filesystem::create_directories(home.path() / "data" / "applications");
    std::ofstream(home.path() / "data" / "applications" / "larkpin-test-browser.desktop")
        << "[Desktop Entry]\nType=Application\nName=Browser\nExec=" << LARKPIN_TEST_BROWSER_PATH
        << " --mode=follow %u\nMimeType=x-scheme-handler/http;\n";
    QCoreApplication application(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
