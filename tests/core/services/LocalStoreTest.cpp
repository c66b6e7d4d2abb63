#include "core/services/LocalStore.h"
#include "core/support/Sha256.h"

#include "support/ManualClock.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <ctime>
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
    RawDatabase(const RawDatabase&) = delete;
    RawDatabase& operator=(const RawDatabase&) = delete;

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
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            ADD_FAILURE() << sql << ": " << sqlite3_errmsg(db_);
            return result;
        }
        while (sqlite3_step(statement) == SQLITE_ROW) {
            auto& row = result.emplace_back();
            for (int column = 0; column < sqlite3_column_count(statement); ++column) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
                row.emplace_back(text != nullptr ? text : "NULL");
            }
        }
        sqlite3_finalize(statement);
        return result;
    }

    std::string value(const std::string& sql)
    {
        const auto result = rows(sql);
        return result.empty() || result[0].empty() ? "<no row>" : result[0][0];
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
    if (::stat(path.c_str(), &info) != 0)
        return 0;
    return info.st_mode & 07777;
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

class LocalStoreTest : public ::testing::Test {
protected:
    std::filesystem::path databasePath() const { return folder.path() / "Larkpin" / "larkpin.sqlite"; }
    std::unique_ptr<LocalStore> openStore() { return std::make_unique<LocalStore>(databasePath(), clock); }

    static OTPCode code(std::string value, std::string messageID, double receivedOffset, double expiresOffset,
                        std::string email = "me@example.com", std::optional<double> usedOffset = std::nullopt)
    {
        return OTPCode{Uuid::random(),
                       std::move(value),
                       "Issuer " + messageID,
                       std::move(email),
                       std::move(messageID),
                       at(receivedOffset),
                       at(expiresOffset),
                       usedOffset ? std::optional(at(*usedOffset)) : std::nullopt};
    }

    TemporaryFolder folder;
    std::shared_ptr<ManualClock> clock = std::make_shared<ManualClock>(at(0));
};

// ---------------------------------------------------------------------------------------------
// Opening: folder, file, schema, migrations, purge, and the ways it fails

TEST_F(LocalStoreTest, freshLocationGetsPrivateFoldersFileAndEveryTable)
{
    const auto path = folder.path() / "a" / "b" / "Larkpin" / "larkpin.sqlite";
    {
        LocalStore store(path, clock);
        store.save(code("111111", "m1", 0, 600)); // leaves -wal and -shm behind while the store is open

        for (const auto& made : {folder.path() / "a", folder.path() / "a" / "b", path.parent_path()})
            EXPECT_EQ(modeOf(made), 0700u) << made;
        for (const auto* suffix : {"", "-wal", "-shm"}) {
            const auto file = path.string() + suffix;
            ASSERT_TRUE(std::filesystem::exists(file)) << file;
            EXPECT_EQ(modeOf(file), 0600u) << file;
        }
    }
    RawDatabase raw(path);
    EXPECT_EQ(raw.rows("SELECT type, name FROM sqlite_master WHERE name NOT LIKE 'sqlite_%' ORDER BY name"),
              (Rows{{"table", "accounts"}, {"table", "codes"}, {"index", "codes_expiry"},
                    {"table", "processed_messages"}}));
    EXPECT_EQ(raw.value("PRAGMA journal_mode"), "wal");
    EXPECT_EQ(raw.rows("SELECT name FROM pragma_table_info('processed_messages')"),
              (Rows{{"account_id"}, {"message_id"}, {"claimed_at"}, {"status"}}));
    EXPECT_EQ(raw.rows("SELECT name FROM pragma_table_info('codes')"),
              (Rows{{"id"}, {"value"}, {"issuer"}, {"account_email"}, {"message_id"}, {"received_at"},
                    {"expires_at"}, {"used_at"}}));
}

TEST_F(LocalStoreTest, existingFolderKeepsItsMode)
{
    const auto existing = databasePath().parent_path();
    std::filesystem::create_directory(existing);
    ASSERT_EQ(::chmod(existing.c_str(), 0755), 0);
    openStore();
    EXPECT_EQ(modeOf(existing), 0755u);
    EXPECT_TRUE(std::filesystem::exists(databasePath()));
}

TEST_F(LocalStoreTest, reopeningKeepsAccountsCodesAndClaims)
{
    const GmailAccount account{"1", "me@example.com", "777", at(-5), true};
    const auto saved = code("482913", "m1", 0, 600, "me@example.com", 30);
    {
        auto store = openStore();
        store->upsert(account);
        store->save(saved);
        ASSERT_TRUE(store->claim("m1", "1"));
    }
    auto store = openStore();
    EXPECT_EQ(store->accounts(), std::vector{account});
    EXPECT_EQ(store->recentCodes(10), std::vector{stored(saved)});
    EXPECT_FALSE(store->claim("m1", "1"));
}

TEST_F(LocalStoreTest, claimsFromBeforeTheStatusColumnCountAsProcessed)
{
    std::filesystem::create_directories(databasePath().parent_path());
    {
        RawDatabase old(databasePath());
        old.exec("CREATE TABLE processed_messages (account_id TEXT NOT NULL, message_id TEXT NOT NULL, "
                 "claimed_at REAL NOT NULL, PRIMARY KEY (account_id, message_id))");
        // One claim just made, one long past the staleness limit: neither may be taken over.
        old.exec("INSERT INTO processed_messages VALUES ('1', '" + Sha256::hex("recent") + "', "
                 + std::to_string(T0 - 10) + "), ('1', '" + Sha256::hex("old") + "', " + std::to_string(T0 - 3600)
                 + ")");
    }
    auto store = openStore();
    EXPECT_FALSE(store->claim("recent", "1"));
    EXPECT_FALSE(store->claim("old", "1"));
    store->release("old", "1");
    EXPECT_FALSE(store->claim("old", "1"));
    EXPECT_TRUE(store->claim("new", "1"));

    RawDatabase raw(databasePath());
    EXPECT_EQ(raw.rows("SELECT status, count(*) FROM processed_messages GROUP BY status ORDER BY status"),
              (Rows{{"pending", "1"}, {"processed", "2"}}));
}

TEST_F(LocalStoreTest, codesFromBeforeUsedAtGainTheColumnAndReadAsUnused)
{
    std::filesystem::create_directories(databasePath().parent_path());
    const auto id = Uuid::random();
    {
        RawDatabase old(databasePath());
        old.exec("CREATE TABLE codes (id TEXT PRIMARY KEY, value TEXT NOT NULL, issuer TEXT NOT NULL, "
                 "account_email TEXT NOT NULL, message_id TEXT NOT NULL, received_at REAL NOT NULL, "
                 "expires_at REAL NOT NULL, UNIQUE(account_email, message_id))");
        old.exec("INSERT INTO codes VALUES ('" + id.toString() + "', '123456', 'Acme', 'me@example.com', 'fp', "
                 + std::to_string(T0) + ", " + std::to_string(T0 + 600) + ")");
    }
    auto store = openStore();
    const auto codes = store->activeCodes(at(0), 10);
    ASSERT_EQ(codes.size(), 1u);
    EXPECT_EQ(codes[0], (OTPCode{id, "123456", "Acme", "me@example.com", "fp", at(0), at(600), std::nullopt}));

    store->markUsed(id, at(5));
    EXPECT_TRUE(store->activeCodes(at(0), 10).empty());
    EXPECT_EQ(store->recentCodes(10).at(0).usedAt, at(5));
}

TEST_F(LocalStoreTest, openingPurgesCodesExpiringUpToThePresentSecond)
{
    // The purge compares with SQLite's own clock, whole seconds. Seed relative to the present second
    // and retry in the rare case the second turned over while the store was opening.
    for (int attempt = 0; attempt < 5; ++attempt) {
        const auto path = folder.path() / ("attempt" + std::to_string(attempt)) / "larkpin.sqlite";
        LocalStore(path).save(code("schema", "schema", 0, 600)); // creates the file; the row stays
        const auto now = static_cast<double>(std::time(nullptr));
        {
            RawDatabase raw(path);
            const struct {
                const char* value;
                double expiresAt;
                bool used;
            } seeds[]{{"before", now - 0.5, false},
                      {"atNow", now, false},
                      {"usedAtNow", now, true},
                      {"justAfter", now + 0.5, false}};
            for (const auto& [value, expiresAt, used] : seeds)
                raw.exec("INSERT INTO codes VALUES ('" + Uuid::random().toString() + "', '" + value
                         + "', 'X', 'me@example.com', '" + value + "', " + std::to_string(now - 60) + ", "
                         + std::to_string(expiresAt) + ", " + (used ? std::to_string(now - 30) : "NULL") + ")");
        }
        LocalStore store(path);
        if (static_cast<double>(std::time(nullptr)) != now)
            continue;
        auto values = valuesOf(store.recentCodes(10));
        std::sort(values.begin(), values.end());
        EXPECT_EQ(values, (std::vector<std::string>{"justAfter", "schema"}));
        return;
    }
    FAIL() << "the second turned over during every attempt";
}

struct NotADatabase {
    const char* name;
    std::string bytes;
};

TEST_F(LocalStoreTest, fileThatIsNotADatabaseFailsAndStaysUntouched)
{
    std::string noise(8192, '\0');
    for (std::size_t i = 0; i < noise.size(); ++i)
        noise[i] = static_cast<char>((i * 7919 + 13) % 251);
    const NotADatabase cases[]{
        {"text", "This is a shopping list, not a database.\nmilk\neggs\n"},
        {"long text", std::string(4096, 'x')},
        {"binary", noise},
    };
    std::filesystem::create_directories(databasePath().parent_path());
    for (const auto& [name, bytes] : cases) {
        std::ofstream(databasePath(), std::ios::binary | std::ios::trunc) << bytes;
        try {
            openStore();
            ADD_FAILURE() << name << ": opened";
        } catch (const LocalStore::StoreError& error) {
            EXPECT_STREQ(error.what(), "Local database error: file is not a database") << name;
            EXPECT_EQ(error.kind(), LocalStore::StoreError::Kind::execute) << name;
            EXPECT_EQ(error.message(), "file is not a database") << name;
        }
        EXPECT_EQ(readFile(databasePath()), bytes) << name;
    }
}

TEST_F(LocalStoreTest, directoryAtTheDatabasePathFailsToOpen)
{
    std::filesystem::create_directories(databasePath());
    try {
        openStore();
        FAIL() << "opened a directory";
    } catch (const LocalStore::StoreError& error) {
        EXPECT_EQ(error.kind(), LocalStore::StoreError::Kind::open);
        EXPECT_EQ(std::string(error.what()), "Could not open local database: " + error.message());
        EXPECT_FALSE(error.message().empty());
    }
    EXPECT_TRUE(std::filesystem::is_directory(databasePath()));
    EXPECT_TRUE(std::filesystem::is_empty(databasePath()));
}

TEST_F(LocalStoreTest, folderBehindARegularFileCannotBeCreated)
{
    const auto blocker = folder.path() / "data";
    std::ofstream(blocker) << "not a folder";
    try {
        LocalStore store(blocker / "Larkpin" / "larkpin.sqlite", clock);
        FAIL() << "opened";
    } catch (const LocalStore::StoreError&) {
        FAIL() << "a file-system failure was reported as a database error";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::not_a_directory);
    }
    EXPECT_EQ(readFile(blocker), "not a folder");
}

