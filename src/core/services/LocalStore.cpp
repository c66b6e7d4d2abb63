#include "core/services/LocalStore.h"

#include "core/services/SQLiteStatement.h"
#include "core/support/Sha256.h"

#include <sqlite3.h>

#include <cerrno>
#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace larkpin {
namespace {

constexpr auto createAccounts = "CREATE TABLE IF NOT EXISTS accounts (\n"
                                "  id TEXT PRIMARY KEY,\n"
                                "  email TEXT NOT NULL UNIQUE,\n"
                                "  history_id TEXT,\n"
                                "  last_sync_at REAL,\n"
                                "  enabled INTEGER NOT NULL DEFAULT 1\n"
                                ")";
constexpr auto createProcessedMessages = "CREATE TABLE IF NOT EXISTS processed_messages (\n"
                                         "  account_id TEXT NOT NULL,\n"
                                         "  message_id TEXT NOT NULL,\n"
                                         "  claimed_at REAL NOT NULL,\n"
                                         "  status TEXT NOT NULL DEFAULT 'pending',\n"
                                         "  PRIMARY KEY (account_id, message_id)\n"
                                         ")";
// Databases from before claims had a state: their rows count as processed.
constexpr auto addStatusColumn
    = "ALTER TABLE processed_messages ADD COLUMN status TEXT NOT NULL DEFAULT 'processed'";
constexpr auto createCodes = "CREATE TABLE IF NOT EXISTS codes (\n"
                             "  id TEXT PRIMARY KEY,\n"
                             "  value TEXT NOT NULL,\n"
                             "  issuer TEXT NOT NULL,\n"
                             "  account_email TEXT NOT NULL,\n"
                             "  message_id TEXT NOT NULL,\n"
                             "  received_at REAL NOT NULL,\n"
                             "  expires_at REAL NOT NULL,\n"
                             "  used_at REAL,\n"
                             "  UNIQUE(account_email, message_id)\n"
                             ")";
constexpr auto createExpiryIndex = "CREATE INDEX IF NOT EXISTS codes_expiry ON codes(expires_at DESC)";
constexpr auto purgeExpired = "DELETE FROM codes WHERE expires_at <= strftime('%s', 'now')";

constexpr auto selectAccounts
    = "SELECT id, email, history_id, last_sync_at, enabled FROM accounts ORDER BY email";
constexpr auto upsertAccount
    = "INSERT INTO accounts(id, email, history_id, last_sync_at, enabled) VALUES(?, ?, ?, ?, ?)\n"
      "ON CONFLICT(id) DO UPDATE SET email=excluded.email, history_id=excluded.history_id,\n"
      "  last_sync_at=excluded.last_sync_at, enabled=excluded.enabled";
constexpr auto updateAccountSync = "UPDATE accounts SET history_id = ?, last_sync_at = ? WHERE id = ?";

constexpr auto beginImmediate = "BEGIN IMMEDIATE";
constexpr auto deleteAccountClaims = "DELETE FROM processed_messages WHERE account_id = ?";
constexpr auto deleteAccountCodes = "DELETE FROM codes WHERE account_email = ?";
constexpr auto deleteAccountRow = "DELETE FROM accounts WHERE id = ?";
constexpr auto commit = "COMMIT";
constexpr auto rollback = "ROLLBACK";

constexpr auto insertClaim = "INSERT OR IGNORE INTO processed_messages(account_id, message_id, claimed_at, status) "
                             "VALUES(?, ?, ?, 'pending')";
constexpr auto takeOverStaleClaim
    = "UPDATE processed_messages SET claimed_at = ? WHERE account_id = ? AND message_id = ? AND status = "
      "'pending' AND claimed_at < ?";
constexpr auto completeClaim
    = "UPDATE processed_messages SET status = 'processed' WHERE account_id = ? AND message_id = ?";
constexpr auto releaseClaim
    = "DELETE FROM processed_messages WHERE account_id = ? AND message_id = ? AND status = 'pending'";
constexpr auto releasePending = "DELETE FROM processed_messages WHERE status = 'pending'";

constexpr auto saveCode = "INSERT INTO codes(id, value, issuer, account_email, message_id, received_at, "
                          "expires_at, used_at)\n"
                          "VALUES(?, ?, ?, ?, ?, ?, ?, ?)\n"
                          "ON CONFLICT(account_email, message_id) DO UPDATE SET\n"
                          "  value = excluded.value,\n"
                          "  issuer = excluded.issuer,\n"
                          "  received_at = excluded.received_at,\n"
                          "  expires_at = excluded.expires_at";
constexpr auto selectActiveCodes
    = "SELECT id, value, issuer, account_email, message_id, received_at, expires_at, used_at\n"
      "FROM codes WHERE expires_at > ? AND used_at IS NULL ORDER BY received_at DESC LIMIT ?";
constexpr auto selectRecentCodes
    = "SELECT id, value, issuer, account_email, message_id, received_at, expires_at, used_at\n"
      "FROM codes ORDER BY received_at DESC LIMIT ?";
constexpr auto markCodeUsed = "UPDATE codes SET used_at = ? WHERE id = ?";
constexpr auto markCodeUnused = "UPDATE codes SET used_at = NULL WHERE id = ?";
constexpr auto pruneCodes = "DELETE FROM codes WHERE expires_at < ?";
constexpr auto pruneClaims = "DELETE FROM processed_messages WHERE claimed_at < ?";

// A pending claim older than this was left by a sync that died and may be taken over.
constexpr double staleClaimSeconds = 300;
// Claims, processed or not, are kept this long so that a message is never handled twice.
constexpr double claimRetentionSeconds = 2'592'000;

std::string columnText(sqlite3_stmt* statement, int column)
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    if (text == nullptr)
        return {};
    return std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)));
}

