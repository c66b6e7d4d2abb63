#include "core/services/LocalStore.h"
#include "core/support/Sha256.h"

#include "support/ManualClock.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

namespace larkpin {
namespace {

using test::ManualClock;
using test::TemporaryFolder;
using Rows = std::vector<std::vector<std::string>>;

// Far enough ahead that reopening the store (which purges by the wall clock) keeps these codes.
constexpr double T0 = 4'000'000'000;
TimePoint at(double offset) { return timePointFromSecondsSince1970(T0 + offset); }
std::string seconds(double offset) { return std::to_string(T0 + offset); }

constexpr double thirtyDays = 2'592'000;

/// A second connection to the same file, the way another program (or an older Larkpin) sees it.
class RawDatabase {
public:
    explicit RawDatabase(const std::filesystem::path& path)
    {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
            ADD_FAILURE() << "cannot open " << path << ": " << sqlite3_errmsg(db_);
    }
    ~RawDatabase() { sqlite3_close_v2(db_); }

    void exec(const std::string& sql)
    {
        char* error = nullptr;
        if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error) != SQLITE_OK)
            ADD_FAILURE() << sql << ": " << (error != nullptr ? error : "?");
        sqlite3_free(error);
    }

    /// Every column as text, NULL as "NULL".
    Rows rows(const std::string& sql)
    {
        Rows result;
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
        while (statement != nullptr && sqlite3_step(statement) == SQLITE_ROW) {
            auto& row = result.emplace_back();
            for (int column = 0; column < sqlite3_column_count(statement); ++column) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
                row.emplace_back(text != nullptr ? text : "NULL");
            }
        }
        sqlite3_finalize(statement);
        return result;
    }

private:
    sqlite3* db_ = nullptr;
};

std::string readFile(const std::filesystem::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
}