TEST_F(LocalStoreTest, folderUnderAReadOnlyParentCannotBeCreated)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not stop root from creating folders";
    const auto parent = folder.path() / "readonly";
    std::filesystem::create_directory(parent);
    ASSERT_EQ(::chmod(parent.c_str(), 0500), 0);
    try {
        LocalStore store(parent / "Larkpin" / "larkpin.sqlite", clock);
        FAIL() << "opened";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::permission_denied);
    }
}

struct DefaultLocation {
    const char* xdgDataHome;
    const char* home;
    const char* expected;
};

TEST(LocalStoreDefaultURL, usesAnAbsoluteXdgDataHomeAndOtherwiseTheHomeFolder)
{
    const DefaultLocation cases[]{
        {"/data/me", "/home/me", "/data/me/Larkpin/larkpin.sqlite"},
        {"/data/me/", "/home/me", "/data/me/Larkpin/larkpin.sqlite"},
        {nullptr, "/home/me", "/home/me/.local/share/Larkpin/larkpin.sqlite"},
        {"", "/home/me", "/home/me/.local/share/Larkpin/larkpin.sqlite"},
        {"relative/data", "/home/me", "/home/me/.local/share/Larkpin/larkpin.sqlite"},
        {"~/data", "/home/me", "/home/me/.local/share/Larkpin/larkpin.sqlite"},
    };
    for (const auto& [xdg, home, expected] : cases)
        EXPECT_EQ(LocalStore::defaultURL(xdg, home).lexically_normal(), std::filesystem::path(expected))
            << (xdg != nullptr ? xdg : "(unset)");
}