std::optional<double> columnOptionalDouble(sqlite3_stmt* statement, int column)
{
    if (sqlite3_column_type(statement, column) == SQLITE_NULL)
        return std::nullopt;
    return sqlite3_column_double(statement, column);
}

// Creates the folder and its missing parents, private to the user: the database holds live codes.
// Folders that exist already keep their mode. Returns 0 or the errno of the step that failed.
int createPrivateFolders(const std::filesystem::path& folder)
{
    struct stat info{};
    if (folder.empty() || (::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode)))
        return 0;
    if (folder.has_parent_path() && folder.parent_path() != folder)
        if (const int error = createPrivateFolders(folder.parent_path()); error != 0)
            return error;
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        return errno;
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return ENOTDIR;
    return 0;
}

// SQLite gives the -wal and -shm files the mode of the database file, so creating that file 0600
// before SQLite does keeps all three private. An existing file is left as it is.
void createPrivateFile(const std::filesystem::path& file)
{
    const int descriptor = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (descriptor >= 0)
        ::close(descriptor);
}

// The home folder of the user database entry, for a process started without HOME.
std::string accountHome()
{
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr
        && found->pw_dir != nullptr)
        return found->pw_dir;
    return "/";
}

} // namespace

LocalStore::StoreError::StoreError(Kind kind, const std::string& description, const std::string& message)
    : std::runtime_error(description)
    , kind_(kind)
    , message_(message)
{
}

LocalStore::StoreError LocalStore::StoreError::open(const std::string& message)
{
    return StoreError(Kind::open, "Could not open local database: " + message, message);
}

LocalStore::StoreError LocalStore::StoreError::execute(const std::string& message)
{
    return StoreError(Kind::execute, "Local database error: " + message, message);
}

void LocalStore::ConnectionCloser::operator()(sqlite3* connection) const noexcept { sqlite3_close_v2(connection); }

std::filesystem::path LocalStore::defaultPath()
{
    return defaultPath(std::getenv("XDG_DATA_HOME"), std::getenv("HOME"));
}

std::filesystem::path LocalStore::defaultPath(const char* xdgDataHome, const char* home)
{
    std::filesystem::path base;
    if (xdgDataHome != nullptr && xdgDataHome[0] == '/')
        base = xdgDataHome;
    else
        base = std::filesystem::path(home != nullptr && home[0] == '/' ? home : accountHome()) / ".local" / "share";
    return base / "Larkpin" / "larkpin.sqlite";
}

LocalStore::LocalStore(const std::filesystem::path& url, std::shared_ptr<const Clock> clock)
    : clock_(std::move(clock))
{
    open(url);
}

LocalStore::~LocalStore() = default;

