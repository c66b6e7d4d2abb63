// The sync engine end to end: a real store file, the real extractor and client, the Google emulator.

#include "core/services/GmailSyncEngine.h"
#include "core/models/DecodingError.h"
#include "support/GoogleEmulator.h"
#include "support/ManualClock.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <functional>
#include <thread>

namespace larkpin {
namespace {

using test::GoogleEmulator;
using test::ManualClock;
using Fault = GoogleEmulator::Fault;
using APIError = GmailAPIClient::APIError;

/// Runs SQL with a connection of its own, as another program would; returns the first column of the
/// last row it gave, or -1.
long long sql(const std::filesystem::path& database, const std::string& statement)
{
    sqlite3* connection = nullptr;
    sqlite3_open_v2(database.c_str(), &connection, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_busy_timeout(connection, 10'000);
    long long value = -1;
    const auto row = [](void* out, int, char** columns, char**) {
        return *static_cast<long long*>(out) = std::atoll(columns[0]), 0;
    };
    EXPECT_EQ(sqlite3_exec(connection, statement.c_str(), row, &value, nullptr), SQLITE_OK) << statement;
    sqlite3_close_v2(connection);
    return value;
}

template <typename Error> bool isA(const std::exception& error)
{
    return dynamic_cast<const Error*>(&error);
}

GoogleEmulator::Message codeMessage(const std::string& code, const std::string& service = "GitHub")
{
    return {.from = service + " <noreply@" + service + ".example>",
            .subject = service + " verification code",
            .plain = "Your " + service + " verification code is " + code + ". It expires in 10 minutes.",
            .html = "<p>Your " + service + " verification code is <b>" + code + "</b>.</p>",
            .age = 30};
}

class GmailSyncEngineTest : public ::testing::Test {
protected:
    GmailSyncEngineTest()
    {
        emulator.addMailbox("me@example.com", "token-1");
        store.upsert(account);
    }

    std::filesystem::path databasePath() const { return folder.path() / "larkpin.sqlite"; }

    GmailAPIClient client() const
    {
        return {session, emulator.gmailBaseURL(), [] { return std::string("token-1"); }};
    }

    SyncResult sync() { return engine.sync(account, client()); }

    /// Syncs and carries the account's new position forward, as the application does.
    SyncResult syncAndAdvance()
    {
        const auto result = sync();
        account.lastHistoryID = result.historyID;
        return result;
    }

    GmailAccount storedAccount() const { return store.accounts().at(0); }
    long long count(const std::string& statement) const { return sql(databasePath(), statement); }

    test::TemporaryFolder folder;
    GoogleEmulator emulator{LARKPIN_GOOGLE_EMULATOR_PATH};
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(SystemClock().now());
    LocalStore store{databasePath(), clock};
    GmailSyncEngine engine{store, OTPExtractor(600), clock};
    std::shared_ptr<HTTPSession> session = std::make_shared<HTTPSession>();
    GmailAccount account{.id = "subject-1", .email = "me@example.com", .isEnabled = true};
};

TEST_F(GmailSyncEngineTest, firstSyncReadsTheNewestMessagesAndRecordsThePosition)
{
    emulator.addMessage(codeMessage("482913", "GitHub"));
    emulator.addMessage(codeMessage("771204", "Slack"));
    emulator.addMessage({.from = "Shop <news@shop.example>",
                         .subject = "Your order has shipped",
                         .plain = "Order 1234 is on its way.",
                         .age = 10});

    const auto result = sync();
    EXPECT_EQ(result, (SyncResult{3, 2, client().profile().historyId, true}));
    EXPECT_EQ(storedAccount().lastHistoryID, result.historyID);
    EXPECT_EQ(storedAccount().lastSyncAt, clock->now());
    const auto codes = store.recentCodes(10);
    ASSERT_EQ(codes.size(), 2u);
    EXPECT_EQ(codes[0].accountEmail, "me@example.com");
    EXPECT_EQ(count("SELECT count(*) FROM processed_messages WHERE status = 'processed'"), 3);
}

TEST_F(GmailSyncEngineTest, laterSyncsReadHistoryAndHandleEachMessageOnce)
{
    emulator.addMessage(codeMessage("111111"));
    syncAndAdvance();

    emulator.addMessage(codeMessage("222222", "Slack"));
    emulator.addMessage(codeMessage("333333", "Stripe"));
    auto result = syncAndAdvance();
    EXPECT_EQ(result, (SyncResult{2, 2, client().profile().historyId, false}));

    // Expired history falls back to a bounded resync without an error: it lists everything again
    // and fetches only what is new.
    emulator.addMessage(codeMessage("444444", "Figma"));
    emulator.expireHistory();
    result = syncAndAdvance();
    EXPECT_EQ(result, (SyncResult{1, 1, client().profile().historyId, true}));
    EXPECT_EQ(store.recentCodes(10).size(), 4u);
}

TEST_F(GmailSyncEngineTest, quietMailboxStillRecordsTheSyncAndPrunes)
{
    syncAndAdvance();
    const auto now = clock->now();
    store.save({Uuid::random(), "1", "Old", account.email, "old", now - Seconds(2e5), now - Seconds(86401),
                std::nullopt});
    store.save({Uuid::random(), "2", "New", account.email, "new", now - Seconds(7200), now - Seconds(3600),
                std::nullopt});
    clock->advance(60);
    EXPECT_EQ(syncAndAdvance().fetchedMessages, 0);
    EXPECT_EQ(storedAccount().lastSyncAt, clock->now());
    ASSERT_EQ(store.recentCodes(10).size(), 1u);
    EXPECT_EQ(store.recentCodes(10)[0].value, "2") << "a code that expired over a day ago is pruned";
}

TEST_F(GmailSyncEngineTest, aDeletedMessageIsMarkedHandledAndSkipped)
{
    syncAndAdvance();
    const auto gone = emulator.addMessage(codeMessage("111111"));
    emulator.addMessage(codeMessage("222222", "Slack"));
    emulator.deleteMessage(gone); // history still lists it

    const auto result = syncAndAdvance();
    EXPECT_EQ(std::tie(result.fetchedMessages, result.newCodes), std::tuple(1, 1));
    EXPECT_EQ(count("SELECT count(*) FROM processed_messages WHERE status = 'processed'"), 2);
    EXPECT_FALSE(store.claim(gone, account.id));
}

TEST_F(GmailSyncEngineTest, aFailureReleasesEveryClaimItHoldsKeepsThePositionAndIsRetried)
{
    // Four new messages, listed newest first; the second fails. By then the request for the third
    // may be on its way and its claim taken: that claim has to go back as well.
    const auto apiError = [](APIError expected) {
        return [expected](const std::exception& error) {
            const auto* api = dynamic_cast<const APIError*>(&error);
            return api != nullptr && *api == expected;
        };
    };
    struct Case {
        std::string what;
        std::optional<Fault> fault; ///< on fetching the failing message
        bool refuseSaving = false;  ///< saving its code fails instead
        std::function<bool(const std::exception&)> expected;
    };
    const std::vector<Case> cases = {
        {"HTTP 500", Fault::httpStatus(500), false, apiError(APIError::response(500))},
        // The caller learns how long Gmail asked it to wait before the account's next sync.
        {"HTTP 429", Fault::httpStatus(429, {{"Retry-After", "30"}}), false,
         apiError(APIError::rateLimited(30))},
        {"a body that is not JSON", Fault::notJSON(), false, isA<DecodingError>},
        {"a connection dropped mid-body", Fault::dropConnection(), false, isA<HTTPSession::TransportError>},
        {"a code the database refuses", std::nullopt, true, isA<LocalStore::StoreError>},
        {"the last message failing", Fault::httpStatus(503), false, apiError(APIError::response(503))},
    };
    for (std::size_t k = 0; k < cases.size(); ++k) {
        const auto& c = cases[k];
        SCOPED_TRACE(c.what);
        const bool last = c.what == "the last message failing";
        const std::size_t failing = last ? 3 : 1;
        for (std::size_t i = 0; i < 4; ++i) {
            const auto code = std::to_string(100000 + 10 * k + i);
            auto message = codeMessage(code, std::string("Service") + static_cast<char>('A' + i));
            message.age =
                50'000.0 - 1'000.0 * static_cast<double>(k) + 10.0 * static_cast<double>(i); // newest last
            const auto id = emulator.addMessage(message);
            if (i == failing && c.fault)
                emulator.queueFault("messages/" + id, *c.fault);
            if (i == failing && c.refuseSaving)
                count("CREATE TRIGGER refuse BEFORE INSERT ON codes WHEN NEW.value = '" + code +
                      "' BEGIN SELECT RAISE(ABORT, 'refused'); END");
        }
        const auto codesBefore = store.recentCodes(1000).size();
        const auto syncedBefore = storedAccount().lastSyncAt;

        try {
            sync();
            ADD_FAILURE() << "the sync should fail";
        } catch (const std::exception& error) {
            EXPECT_TRUE(c.expected(error)) << error.what();
        }
        EXPECT_EQ(storedAccount().lastSyncAt, syncedBefore) << "the position stays";
        EXPECT_EQ(store.recentCodes(1000).size(), codesBefore + failing)
            << "messages before the failure keep their codes";
        EXPECT_EQ(count("SELECT count(*) FROM processed_messages WHERE status = 'pending'"), 0)
            << "no claim is left";

        count("DROP TRIGGER IF EXISTS refuse");
        const auto result = sync(); // at once: nothing waits for a claim to go stale
        EXPECT_EQ(result.newCodes, static_cast<int>(4 - failing));
        EXPECT_EQ(store.recentCodes(1000).size(), codesBefore + 4);
    }
}

TEST_F(GmailSyncEngineTest, listingFailuresChangeNothing)
{
    emulator.addMessage(codeMessage("111111"));
    for (const auto* path : {"profile", "messages", "history"}) {
        account.lastHistoryID =
            std::string(path) == "history" ? std::optional<std::string>("1") : std::nullopt;
        emulator.queueFault(path, Fault::httpStatus(503));
        EXPECT_THROW(sync(), APIError) << path;
    }
    EXPECT_EQ(count("SELECT count(*) FROM processed_messages"), 0);
    EXPECT_FALSE(storedAccount().lastSyncAt);
}

TEST_F(GmailSyncEngineTest, aSyncKilledPartWayIsFinishedByTheNextWithEveryCodeStoredOnce)
{
    // Gmail lists the newest first, so the last 20 added are fetched first; the fetch after them
    // answers only after a minute, so the child is surely still at work when it is killed.
    constexpr int messages = 50;
    for (int i = 0; i < messages; ++i) {
        const auto id =
            emulator.addMessage(codeMessage(std::to_string(300000 + i), "Service" + std::to_string(i)));
        if (i < messages - 20)
            emulator.queueFault("messages/" + id, Fault::delayed(std::chrono::minutes(1)));
    }

    // The child syncs with its own clock (the real one) and its own connection to the same file.
    test::ChildProcess child({LARKPIN_SYNC_CHILD_PATH, databasePath(), emulator.gmailBaseURL(), "token-1",
                              account.email, account.id});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (count("SELECT count(*) FROM codes") < 10 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    child.signal(SIGKILL);
    ASSERT_EQ(child.wait(), -1) << "the child finished before it could be killed";
    const auto handledByChild = count("SELECT count(*) FROM codes");
    ASSERT_GE(handledByChild, 10);
    ASSERT_LT(handledByChild, messages);

    emulator.clearFaults();
    clock->set(SystemClock().now() + Seconds(301));
    const auto result = syncAndAdvance();
    EXPECT_GE(result.fetchedMessages, messages - handledByChild);
    EXPECT_LE(result.fetchedMessages, messages - handledByChild + 1)
        << "at most the message in flight is fetched again";
    EXPECT_EQ(count("SELECT count(*) FROM codes"), messages);
    EXPECT_EQ(count("SELECT count(DISTINCT message_id) FROM codes"), messages);
    EXPECT_EQ(count("SELECT count(*) FROM processed_messages WHERE status = 'processed'"), messages);
    EXPECT_EQ(count("SELECT count(*) FROM processed_messages"), messages);
}

} // namespace
} // namespace larkpin