TEST(LocalStoreDefaultURL, fallsBackToTheAccountsHomeFolderWithoutAUsableHome)
{
    // Never a path relative to wherever the program happens to be started.
    for (const char* home : {static_cast<const char*>(nullptr), "", "relative/home"}) {
        const auto url = LocalStore::defaultURL(nullptr, home);
        EXPECT_TRUE(url.is_absolute()) << url;
        EXPECT_TRUE(url.string().ends_with("/.local/share/Larkpin/larkpin.sqlite")) << url;
    }
}

TEST(LocalStoreDefaultURL, readsTheEnvironment)
{
    const char* savedXdg = std::getenv("XDG_DATA_HOME");
    const std::optional<std::string> saved = savedXdg != nullptr ? std::optional(std::string(savedXdg)) : std::nullopt;
    ::setenv("XDG_DATA_HOME", "/somewhere/data", 1);
    EXPECT_EQ(LocalStore::defaultURL(), std::filesystem::path("/somewhere/data/Larkpin/larkpin.sqlite"));
    if (saved)
        ::setenv("XDG_DATA_HOME", saved->c_str(), 1);
    else
        ::unsetenv("XDG_DATA_HOME");
}

// ---------------------------------------------------------------------------------------------
// Accounts

TEST_F(LocalStoreTest, upsertInsertsThenUpdatesByIdAndAccountsAreOrderedByEmail)
{
    auto store = openStore();
    const GmailAccount bob{"2", "bob@example.com", std::nullopt, std::nullopt, true};
    const GmailAccount alice{"1", "alice@example.com", "1200", at(-60), true};
    const GmailAccount carol{"3", "carol@example.com", std::nullopt, std::nullopt, false};
    store->upsert(bob);
    store->upsert(carol);
    store->upsert(alice);
    EXPECT_EQ(store->accounts(), (std::vector{alice, bob, carol}));

    // Same id: every column follows, absent values become NULL again, and the order follows the email.
    const GmailAccount renamed{"1", "zoe@example.com", std::nullopt, std::nullopt, false};
    store->upsert(renamed);
    EXPECT_EQ(store->accounts(), (std::vector{bob, carol, renamed}));
    RawDatabase raw(databasePath());
    EXPECT_EQ(raw.rows("SELECT history_id, last_sync_at, enabled FROM accounts WHERE id = '1'"),
              (Rows{{"NULL", "NULL", "0"}}));
}

