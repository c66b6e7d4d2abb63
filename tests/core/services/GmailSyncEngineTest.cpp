// The sync engine end to end: a real store file, the real extractor and client, the Google emulator.

#include "core/models/DecodingError.h"
#include "core/services/GmailSyncEngine.h"
#include "support/GoogleEmulator.h"
#include "support/ManualClock.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <csignal>
#include <functional>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

namespace larkpin {
namespace {

using test::GoogleEmulator;
using test::ManualClock;
using Fault = GoogleEmulator::Fault;
using APIError = GmailAPIClient::APIError;

/// Reads one number from the database with a connection of its own, as another program would.
long long countOf(const std::filesystem::path& database, const std::string& sql)
{
    sqlite3* connection = nullptr;
    long long value = -1;
    if (sqlite3_open_v2(database.c_str(), &connection, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(connection, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK
            && sqlite3_step(statement) == SQLITE_ROW)
            value = sqlite3_column_int64(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close_v2(connection);
    return value;
}

/// Runs a statement with a connection of its own, as another program would.
void execute(const std::filesystem::path& database, const std::string& sql)
{
    sqlite3* connection = nullptr;
    ASSERT_EQ(sqlite3_open_v2(database.c_str(), &connection, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    char* error = nullptr;
    EXPECT_EQ(sqlite3_exec(connection, sql.c_str(), nullptr, nullptr, &error), SQLITE_OK) << (error ? error : "");
    sqlite3_free(error);
    sqlite3_close_v2(connection);
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
        return GmailAPIClient(session, emulator.gmailBaseURL(), [] { return std::string("token-1"); });
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
    long long count(const std::string& sql) const { return countOf(databasePath(), sql); }

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
    emulator.addMessage({.from = "Shop <news@shop.example>", .subject = "Your order has shipped",
                         .plain = "Order 1234 is on its way.", .age = 10});

    const auto result = sync();
    EXPECT_EQ(result, (SyncResult{.fetchedMessages = 3, .newCodes = 2,
                                  .historyID = client().profile().historyId, .performedFullSync = true}));
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
    store.save(
        {Uuid::random(), "1", "Old", "me@example.com", "old", now - Seconds(2e5), now - Seconds(86401)});
    store.save(
        {Uuid::random(), "2", "New", "me@example.com", "new", now - Seconds(7200), now - Seconds(3600)});
    clock->advance(60);

    const auto result = syncAndAdvance();
    EXPECT_EQ(result.fetchedMessages, 0);
    EXPECT_EQ(storedAccount().lastSyncAt, clock->now());
    const auto codes = store.recentCodes(10);
    ASSERT_EQ(codes.size(), 1u);
    EXPECT_EQ(codes[0].value, "2");
}

TEST_F(GmailSyncEngineTest, aDeletedMessageIsMarkedHandledAndSkipped)
{
    syncAndAdvance();
    const auto gone = emulator.addMessage(codeMessage("111111"));
    emulator.addMessage(codeMessage("222222", "Slack"));
    emulator.deleteMessage(gone); // history still lists it

    const auto result = syncAndAdvance();
    EXPECT_EQ(result.fetchedMessages, 1);
    EXPECT_EQ(result.newCodes, 1);
    EXPECT_EQ(count("SELECT count(*) FROM processed_messages WHERE status = 'processed'"), 2);
    EXPECT_FALSE(store.claim(gone, account.id));
}

TEST_F(GmailSyncEngineTest, aFailureReleasesEveryClaimItHoldsKeepsThePositionAndIsRetried)
{
    // Four new messages, listed newest first; the second fails. By then the request for the third
    // may be on its way and its claim taken: that claim has to go back as well.
    const auto refuseCode = [this](const std::string& code) {
        execute(databasePath(), "CREATE TRIGGER refuse BEFORE INSERT ON codes WHEN NEW.value = '" + code
                                    + "' BEGIN SELECT RAISE(ABORT, 'refused'); END");
    };
    const auto apiError = [](APIError expected) {
        return [expected](const std::exception& error) {
            const auto* api = dynamic_cast<const APIError*>(&error);
            return api != nullptr && *api == expected;
        };
    };
    struct Case {
        std::string what;
        std::optional<Fault> fault;        ///< on fetching the failing message
        bool refuseSaving = false;         ///< saving its code fails instead
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
        std::vector<std::string> ids;
        std::vector<std::string> codes;
        for (int i = 0; i < 4; ++i) {
            codes.push_back(std::to_string(100000 + 10 * static_cast<int>(k) + i));
            auto message = codeMessage(codes.back(), std::string("Service") + static_cast<char>('A' + i));
            message.age = 50'000.0 - 1'000.0 * static_cast<double>(k) + 10.0 * i; // newer than earlier cases
            ids.push_back(emulator.addMessage(message));
        }
        const std::size_t failing = last ? 3 : 1;
        if (c.fault)
            emulator.queueFault("messages/" + ids[failing], *c.fault);
        if (c.refuseSaving)
            refuseCode(codes[failing]);
        const auto codesBefore = store.recentCodes(1000).size();
        const auto syncedBefore = storedAccount().lastSyncAt;

        try {
            sync();
            ADD_FAILURE() << "the sync should fail";
        } catch (const std::exception& error) {
            EXPECT_TRUE(c.expected(error)) << error.what();
        }
        EXPECT_EQ(storedAccount().lastSyncAt, syncedBefore) << "the position stays";
        EXPECT_EQ(store.recentCodes(1000).size(), codesBefore + failing) << "messages before the failure keep their codes";
        EXPECT_EQ(count("SELECT count(*) FROM processed_messages WHERE status = 'pending'"), 0) << "no claim is left";

        if (c.refuseSaving)
            execute(databasePath(), "DROP TRIGGER refuse");
        const auto result = sync(); // at once: nothing waits for a claim to go stale
        EXPECT_EQ(result.newCodes, static_cast<int>(4 - failing));
        EXPECT_EQ(store.recentCodes(1000).size(), codesBefore + 4);
    }
}

TEST_F(GmailSyncEngineTest, listingFailuresChangeNothing)
{
    emulator.addMessage(codeMessage("111111"));
    const std::vector<std::pair<std::string, Fault>> faults = {
        {"profile", Fault::httpStatus(503)},
        {"messages", Fault::httpStatus(429, {{"Retry-After", "30"}})},
        {"profile", Fault::httpStatus(401)},
    };
    for (const auto& [path, fault] : faults) {
        emulator.queueFault(path, fault);
        EXPECT_THROW(sync(), APIError) << path;
    }
    account.lastHistoryID = "1";
    emulator.queueFault("history", Fault::httpStatus(500));
    EXPECT_THROW(sync(), APIError);
    EXPECT_EQ(count("SELECT count(*) FROM processed_messages"), 0);
    EXPECT_FALSE(storedAccount().lastSyncAt);
}

TEST_F(GmailSyncEngineTest, aFreshPendingClaimIsLeftAloneAndAStaleOneTakenOver)
{
    const auto id = emulator.addMessage(codeMessage("111111"));
    ASSERT_TRUE(store.claim(id, account.id)); // another sync is working on it

    clock->advance(100);
    EXPECT_EQ(sync().fetchedMessages, 0);
    clock->advance(201); // 301 seconds after the claim
    EXPECT_EQ(sync().fetchedMessages, 1);
    EXPECT_EQ(store.recentCodes(10).size(), 1u);
}

TEST_F(GmailSyncEngineTest, aSyncKilledPartWayIsFinishedByTheNextWithEveryCodeStoredOnce)
{
    constexpr int messages = 50;
    for (int i = 0; i < messages; ++i) {
        const auto id = emulator.addMessage(codeMessage(std::to_string(300000 + i), "Service" + std::to_string(i)));
        emulator.queueFault("messages/" + id, Fault::delayed(std::chrono::milliseconds(40)));
    }

    // The child syncs with its own clock (the real one) and its own connection to the same file.
    const std::string child = LARKPIN_SYNC_CHILD_PATH;
    std::vector<std::string> arguments = {child, databasePath().string(), emulator.gmailBaseURL(), "token-1",
                                          account.email, account.id};
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    pid_t pid = 0;
    ASSERT_EQ(posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (count("SELECT count(*) FROM codes") < 10 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the child finished before it could be killed";
    const auto handledByChild = count("SELECT count(*) FROM codes");
    ASSERT_GE(handledByChild, 10);
    ASSERT_LT(handledByChild, messages);

    emulator.clearFaults();
    clock->set(SystemClock().now() + Seconds(301));
    const auto result = syncAndAdvance();
    EXPECT_GE(result.fetchedMessages, messages - handledByChild);
    EXPECT_LE(result.fetchedMessages, messages - handledByChild + 1) << "at most the message in flight is fetched again";
    EXPECT_EQ(count("SELECT count(*) FROM codes"), messages);
    EXPECT_EQ(count("SELECT count(DISTINCT message_id) FROM codes"), messages);
    EXPECT_EQ(count("SELECT count(*) FROM processed_messages WHERE status = 'processed'"), messages);
    EXPECT_EQ(count("SELECT count(*) FROM processed_messages"), messages);
}

} // namespace
} // namespace larkpin
