#pragma once

#include "core/models/GmailAccount.h"
#include "core/models/OTPCode.h"
#include "core/support/Clock.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace larkpin {

class SQLiteStatement;

/// The one owner of the SQLite database both programs share: accounts, message claims and codes.
///
/// Every public operation runs to completion under the store's lock before the next one starts, so
/// a store may be shared between threads. Gmail message ids never reach the file in plain form:
/// they are stored as their SHA-256 fingerprint. No busy timeout is set: a statement that meets a
/// write lock held by another process fails at once.
class LocalStore {
public:
    /// Any failure of the database engine. `what()` is the text shown to the user.
    class StoreError : public std::runtime_error {
    public:
        enum class Kind { open, execute };

        static StoreError open(const std::string& message);
        static StoreError execute(const std::string& message);

        Kind kind() const { return kind_; }
        /// The engine's own message, without the prefix.
        const std::string& message() const { return message_; }

    private:
        StoreError(Kind kind, const std::string& description, const std::string& message);
        Kind kind_;
        std::string message_;
    };

    /// `$XDG_DATA_HOME/Larkpin/larkpin.sqlite`, with `~/.local/share` when the variable is unset or
    /// not an absolute path; `~` is HOME, or the account's home folder when HOME is unset or relative.
    static std::filesystem::path defaultPath();
    /// The same rule over given values; null stands for an unset variable.
    static std::filesystem::path defaultPath(const char* xdgDataHome, const char* home);

    /// Opens (or creates) the database at `url` and brings its schema up to date, then purges the
    /// codes whose expiry has passed. A folder that cannot be created throws std::system_error;
    /// every engine failure throws StoreError. New folders get mode 0700 and a new file 0600.
    explicit LocalStore(const std::filesystem::path& url,
                        std::shared_ptr<const Clock> clock = SystemClock::shared());
    ~LocalStore();

    LocalStore(const LocalStore&) = delete;
    LocalStore& operator=(const LocalStore&) = delete;

    std::vector<GmailAccount> accounts() const;
    void upsert(const GmailAccount& account);
    void updateSync(const std::string& accountID, const std::string& historyID, TimePoint at);
    /// Removes the account, its claims (by id) and its codes (by email) in one transaction: all or nothing.
    void deleteAccount(const std::string& id, const std::string& email);

    /// Runs `work` and the operations it makes on this store as one transaction: all of them or,
    /// should anything throw, none. Other threads' operations wait until it ends; a transaction
    /// begun inside `work` joins this one.
    void transaction(const std::function<void()>& work);

    /// True when the caller now owns the message: it was new, or its pending claim is older than
    /// five minutes (left behind by a sync that died) and has been taken over.
    bool claim(const std::string& messageID, const std::string& accountID);
    void complete(const std::string& messageID, const std::string& accountID);
    /// Drops a pending claim so that a later sync retries the message; never undoes `complete`.
    void release(const std::string& messageID, const std::string& accountID);
    /// Drops every pending claim: for the one program that claims, at its start, when whatever is
    /// pending was left by a run that died.
    void releasePendingClaims();

    /// Inserts the code, or for a message that already has one replaces value, issuer and times while
    /// keeping the stored id and used state.
    void save(const OTPCode& code);
    /// Unused codes whose expiry is after `at`, newest received first.
    std::vector<OTPCode> activeCodes(TimePoint at, std::int64_t limit) const;
    /// All stored codes, used or not, newest received first.
    std::vector<OTPCode> recentCodes(std::int64_t limit) const;
    void markUsed(const Uuid& id, TimePoint at);
    void markUnused(const Uuid& id);
    /// Deletes codes that expired before `before`, then claims older than 30 days.
    void prune(TimePoint before);

private:
    using Binding = std::variant<std::string, std::int64_t, double, std::nullptr_t>;
    struct ConnectionCloser {
        void operator()(sqlite3* connection) const noexcept;
    };
    using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;

    void open(const std::filesystem::path& url);
    void addColumnIfMissing(const std::string& column, const std::string& definition, const std::string& table);
    void execute(const char* sql) const;
    /// The statement for `sql`, prepared on first use and kept with the connection.
    const SQLiteStatement& prepared(const char* sql) const;
    /// Prepares, binds, steps once and finalizes; anything but completion is a failure.
    void run(const char* sql, std::initializer_list<Binding> bindings) const;
    void query(const char* sql, std::initializer_list<Binding> bindings,
               const std::function<void(sqlite3_stmt*)>& onRow) const;
    std::vector<OTPCode> codes(const char* sql, std::initializer_list<Binding> bindings) const;
    std::string lastError() const;

    std::shared_ptr<const Clock> clock_;
    mutable std::recursive_mutex mutex_;
    bool inTransaction_ = false;
    Connection database_;
    /// Declared after the connection so that they are finalized before it closes.
    struct TextHash {
        using is_transparent = void; // found by the SQL text without copying it
        std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
    };
    mutable std::unordered_map<std::string, std::unique_ptr<SQLiteStatement>, TextHash, std::equal_to<>> statements_;
};

} // namespace larkpin