TEST_F(LocalStoreTest, anotherAccountWithATakenEmailIsRejected)
{
    auto store = openStore();
    store->upsert({"1", "me@example.com", std::nullopt, std::nullopt, true});
    try {
        store->upsert({"2", "me@example.com", std::nullopt, std::nullopt, true});
        FAIL() << "two accounts share an email";
    } catch (const LocalStore::StoreError& error) {
        EXPECT_EQ(error.kind(), LocalStore::StoreError::Kind::execute);
        EXPECT_STREQ(error.what(), "Local database error: UNIQUE constraint failed: accounts.email");
    }
    EXPECT_EQ(store->accounts().size(), 1u);
}

TEST_F(LocalStoreTest, updateSyncSetsHistoryAndTimeAndIgnoresUnknownAccounts)
{
    auto store = openStore();
    store->upsert({"1", "me@example.com", std::nullopt, std::nullopt, false});
    store->updateSync("1", "4242", at(12.5));
    store->updateSync("unknown", "1", at(13));
    EXPECT_EQ(store->accounts(), (std::vector<GmailAccount>{{"1", "me@example.com", "4242", at(12.5), false}}));
}

TEST_F(LocalStoreTest, accountColumnsWrittenByOthersAreReadLeniently)
{
    std::filesystem::create_directories(databasePath().parent_path());
    {
        RawDatabase other(databasePath());
        other.exec("CREATE TABLE accounts (id TEXT, email TEXT, history_id TEXT, last_sync_at REAL, enabled INTEGER)");
        other.exec("INSERT INTO accounts VALUES (NULL, NULL, NULL, NULL, 2), ('x', 'x@example.com', '', 0, 1), "
                   "('y', 'y@example.com', '9', 1.5, -1)");
    }
    auto store = openStore();
    EXPECT_EQ(store->accounts(), (std::vector<GmailAccount>{
                                     {"", "", std::nullopt, std::nullopt, false},
                                     {"x", "x@example.com", "", timePointFromSecondsSince1970(0), true},
                                     {"y", "y@example.com", "9", timePointFromSecondsSince1970(1.5), false},
                                 }));
}