void LocalStore::open(const std::filesystem::path& url)
{
    if (const int error = createPrivateFolders(url.parent_path()); error != 0)
        throw std::system_error(error, std::generic_category(), "Could not create folder " + url.parent_path().string());
    createPrivateFile(url);

    sqlite3* connection = nullptr;
    const int result = sqlite3_open_v2(url.c_str(), &connection,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
    database_.reset(connection);
    if (result != SQLITE_OK) {
        const auto message = lastError();
        database_.reset();
        throw StoreError::open(message);
    }

    try {
        execute("PRAGMA journal_mode=WAL");
        // With write-ahead logging this keeps the file consistent through a crash or power loss and
        // only gives up the durability of the last commits on power loss, which a claim protocol
        // that retries unfinished messages absorbs; syncing the log on every commit cost a sync of
        // 50 messages half a second.
        execute("PRAGMA synchronous=NORMAL");
        execute("PRAGMA foreign_keys=ON");
        execute(createAccounts);
        execute(createProcessedMessages);
        try {
            execute(addStatusColumn);
        } catch (const StoreError&) {
            // The column exists on every database created by the statement above.
        }
        execute(createCodes);
        addColumnIfMissing("used_at", "REAL", "codes");
        execute(createExpiryIndex);
        execute(purgeExpired);
    } catch (...) {
        statements_.clear();
        database_.reset();
        throw;
    }
}

void LocalStore::addColumnIfMissing(const std::string& column, const std::string& definition,
                                    const std::string& table)
{
    bool found = false;
    query(("PRAGMA table_info(" + table + ")").c_str(), {}, [&](sqlite3_stmt* row) {
        if (columnText(row, 1) == column)
            found = true;
    });
    if (!found)
        execute(("ALTER TABLE " + table + " ADD COLUMN " + column + " " + definition).c_str());
}

std::string LocalStore::lastError() const
{
    const char* message = database_ ? sqlite3_errmsg(database_.get()) : nullptr;
    return message != nullptr && message[0] != '\0' ? message : "unknown error";
}

void LocalStore::execute(const char* sql) const
{
    if (sqlite3_exec(database_.get(), sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        throw StoreError::execute(lastError());
}

namespace {

int bind(sqlite3_stmt* statement, int position, const std::variant<std::string, std::int64_t, double, std::nullptr_t>& value)
{
    return std::visit(
        [&](const auto& v) {
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, std::string>)
                return sqlite3_bind_text64(statement, position, v.data(), v.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
            else if constexpr (std::is_same_v<T, std::int64_t>)
                return sqlite3_bind_int64(statement, position, v);
            else if constexpr (std::is_same_v<T, double>)
                return sqlite3_bind_double(statement, position, v);
            else
                return sqlite3_bind_null(statement, position);
        },
        value);
}

} // namespace

const SQLiteStatement& LocalStore::prepared(const char* sql) const
{
    // Preparing costs about as much as running these statements, and a sync runs a few per message.
    const auto found = statements_.find(std::string_view(sql));
    if (found != statements_.end())
        return *found->second;
    auto statement = std::make_unique<SQLiteStatement>(database_.get(), sql, true);
    if (!statement->ok())
        throw StoreError::execute(lastError());
    return *statements_.emplace(sql, std::move(statement)).first->second;
}

void LocalStore::run(const char* sql, std::initializer_list<Binding> bindings) const
{
    query(sql, bindings, nullptr);
}

void LocalStore::query(const char* sql, std::initializer_list<Binding> bindings,
                       const std::function<void(sqlite3_stmt*)>& onRow) const
{
    const SQLiteStatement& statement = prepared(sql);
    const SQLiteStatement::Use use(statement);
    int position = 1;
    for (const auto& binding : bindings)
        if (bind(statement.get(), position++, binding) != SQLITE_OK)
            throw StoreError::execute(lastError());
    if (!onRow) {
        if (sqlite3_step(statement.get()) != SQLITE_DONE)
            throw StoreError::execute(lastError());
        return;
    }
    int result = SQLITE_ROW;
    while ((result = sqlite3_step(statement.get())) == SQLITE_ROW)
        onRow(statement.get());
    // A read cut short (a lock, a corrupt page) must not pass for the whole answer.
    if (result != SQLITE_DONE)
        throw StoreError::execute(lastError());
}

std::vector<OTPCode> LocalStore::codes(const char* sql, std::initializer_list<Binding> bindings) const
{
    std::vector<OTPCode> result;
    query(sql, bindings, [&](sqlite3_stmt* row) {
        const auto usedAt = columnOptionalDouble(row, 7);
        result.push_back(OTPCode{
            // Rows written by other programs may carry an id that is not a UUID; they are still shown.
            .id = Uuid::parse(columnText(row, 0)).value_or(Uuid::random()),
            .value = columnText(row, 1),
            .issuer = columnText(row, 2),
            .accountEmail = columnText(row, 3),
            .messageID = columnText(row, 4),
            .receivedAt = timePointFromSecondsSince1970(sqlite3_column_double(row, 5)),
            .expiresAt = timePointFromSecondsSince1970(sqlite3_column_double(row, 6)),
            .usedAt = usedAt ? std::optional(timePointFromSecondsSince1970(*usedAt)) : std::nullopt,
        });
    });
    return result;
}

std::vector<GmailAccount> LocalStore::accounts() const
{
    const std::lock_guard lock(mutex_);
    std::vector<GmailAccount> result;
    query(selectAccounts, {}, [&](sqlite3_stmt* row) {
        const auto lastSyncAt = columnOptionalDouble(row, 3);
        result.push_back(GmailAccount{
            .id = columnText(row, 0),
            .email = columnText(row, 1),
            .lastHistoryID = sqlite3_column_type(row, 2) == SQLITE_NULL ? std::nullopt
                                                                         : std::optional(columnText(row, 2)),
            .lastSyncAt = lastSyncAt ? std::optional(timePointFromSecondsSince1970(*lastSyncAt)) : std::nullopt,
            .isEnabled = sqlite3_column_int64(row, 4) == 1,
        });
    });
    return result;
}

void LocalStore::upsert(const GmailAccount& account)
{
    const std::lock_guard lock(mutex_);
    run(upsertAccount, {account.id, account.email,
                        account.lastHistoryID ? Binding(*account.lastHistoryID) : Binding(nullptr),
                        account.lastSyncAt ? Binding(secondsSince1970(*account.lastSyncAt)) : Binding(nullptr),
                        std::int64_t{account.isEnabled ? 1 : 0}});
}

void LocalStore::updateSync(const std::string& accountID, const std::string& historyID, TimePoint at)
{
    const std::lock_guard lock(mutex_);
    run(updateAccountSync, {historyID, secondsSince1970(at), accountID});
}

void LocalStore::deleteAccount(const std::string& id, const std::string& email)
{
    transaction([&] {
        run(deleteAccountClaims, {id});
        run(deleteAccountCodes, {email});
        run(deleteAccountRow, {id});
    });
}

void LocalStore::transaction(const std::function<void()>& work)
{
    const std::lock_guard lock(mutex_);
    if (inTransaction_) {
        work(); // the enclosing transaction commits or rolls back this work with its own
        return;
    }
    run(beginImmediate, {});
    inTransaction_ = true;
    try {
        work();
        inTransaction_ = false;
        run(commit, {});
    } catch (...) {
        inTransaction_ = false;
        sqlite3_exec(database_.get(), rollback, nullptr, nullptr, nullptr);
        throw;
    }
}

bool LocalStore::claim(const std::string& messageID, const std::string& accountID)
{
    const std::lock_guard lock(mutex_);
    const auto fingerprint = Sha256::hex(messageID);
    const double now = secondsSince1970(clock_->now());
    run(insertClaim, {accountID, fingerprint, now});
    if (sqlite3_changes64(database_.get()) == 1)
        return true;
    run(takeOverStaleClaim, {now, accountID, fingerprint, now - staleClaimSeconds});
    return sqlite3_changes64(database_.get()) == 1;
}

void LocalStore::complete(const std::string& messageID, const std::string& accountID)
{
    const std::lock_guard lock(mutex_);
    run(completeClaim, {accountID, Sha256::hex(messageID)});
}

void LocalStore::release(const std::string& messageID, const std::string& accountID)
{
    const std::lock_guard lock(mutex_);
    run(releaseClaim, {accountID, Sha256::hex(messageID)});
}

void LocalStore::releasePendingClaims()
{
    const std::lock_guard lock(mutex_);
    run(releasePending, {});
}

void LocalStore::save(const OTPCode& code)
{
    const std::lock_guard lock(mutex_);
    run(saveCode, {code.id.toString(), code.value, code.issuer, code.accountEmail, Sha256::hex(code.messageID),
                   secondsSince1970(code.receivedAt), secondsSince1970(code.expiresAt),
                   code.usedAt ? Binding(secondsSince1970(*code.usedAt)) : Binding(nullptr)});
}

std::vector<OTPCode> LocalStore::activeCodes(TimePoint at, std::int64_t limit) const
{
    const std::lock_guard lock(mutex_);
    return codes(selectActiveCodes, {secondsSince1970(at), limit});
}

std::vector<OTPCode> LocalStore::recentCodes(std::int64_t limit) const
{
    const std::lock_guard lock(mutex_);
    return codes(selectRecentCodes, {limit});
}

void LocalStore::markUsed(const Uuid& id, TimePoint at)
{
    const std::lock_guard lock(mutex_);
    run(markCodeUsed, {secondsSince1970(at), id.toString()});
}

void LocalStore::markUnused(const Uuid& id)
{
    const std::lock_guard lock(mutex_);
    run(markCodeUnused, {id.toString()});
}

void LocalStore::prune(TimePoint before)
{
    const std::lock_guard lock(mutex_);
    run(pruneCodes, {secondsSince1970(before)});
    run(pruneClaims, {secondsSince1970(clock_->now()) - claimRetentionSeconds});
}

} // namespace larkpin