unsigned modeOf(const std::filesystem::path& path)
{
    struct stat info{};
    return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

/// The store's view of a saved code: the message id comes back as its fingerprint.
OTPCode stored(OTPCode code)
{
    code.messageID = Sha256::hex(code.messageID);
    return code;
}

std::vector<std::string> valuesOf(const std::vector<OTPCode>& codes)
{
    std::vector<std::string> values;
    for (const auto& code : codes)
        values.push_back(code.value);
    return values;
}
using Values = std::vector<std::string>;

/// The description of the StoreError the call threw: "Local database error: …" for a failed
/// statement, "Could not open local database: …" for a failed open.
template <typename Call> std::string storeErrorOf(Call call)
{
    try {
        call();
        return "(no error)";
    } catch (const LocalStore::StoreError& error) {
        return error.what();
    }
}

class LocalStoreTest : public ::testing::Test {
protected:
    std::filesystem::path databasePath() const { return folder.path() / "Larkpin" / "larkpin.sqlite"; }
    std::unique_ptr<LocalStore> openStore() { return std::make_unique<LocalStore>(databasePath(), clock); }

    static OTPCode code(std::string value, std::string messageID, double receivedOffset, double expiresOffset,
                        std::string email = "me@example.com", std::optional<double> usedOffset = std::nullopt)
    {
        return OTPCode{Uuid::random(),       std::move(value),      "Issuer " + messageID, std::move(email),
                       std::move(messageID), at(receivedOffset),    at(expiresOffset),
                       usedOffset ? std::optional(at(*usedOffset)) : std::nullopt};
    }

    /// Runs the statements through another connection before the store first opens the file.
    void seed(std::initializer_list<std::string> statements)
    {
        std::filesystem::create_directories(databasePath().parent_path());
        RawDatabase old(databasePath());
        for (const auto& sql : statements)
            old.exec(sql);
    }

    TemporaryFolder folder;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(at(0));
};

// --- Opening: folder, file, schema, migrations, purge, and the ways it fails

TEST_F(LocalStoreTest, freshLocationGetsPrivateFoldersFileAndEveryTableAndReopeningKeepsTheData)
{
    const auto existing = folder.path() / "a";
    std::filesystem::create_directory(existing);
    ASSERT_EQ(::chmod(existing.c_str(), 0755), 0);
    const auto path = existing / "b" / "Larkpin" / "larkpin.sqlite";
    const GmailAccount account{"1", "me@example.com", "777", at(-5), true};
    const auto saved = code("482913", "m1", 0, 600, "me@example.com", 30);
    {
        LocalStore store(path, clock);
        store.upsert(account);
        store.save(saved); // leaves -wal and -shm behind while the store is open
        ASSERT_TRUE(store.claim("m1", "1"));

        EXPECT_EQ(modeOf(existing), 0755u) << "an existing folder keeps its mode";
        for (const auto& made : {existing / "b", path.parent_path()})
            EXPECT_EQ(modeOf(made), 0700u) << made;
        for (const auto* suffix : {"", "-wal", "-shm"})
            EXPECT_EQ(modeOf(path.string() + suffix), 0600u) << suffix;
    }
    {
        RawDatabase raw(path);
        EXPECT_EQ(raw.rows("SELECT type, name FROM sqlite_master WHERE name NOT LIKE 'sqlite_%' ORDER BY name"),
                  (Rows{{"table", "accounts"}, {"table", "codes"}, {"index", "codes_expiry"},
                        {"table", "processed_messages"}}));
        EXPECT_EQ(raw.rows("PRAGMA journal_mode"), Rows{{"wal"}});
    }
    LocalStore store(path, clock);
    EXPECT_EQ(store.accounts(), std::vector{account});
    EXPECT_EQ(store.recentCodes(10), std::vector{stored(saved)});
    EXPECT_FALSE(store.claim("m1", "1"));
}

TEST_F(LocalStoreTest, anOldDatabaseGainsTheClaimStatusAsProcessedAndTheUsedTimeAsUnused)
{
    // One claim just made, one long past the staleness limit: neither may be taken over.
    const auto id = Uuid::random();
    seed({"CREATE TABLE processed_messages (account_id TEXT NOT NULL, message_id TEXT NOT NULL, "
          "claimed_at REAL NOT NULL, PRIMARY KEY (account_id, message_id))",
          "INSERT INTO processed_messages VALUES ('1', '" + Sha256::hex("recent") + "', " + seconds(-10) + "), ('1', '"
              + Sha256::hex("old") + "', " + seconds(-3600) + ")",
          "CREATE TABLE codes (id TEXT PRIMARY KEY, value TEXT NOT NULL, issuer TEXT NOT NULL, "
          "account_email TEXT NOT NULL, message_id TEXT NOT NULL, received_at REAL NOT NULL, "
          "expires_at REAL NOT NULL, UNIQUE(account_email, message_id))",
          "INSERT INTO codes VALUES ('" + id.toString() + "', '123456', 'Acme', 'me@example.com', 'fp', " + seconds(0)
              + ", " + seconds(600) + ")"});
    auto store = openStore();
    EXPECT_FALSE(store->claim("recent", "1"));
    store->release("old", "1");
    EXPECT_FALSE(store->claim("old", "1"));
    EXPECT_TRUE(store->claim("new", "1"));
    EXPECT_EQ(RawDatabase(databasePath()).rows("SELECT status, count(*) FROM processed_messages GROUP BY status"),
              (Rows{{"pending", "1"}, {"processed", "2"}}));

    EXPECT_EQ(store->activeCodes(at(0), 10),
              (std::vector<OTPCode>{{id, "123456", "Acme", "me@example.com", "fp", at(0), at(600), std::nullopt}}));
    store->markUsed(id, at(5));
    EXPECT_EQ(store->recentCodes(10).at(0).usedAt, at(5));
}

/// Holds SQLite's own clock ('now') at one instant for every connection opened while it lives: the
/// default file system is wrapped with a different time source.
class FixedSQLiteClock {
public:
    explicit FixedSQLiteClock(double secondsSince1970)
        : vfs_(*sqlite3_vfs_find(nullptr))
        , julianMilliseconds_(static_cast<sqlite3_int64>(secondsSince1970 * 1000) + 210'866'760'000'000)
    {
        vfs_.zName = "larkpin-fixed-clock";
        vfs_.xCurrentTimeInt64 = [](sqlite3_vfs* vfs, sqlite3_int64* now) {
            *now = reinterpret_cast<FixedSQLiteClock*>(vfs)->julianMilliseconds_;
            return SQLITE_OK;
        };
        sqlite3_vfs_register(&vfs_, 1);
    }
    ~FixedSQLiteClock() { sqlite3_vfs_unregister(&vfs_); }

private:
    sqlite3_vfs vfs_; // first, so that SQLite's pointer to it is a pointer to the whole clock
    sqlite3_int64 julianMilliseconds_;
};

TEST_F(LocalStoreTest, openingPurgesCodesExpiringUpToThePresentSecond)
{
    {
        auto store = openStore();
        store->save(code("before", "m1", -60, -0.5));
        store->save(code("atNow", "m2", -60, 0));
        store->save(code("usedAtNow", "m3", -60, 0, "me@example.com", -30));
        store->save(code("justAfter", "m4", -60, 0.5));
    }
    const FixedSQLiteClock sqliteNow(T0 + 0.75); // the purge compares whole seconds
    EXPECT_EQ(valuesOf(openStore()->recentCodes(10)), Values{"justAfter"});
}

TEST_F(LocalStoreTest, fileThatIsNotADatabaseOrADirectoryFailsAndStaysUntouched)
{
    std::filesystem::create_directories(databasePath().parent_path());
    for (const auto& bytes : {std::string("This is a shopping list, not a database.\nmilk\neggs\n"),
                              std::string(8192, '\xA5')}) {
        std::ofstream(databasePath(), std::ios::binary | std::ios::trunc) << bytes;
        EXPECT_EQ(storeErrorOf([&] { openStore(); }), "Local database error: file is not a database");
        EXPECT_EQ(readFile(databasePath()), bytes);
    }

    std::filesystem::remove(databasePath());
    std::filesystem::create_directory(databasePath());
    const auto opened = storeErrorOf([&] { openStore(); });
    EXPECT_TRUE(opened.starts_with("Could not open local database: ") && opened.size() > 31) << opened;
    EXPECT_TRUE(std::filesystem::is_empty(databasePath()));
}

TEST_F(LocalStoreTest, aFolderThatCannotBeCreatedIsAFileSystemError)
{
    const auto blocker = folder.path() / "data";
    std::ofstream(blocker) << "not a folder";
    try {
        LocalStore store(blocker / "Larkpin" / "larkpin.sqlite", clock);
        ADD_FAILURE() << "opened";
    } catch (const std::system_error& error) { // not a StoreError
        EXPECT_EQ(error.code(), std::errc::not_a_directory);
    }
    EXPECT_EQ(readFile(blocker), "not a folder");
}

TEST(LocalStoreDefaultPath, usesAnAbsoluteXdgDataHomeAndOtherwiseAnAbsoluteHomeFolder)
{
    const std::tuple<const char*, const char*, const char*> cases[]{
        {"/data/me/", "/home/me", "/data/me/Larkpin/larkpin.sqlite"},
        {nullptr, "/home/me", "/home/me/.local/share/Larkpin/larkpin.sqlite"},
        {"", "/home/me", "/home/me/.local/share/Larkpin/larkpin.sqlite"},
        {"relative/data", "/home/me", "/home/me/.local/share/Larkpin/larkpin.sqlite"},
    };
    for (const auto& [xdg, home, expected] : cases)
        EXPECT_EQ(LocalStore::defaultPath(xdg, home).lexically_normal(), std::filesystem::path(expected))
            << (xdg != nullptr ? xdg : "(unset)");
    // Never a path relative to wherever the program happens to be started.
    for (const char* home : {static_cast<const char*>(nullptr), "", "relative/home"}) {
        const auto path = LocalStore::defaultPath(nullptr, home);
        EXPECT_TRUE(path.is_absolute() && path.string().ends_with("/.local/share/Larkpin/larkpin.sqlite")) << path;
    }
}

// --- Accounts and rows written by other programs

TEST_F(LocalStoreTest, upsertInsertsThenUpdatesByIdAndAccountsAreOrderedByEmail)
{
    auto store = openStore();
    const GmailAccount bob{"2", "bob@example.com", std::nullopt, std::nullopt, true};
    const GmailAccount alice{"1", "alice@example.com", "1200", at(-60), true};
    const GmailAccount carol{"3", "carol@example.com", std::nullopt, std::nullopt, false};
    for (const auto& account : {bob, carol, alice})
        store->upsert(account);
    EXPECT_EQ(store->accounts(), (std::vector{alice, bob, carol}));

    // Same id: every column follows, absent values become NULL again, and the order follows the email.
    const GmailAccount renamed{"1", "zoe@example.com", std::nullopt, std::nullopt, false};
    store->upsert(renamed);
    EXPECT_EQ(store->accounts(), (std::vector{bob, carol, renamed}));

    store->updateSync("2", "4242", at(12.5));
    store->updateSync("unknown", "1", at(13));
    EXPECT_EQ(store->accounts().at(0), (GmailAccount{"2", "bob@example.com", "4242", at(12.5), true}));

    EXPECT_EQ(storeErrorOf([&] { store->upsert({"4", "bob@example.com", std::nullopt, std::nullopt, true}); }),
              "Local database error: UNIQUE constraint failed: accounts.email");
    EXPECT_EQ(store->accounts().size(), 3u);
}

TEST_F(LocalStoreTest, rowsWrittenByOtherProgramsAreReadLeniently)
{
    seed({"CREATE TABLE accounts (id TEXT, email TEXT, history_id TEXT, last_sync_at REAL, enabled INTEGER)",
          "INSERT INTO accounts VALUES (NULL, NULL, NULL, NULL, 2), ('x', 'x@example.com', '', 0, 1), "
          "('y', 'y@example.com', '9', 1.5, -1)",
          "CREATE TABLE codes (id TEXT, value TEXT, issuer TEXT, account_email TEXT, message_id TEXT, "
          "received_at REAL, expires_at REAL, used_at REAL)",
          "INSERT INTO codes VALUES (NULL, NULL, NULL, NULL, NULL, " + seconds(0) + ", " + seconds(600) + ", NULL), "
          "('legacy-7', '765432', 'Acme', 'me@example.com', 'fp', " + seconds(1) + ", " + seconds(600) + ", NULL)"});
    auto store = openStore();
    EXPECT_EQ(store->accounts(), (std::vector<GmailAccount>{
                                     {"", "", std::nullopt, std::nullopt, false},
                                     {"x", "x@example.com", "", timePointFromSecondsSince1970(0), true},
                                     {"y", "y@example.com", "9", timePointFromSecondsSince1970(1.5), false},
                                 }));

    // An id that is not a UUID is read as a fresh one each time, which therefore names no row.
    const auto codes = store->activeCodes(at(0), 10);
    ASSERT_EQ(codes.size(), 2u);
    EXPECT_EQ(codes[1], (OTPCode{codes[1].id, "", "", "", "", at(0), at(600), std::nullopt}));
    EXPECT_EQ(codes[0].value, "765432");
    EXPECT_TRUE(codes[0].id != Uuid() && codes[1].id != Uuid());
    EXPECT_NE(store->recentCodes(10).at(0).id, codes[0].id);
    store->markUsed(codes[0].id, at(1));
    EXPECT_EQ(RawDatabase(databasePath()).rows("SELECT id, used_at FROM codes WHERE value = '765432'"),
              (Rows{{"legacy-7", "NULL"}}));
}

// --- Codes

TEST_F(LocalStoreTest, savingAgainForTheSameMessageKeepsTheFirstIdAndUsedState)
{
    auto store = openStore();
    const auto first = code("111111", "m1", 0, 600);
    store->save(first);
    store->markUsed(first.id, at(10));
    auto second = code("222222", "m1", 5, 900);
    second.issuer = "Renamed";
    store->save(second);

    // A replacement carrying a used time does not make an unused code used either.
    const auto third = code("333333", "m2", 0, 600);
    store->save(third);
    store->save(code("444444", "m2", 1, 700, "me@example.com", 2));

    // The same message in another mailbox is another code.
    const auto elsewhere = code("555555", "m1", 3, 600, "other@example.com");
    store->save(elsewhere);

    const auto replaced = [](const OTPCode& kept, OTPCode with) {
        with.id = kept.id;
        with.usedAt = kept.usedAt;
        return stored(with);
    };
    auto firstUsed = first;
    firstUsed.usedAt = at(10);
    EXPECT_EQ(store->recentCodes(10), (std::vector{replaced(firstUsed, second), stored(elsewhere),
                                                   replaced(third, code("444444", "m2", 1, 700))}));
    // Stored under the id's canonical text and the message id's fingerprint.
    EXPECT_EQ(RawDatabase(databasePath()).rows("SELECT id, message_id FROM codes WHERE account_email = 'other@example.com'"),
              (Rows{{elsewhere.id.toString(), Sha256::hex("m1")}}));
}

TEST_F(LocalStoreTest, activeCodesAreUnusedUnexpiredAndNewestFirstRecentCodesAreAllAndMarkingTogglesOne)
{
    auto store = openStore();
    for (const auto& [value, received] : std::vector<std::pair<std::string, double>>{
             {"c30", 30}, {"c10", 10}, {"c50", 50}, {"c20", 20}, {"c40", 40}})
        store->save(code(value, value, received, 1000));
    // Newer than all of them but unusable: one used, one expiring exactly at the given time.
    store->save(code("used", "u", 60, 1000, "me@example.com", 61));
    store->save(code("expiresNow", "e", 70, 100));

    EXPECT_EQ(valuesOf(store->activeCodes(at(100), 3)), (Values{"c50", "c40", "c30"}));
    EXPECT_EQ(valuesOf(store->activeCodes(at(100), 1)), Values{"c50"});
    EXPECT_EQ(valuesOf(store->activeCodes(at(99.999), 1)), Values{"expiresNow"});
    EXPECT_EQ(valuesOf(store->activeCodes(at(1000), 10)), Values{});
    EXPECT_EQ(valuesOf(store->recentCodes(3)), (Values{"expiresNow", "used", "c50"}));
    EXPECT_EQ(store->recentCodes(100).size(), 7u);

    // Marking touches the one code named, and an unknown id none.
    const auto c50 = store->recentCodes(3).at(2);
    store->markUsed(c50.id, at(42.5));
    store->markUsed(Uuid::random(), at(50));
    EXPECT_EQ(valuesOf(store->activeCodes(at(100), 1)), Values{"c40"});
    EXPECT_EQ(store->recentCodes(3).at(2).usedAt, at(42.5));
    store->markUnused(c50.id);
    store->markUnused(Uuid::random());
    EXPECT_EQ(store->recentCodes(3).at(2), c50);
    EXPECT_EQ(store->recentCodes(3).at(1).usedAt, at(61));
}

// --- Claims and pruning

TEST_F(LocalStoreTest, claimIsExclusiveUntilAPendingClaimIsOlderThanFiveMinutesOrReleased)
{
    auto store = openStore();
    EXPECT_TRUE(store->claim("m1", "1"));
    EXPECT_FALSE(store->claim("m1", "1"));
    EXPECT_TRUE(store->claim("m1", "2")) << "claims are per account";

    clock->advance(300);
    EXPECT_FALSE(store->claim("m1", "1")) << "exactly five minutes is not stale yet";
    clock->advance(0.5);
    EXPECT_TRUE(store->claim("m1", "1")) << "a stale pending claim is taken over";

    // The takeover renewed the claim time.
    clock->advance(300);
    EXPECT_FALSE(store->claim("m1", "1"));
    clock->advance(1);
    EXPECT_TRUE(store->claim("m1", "1"));

    // Release frees a pending claim at once, but never undoes a completion.
    store->release("m1", "1");
    EXPECT_TRUE(store->claim("m1", "1"));
    store->complete("m1", "1");
    store->release("m1", "1");
    clock->advance(thirtyDays - 1);
    EXPECT_FALSE(store->claim("m1", "1"));

    // Unknown messages are completed or released without complaint, and without creating rows.
    store->complete("unknown", "1");
    store->release("unknown", "1");
    EXPECT_TRUE(store->claim("unknown", "1"));
}

TEST_F(LocalStoreTest, pruneDropsCodesExpiredBeforeTheGivenTimeAndClaimsOlderThanThirtyDays)
{
    auto store = openStore();
    ASSERT_TRUE(store->claim("processed", "1"));
    store->complete("processed", "1");
    ASSERT_TRUE(store->claim("pending", "1"));
    clock->advance(10);
    ASSERT_TRUE(store->claim("younger", "1"));
    store->complete("younger", "1");
    store->save(code("before", "m1", 0, 99.5));
    store->save(code("atBoundary", "m2", 0, 100));
    store->save(code("after", "m3", 0, 101, "me@example.com", 5));

    clock->set(at(thirtyDays));
    store->prune(at(100));
    EXPECT_EQ(valuesOf(store->recentCodes(10)), (Values{"atBoundary", "after"}));
    EXPECT_FALSE(store->claim("processed", "1")) << "exactly thirty days old is kept";

    clock->advance(0.5);
    store->prune(at(-1'000'000)); // the claims' retention does not depend on the codes' cutoff
    EXPECT_TRUE(store->claim("processed", "1"));
    EXPECT_FALSE(store->claim("younger", "1"));
    EXPECT_EQ(RawDatabase(databasePath()).rows("SELECT claimed_at FROM processed_messages WHERE message_id = '"
                                               + Sha256::hex("pending") + "'"),
              Rows{});
}

// --- Deleting an account

TEST_F(LocalStoreTest, deletingAnAccountRemovesItsCodesByEmailAndItsClaimsByIdOrNothingAtAll)
{
    auto store = openStore();
    store->upsert({"a", "a@example.com", std::nullopt, std::nullopt, true});
    store->upsert({"b", "b@example.com", std::nullopt, std::nullopt, true});
    store->save(code("a1", "m1", 0, 600, "a@example.com"));
    store->save(code("a2", "m2", 1, 600, "a@example.com"));
    store->save(code("b1", "m1", 2, 600, "b@example.com"));
    ASSERT_TRUE(store->claim("m1", "a"));
    ASSERT_TRUE(store->claim("m1", "b"));
    // What another connection sees: only committed rows.
    const auto snapshot = [&] {
        return RawDatabase(databasePath())
            .rows("SELECT 'account', id FROM accounts UNION ALL SELECT 'code', value FROM codes "
                  "UNION ALL SELECT 'claim', account_id FROM processed_messages ORDER BY 1, 2");
    };
    const auto before = snapshot();
    for (const auto* table : {"processed_messages", "codes", "accounts"}) {
        RawDatabase(databasePath())
            .exec(std::string("CREATE TRIGGER refuse BEFORE DELETE ON ") + table
                  + " BEGIN SELECT RAISE(ABORT, 'refused'); END");
        EXPECT_EQ(storeErrorOf([&] { store->deleteAccount("a", "a@example.com"); }), "Local database error: refused")
            << table;
        EXPECT_EQ(snapshot(), before) << table;
        EXPECT_EQ(store->recentCodes(10).size(), 3u) << table;
        RawDatabase(databasePath()).exec("DROP TRIGGER refuse");
    }
    // No transaction was left open: the next deletion goes through.
    store->deleteAccount("a", "a@example.com");
    EXPECT_EQ(snapshot(), (Rows{{"account", "b"}, {"claim", "b"}, {"code", "b1"}}));
    EXPECT_TRUE(store->claim("m1", "a"));
}

TEST_F(LocalStoreTest, aTransactionCommitsItsWorkTogetherOrRollsAllOfItBackAndOtherThreadsWait)
{
    auto store = openStore();
    const auto claims = [&] { return RawDatabase(databasePath()).rows("SELECT count(*) FROM processed_messages"); };

    store->transaction([&] {
        EXPECT_TRUE(store->claim("m1", "a"));
        store->transaction([&] { EXPECT_TRUE(store->claim("m2", "a")); }); // joins the outer one
        EXPECT_EQ(claims(), (Rows{{"0"}})) << "nothing is visible before the commit";
    });
    EXPECT_EQ(claims(), (Rows{{"2"}}));

    // A failure, nested or not, undoes everything; another thread's write waits for the end and
    // is not swept away with it.
    std::thread other;
    EXPECT_THROW(store->transaction([&] {
        store->save(code("111111", "m3", 0, 600));
        store->complete("m1", "a");
        other = std::thread([&] { store->save(code("222222", "m4", 0, 600)); });
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        store->transaction([&] { throw std::runtime_error("stop"); });
    }), std::runtime_error);
    other.join();
    const auto codes = store->recentCodes(10);
    ASSERT_EQ(codes.size(), 1u);
    EXPECT_EQ(codes[0].value, "222222");
    EXPECT_EQ(RawDatabase(databasePath())
                  .rows("SELECT status FROM processed_messages WHERE message_id = '" + Sha256::hex("m1") + "'"),
              (Rows{{"pending"}}));
}

// --- Sharing: another program's write lock, several threads on one store, a damaged file

TEST_F(LocalStoreTest, writesFailAtOnceWhileAnotherProgramHoldsTheWriteLockAndNothingIsLost)
{
    auto store = openStore();
    const auto kept = code("111111", "m1", 0, 600);
    const GmailAccount account{"1", "me@example.com", "10", at(0), true};
    store->save(kept);
    store->upsert(account);
    ASSERT_TRUE(store->claim("m1", "1"));

    const std::vector<std::pair<const char*, std::function<void()>>> writes{
        {"save", [&] { store->save(code("999999", "m1", 1, 600)); }},
        {"claim", [&] { store->claim("m2", "1"); }},
        {"markUsed", [&] { store->markUsed(kept.id, at(1)); }},
        {"prune", [&] { store->prune(at(10'000)); }},
        {"deleteAccount", [&] { store->deleteAccount("1", "me@example.com"); }},
    };
    {
        RawDatabase other(databasePath());
        other.exec("BEGIN IMMEDIATE");
        for (const auto& [name, write] : writes)
            EXPECT_EQ(storeErrorOf(write), "Local database error: database is locked") << name;
        // Reading goes on while the other program writes.
        EXPECT_EQ(store->activeCodes(at(0), 10), std::vector{stored(kept)});
        other.exec("ROLLBACK");
    }
    EXPECT_EQ(store->recentCodes(10), std::vector{stored(kept)});
    EXPECT_EQ(store->accounts(), std::vector{account});
    EXPECT_FALSE(store->claim("m1", "1"));
    EXPECT_TRUE(store->claim("m2", "1"));
}

TEST_F(LocalStoreTest, threadsSharingOneStoreClaimEachMessageExactlyOnce)
{
    auto store = openStore();
    constexpr int messageCount = 200;
    std::vector<std::atomic<int>> claims(messageCount);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&, t] {
            try {
                for (int i = 0; i < messageCount; ++i) {
                    const int message = (i + t * 25) % messageCount; // start at different places
                    const auto id = "message-" + std::to_string(message);
                    if (store->claim(id, "1")) {
                        ++claims[message];
                        store->save(code(std::to_string(message), id, message, 1000));
                        store->complete(id, "1");
                    }
                    store->activeCodes(at(0), 5);
                }
            } catch (...) {
                ++failures;
            }
        });
    for (auto& thread : threads)
        thread.join();

    EXPECT_EQ(failures.load(), 0);
    for (int i = 0; i < messageCount; ++i)
        EXPECT_EQ(claims[i].load(), 1) << "message-" << i;
    EXPECT_EQ(store->recentCodes(1000).size(), static_cast<std::size_t>(messageCount));
}

TEST_F(LocalStoreTest, aReadCutShortByADamagedPageFailsInsteadOfReturningPartOfTheRows)
{
    {
        auto store = openStore();
        for (int i = 0; i < 300; ++i) {
            auto saved = code(std::to_string(100000 + i), "m" + std::to_string(i), i, 3600);
            saved.issuer = std::string(400, 'x'); // spreads the rows over many pages
            store->save(saved);
        }
    }
    Rows page;
    int pageSize = 0;
    {
        RawDatabase raw(databasePath());
        page = raw.rows("SELECT pageno FROM dbstat WHERE name = 'codes' AND pagetype = 'leaf' ORDER BY pageno "
                        "LIMIT 1 OFFSET 10");
        pageSize = std::stoi(raw.rows("PRAGMA page_size").at(0).at(0));
    }
    if (page.empty())
        GTEST_SKIP() << "this SQLite has no dbstat table to find a page of the codes table";
    {
        std::fstream file(databasePath(), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(std::stoll(page[0][0]) - 1) * pageSize);
        file << std::string(static_cast<std::size_t>(pageSize), '\xFF');
    }
    auto store = openStore();
    EXPECT_EQ(storeErrorOf([&] { store->recentCodes(1000); }), "Local database error: database disk image is malformed");
}

} // namespace
} // namespace larkpin