// ---------------------------------------------------------------------------------------------
// Codes

TEST_F(LocalStoreTest, savedCodeIsStoredUnderItsMessageFingerprint)
{
    auto store = openStore();
    const auto saved = code("482913", "18c2f0a1b2c3d4e5", 0.25, 600.75);
    store->save(saved);
    EXPECT_EQ(store->recentCodes(10), std::vector{stored(saved)});
    EXPECT_EQ(stored(saved).messageID, "29132dca4c8c3801cfdaaaf98e632edc765102f35109ca833163e3f9922ee06a");

    RawDatabase raw(databasePath());
    EXPECT_EQ(raw.rows("SELECT id, message_id FROM codes"),
              (Rows{{saved.id.toString(), Sha256::hex("18c2f0a1b2c3d4e5")}}));
}

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

    auto expectedFirst = stored(second);
    expectedFirst.id = first.id;
    expectedFirst.usedAt = at(10);
    auto expectedThird = stored(code("444444", "m2", 1, 700));
    expectedThird.id = third.id;
    expectedThird.issuer = "Issuer m2";
    EXPECT_EQ(store->recentCodes(10), (std::vector{expectedFirst, stored(elsewhere), expectedThird}));
}

TEST_F(LocalStoreTest, activeCodesAreUnusedAndExpireStrictlyAfterTheGivenTime)
{
    auto store = openStore();
    store->save(code("expiresNow", "m1", 0, 100));
    store->save(code("expiresJustAfter", "m2", 0, 100.001));
    store->save(code("used", "m3", 0, 500, "me@example.com", 1));
    store->save(code("expired", "m4", 0, 50));

    EXPECT_EQ(valuesOf(store->activeCodes(at(100), 10)), std::vector<std::string>{"expiresJustAfter"});
    EXPECT_EQ(valuesOf(store->activeCodes(at(100.001), 10)), std::vector<std::string>{});
}

TEST_F(LocalStoreTest, activeCodesComeNewestFirstUpToTheLimit)
{
    auto store = openStore();
    for (const auto& [value, received] : std::vector<std::pair<std::string, double>>{
             {"c30", 30}, {"c10", 10}, {"c50", 50}, {"c20", 20}, {"c40", 40}})
        store->save(code(value, value, received, 1000));
    // Newer than all of them but unusable: one used, one already expired.
    store->save(code("usedNewest", "u", 60, 1000, "me@example.com", 61));
    store->save(code("expiredNewest", "e", 70, 80));

    EXPECT_EQ(valuesOf(store->activeCodes(at(100), 3)), (std::vector<std::string>{"c50", "c40", "c30"}));
    EXPECT_EQ(valuesOf(store->activeCodes(at(100), 1)), std::vector<std::string>{"c50"});
    EXPECT_EQ(valuesOf(store->activeCodes(at(100), 100)),
              (std::vector<std::string>{"c50", "c40", "c30", "c20", "c10"}));
}

TEST_F(LocalStoreTest, recentCodesIncludeUsedAndExpiredCodesNewestFirst)
{
    auto store = openStore();
    store->save(code("old", "m1", 0, 10));
    store->save(code("used", "m2", 20, 1000, "me@example.com", 25));
    store->save(code("fresh", "m3", 10, 1000));
    clock->advance(500);

    EXPECT_EQ(valuesOf(store->recentCodes(10)), (std::vector<std::string>{"used", "fresh", "old"}));
    EXPECT_EQ(valuesOf(store->recentCodes(2)), (std::vector<std::string>{"used", "fresh"}));
}

TEST_F(LocalStoreTest, markUsedAndMarkUnusedToggleOneCodeAndIgnoreUnknownIds)
{
    auto store = openStore();
    const auto target = code("111111", "m1", 0, 600);
    const auto bystander = code("222222", "m2", 1, 600);
    store->save(target);
    store->save(bystander);

    store->markUsed(target.id, at(42.5));
    EXPECT_EQ(store->recentCodes(10).at(1).usedAt, at(42.5));
    EXPECT_EQ(valuesOf(store->activeCodes(at(0), 10)), std::vector<std::string>{"222222"});

    store->markUnused(target.id);
    EXPECT_EQ(store->recentCodes(10), (std::vector{stored(bystander), stored(target)}));

    store->markUsed(Uuid::random(), at(50));
    store->markUnused(Uuid::random());
    EXPECT_EQ(store->recentCodes(10), (std::vector{stored(bystander), stored(target)}));
}

TEST_F(LocalStoreTest, rowWhoseIdIsNotAUuidIsReadWithAFreshId)
{
    auto store = openStore();
    {
        RawDatabase other(databasePath());
        other.exec("INSERT INTO codes VALUES ('legacy-7', '765432', 'Acme', 'me@example.com', 'fp', "
                   + std::to_string(T0) + ", " + std::to_string(T0 + 600) + ", NULL)");
    }
    const auto first = store->recentCodes(10);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].value, "765432");
    EXPECT_NE(first[0].id, Uuid());
    EXPECT_NE(store->recentCodes(10).at(0).id, first[0].id);

    // The made-up id names no row.
    store->markUsed(first[0].id, at(1));
    RawDatabase raw(databasePath());
    EXPECT_EQ(raw.rows("SELECT id, used_at FROM codes"), (Rows{{"legacy-7", "NULL"}}));
}

TEST_F(LocalStoreTest, nullTextColumnsWrittenByOthersReadAsEmpty)
{
    std::filesystem::create_directories(databasePath().parent_path());
    {
        RawDatabase other(databasePath());
        other.exec("CREATE TABLE codes (id TEXT, value TEXT, issuer TEXT, account_email TEXT, message_id TEXT, "
                   "received_at REAL, expires_at REAL, used_at REAL)");
        other.exec("INSERT INTO codes VALUES (NULL, NULL, NULL, NULL, NULL, " + std::to_string(T0) + ", "
                   + std::to_string(T0 + 600) + ", NULL)");
    }
    auto store = openStore();
    const auto codes = store->activeCodes(at(0), 10);
    ASSERT_EQ(codes.size(), 1u);
    EXPECT_NE(codes[0].id, Uuid());
    EXPECT_EQ(codes[0], (OTPCode{codes[0].id, "", "", "", "", at(0), at(600), std::nullopt}));
}

TEST_F(LocalStoreTest, pruneDeletesCodesThatExpiredStrictlyBeforeTheGivenTime)
{
    auto store = openStore();
    store->save(code("before", "m1", 0, 99.5));
    store->save(code("atBoundary", "m2", 0, 100));
    store->save(code("after", "m3", 0, 101, "me@example.com", 5));
    store->prune(at(100));
    EXPECT_EQ(valuesOf(store->recentCodes(10)), (std::vector<std::string>{"atBoundary", "after"}));
}

// ---------------------------------------------------------------------------------------------
// Claims

TEST_F(LocalStoreTest, claimIsExclusiveUntilAPendingClaimIsOlderThanFiveMinutes)
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
}

TEST_F(LocalStoreTest, completedMessageIsNeverClaimedAgainAndReleaseCannotUndoIt)
{
    auto store = openStore();
    ASSERT_TRUE(store->claim("m1", "1"));
    store->complete("m1", "1");
    store->release("m1", "1");
    clock->advance(thirtyDays - 1);
    EXPECT_FALSE(store->claim("m1", "1"));

    RawDatabase raw(databasePath());
    EXPECT_EQ(raw.rows("SELECT account_id, message_id, status FROM processed_messages"),
              (Rows{{"1", Sha256::hex("m1"), "processed"}}));
}

TEST_F(LocalStoreTest, releasedClaimCanBeClaimedAgainAtOnce)
{
    auto store = openStore();
    ASSERT_TRUE(store->claim("m1", "1"));
    store->release("m1", "1");
    EXPECT_TRUE(store->claim("m1", "1"));

    // Unknown messages are completed or released without complaint, and without creating rows.
    store->complete("unknown", "1");
    store->release("unknown", "1");
    EXPECT_TRUE(store->claim("unknown", "1"));
}

TEST_F(LocalStoreTest, pruneForgetsClaimsOlderThanThirtyDaysWhateverTheCodeCutoff)
{
    auto store = openStore();
    ASSERT_TRUE(store->claim("processed", "1"));
    store->complete("processed", "1");
    ASSERT_TRUE(store->claim("pending", "1"));
    clock->advance(10);
    ASSERT_TRUE(store->claim("younger", "1"));
    store->complete("younger", "1");
    store->save(code("kept", "m1", 0, 5));

    const auto longAgo = at(-1'000'000); // removes no code
    clock->set(at(thirtyDays));
    store->prune(longAgo);
    EXPECT_FALSE(store->claim("processed", "1")) << "exactly thirty days old is kept";

    clock->advance(0.5);
    store->prune(longAgo);
    EXPECT_TRUE(store->claim("processed", "1"));
    EXPECT_FALSE(store->claim("younger", "1"));
    EXPECT_EQ(valuesOf(store->recentCodes(10)), std::vector<std::string>{"kept"});

    RawDatabase raw(databasePath());
    EXPECT_EQ(raw.rows("SELECT message_id FROM processed_messages WHERE message_id = '" + Sha256::hex("pending")
                       + "'"),
              Rows{});
}

// ---------------------------------------------------------------------------------------------
// Deleting an account

class LocalStoreDeletionTest : public LocalStoreTest {
protected:
    void SetUp() override
    {
        store = openStore();
        store->upsert({"a", "a@example.com", std::nullopt, std::nullopt, true});
        store->upsert({"b", "b@example.com", std::nullopt, std::nullopt, true});
        store->save(code("a1", "m1", 0, 600, "a@example.com"));
        store->save(code("a2", "m2", 1, 600, "a@example.com"));
        store->save(code("b1", "m1", 2, 600, "b@example.com"));
        ASSERT_TRUE(store->claim("m1", "a"));
        ASSERT_TRUE(store->claim("m1", "b"));
    }

    /// What another connection sees: only committed rows.
    Rows snapshot()
    {
        RawDatabase raw(databasePath());
        auto rows = raw.rows("SELECT 'account', id FROM accounts UNION ALL SELECT 'code', value FROM codes "
                             "UNION ALL SELECT 'claim', account_id FROM processed_messages ORDER BY 1, 2");
        return rows;
    }

    std::unique_ptr<LocalStore> store;
};

TEST_F(LocalStoreDeletionTest, removesTheAccountItsCodesByEmailAndItsClaimsById)
{
    store->deleteAccount("a", "a@example.com");
    EXPECT_EQ(snapshot(), (Rows{{"account", "b"}, {"claim", "b"}, {"code", "b1"}}));
    EXPECT_TRUE(store->claim("m1", "a"));
}

TEST_F(LocalStoreDeletionTest, removesNothingWhenAnyStepFails)
{
    const auto before = snapshot();
    for (const auto* table : {"processed_messages", "codes", "accounts"}) {
        {
            RawDatabase other(databasePath());
            other.exec(std::string("CREATE TRIGGER refuse BEFORE DELETE ON ") + table
                       + " BEGIN SELECT RAISE(ABORT, 'refused'); END");
        }
        try {
            store->deleteAccount("a", "a@example.com");
            ADD_FAILURE() << table << ": deleted";
        } catch (const LocalStore::StoreError& error) {
            EXPECT_STREQ(error.what(), "Local database error: refused") << table;
        }
        EXPECT_EQ(snapshot(), before) << table;
        EXPECT_EQ(store->accounts().size(), 2u) << table;
        EXPECT_EQ(store->recentCodes(10).size(), 3u) << table;
        RawDatabase(databasePath()).exec("DROP TRIGGER refuse");
    }
    // No transaction was left open: the next deletion goes through.
    store->deleteAccount("a", "a@example.com");
    EXPECT_EQ(snapshot(), (Rows{{"account", "b"}, {"claim", "b"}, {"code", "b1"}}));
}

TEST_F(LocalStoreDeletionTest, failsAtOnceAndRemovesNothingWhileAnotherConnectionWrites)
{
    const auto before = snapshot();
    {
        RawDatabase other(databasePath());
        other.exec("BEGIN IMMEDIATE");
        try {
            store->deleteAccount("a", "a@example.com");
            ADD_FAILURE() << "deleted under another writer";
        } catch (const LocalStore::StoreError& error) {
            EXPECT_STREQ(error.what(), "Local database error: database is locked");
        }
        other.exec("COMMIT");
    }
    EXPECT_EQ(snapshot(), before);
    store->deleteAccount("a", "a@example.com");
    EXPECT_EQ(snapshot(), (Rows{{"account", "b"}, {"claim", "b"}, {"code", "b1"}}));
}

// ---------------------------------------------------------------------------------------------
// Sharing: another program's write lock, several threads on one store

TEST_F(LocalStoreTest, writesFailAtOnceWhileAnotherProgramHoldsTheWriteLockAndNothingIsLost)
{
    auto store = openStore();
    const auto kept = code("111111", "m1", 0, 600);
    store->save(kept);
    store->upsert({"1", "me@example.com", "10", at(0), true});
    ASSERT_TRUE(store->claim("m1", "1"));

    const std::vector<std::pair<const char*, std::function<void()>>> writes{
        {"save", [&] { store->save(code("222222", "m2", 1, 600)); }},
        {"save over", [&] { store->save(code("999999", "m1", 1, 600)); }},
        {"upsert", [&] { store->upsert({"2", "you@example.com", std::nullopt, std::nullopt, true}); }},
        {"updateSync", [&] { store->updateSync("1", "11", at(1)); }},
        {"claim", [&] { store->claim("m2", "1"); }},
        {"complete", [&] { store->complete("m1", "1"); }},
        {"release", [&] { store->release("m1", "1"); }},
        {"markUsed", [&] { store->markUsed(kept.id, at(1)); }},
        {"markUnused", [&] { store->markUnused(kept.id); }},
        {"prune", [&] { store->prune(at(10'000)); }},
    };
    {
        RawDatabase other(databasePath());
        other.exec("BEGIN IMMEDIATE");
        for (const auto& [name, write] : writes) {
            try {
                write();
                ADD_FAILURE() << name << ": succeeded under another writer";
            } catch (const LocalStore::StoreError& error) {
                EXPECT_STREQ(error.what(), "Local database error: database is locked") << name;
            }
        }
        // Reading goes on while the other program writes.
        EXPECT_EQ(store->activeCodes(at(0), 10), std::vector{stored(kept)});
        EXPECT_EQ(store->accounts().size(), 1u);
        other.exec("ROLLBACK");
    }
    EXPECT_EQ(store->recentCodes(10), std::vector{stored(kept)});
    EXPECT_EQ(store->accounts(), (std::vector<GmailAccount>{{"1", "me@example.com", "10", at(0), true}}));
    EXPECT_FALSE(store->claim("m1", "1"));
    EXPECT_TRUE(store->claim("m2", "1"));
}

TEST_F(LocalStoreTest, threadsSharingOneStoreClaimEachMessageExactlyOnce)
{
    auto store = openStore();
    constexpr int threadCount = 8;
    constexpr int messageCount = 200;
    std::vector<std::atomic<int>> claims(messageCount);
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t)
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
    std::string page;
    int pageSize = 0;
    {
        RawDatabase raw(databasePath());
        page = raw.value("SELECT pageno FROM dbstat WHERE name = 'codes' AND pagetype = 'leaf' ORDER BY pageno "
                         "LIMIT 1 OFFSET 10");
        pageSize = std::stoi(raw.value("PRAGMA page_size"));
    }
    if (page == "<no row>")
        GTEST_SKIP() << "this SQLite has no dbstat table to find a page of the codes table";
    {
        std::fstream file(databasePath(), std::ios::in | std::ios::out | std::ios::binary);
        file.seekp(static_cast<std::streamoff>(std::stoll(page) - 1) * pageSize);
        file << std::string(static_cast<std::size_t>(pageSize), '\xFF');
    }
    auto store = openStore();
    try {
        const auto codes = store->recentCodes(1000);
        FAIL() << "returned " << codes.size() << " rows from a damaged table";
    } catch (const LocalStore::StoreError& error) {
        EXPECT_EQ(error.kind(), LocalStore::StoreError::Kind::execute);
        EXPECT_EQ(std::string(error.what()), "Local database error: database disk image is malformed");
    }
}

} // namespace
} // namespace larkpin
