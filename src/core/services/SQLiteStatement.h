#pragma once

#include <sqlite3.h>

#include <string_view>

namespace larkpin {

/// Owns one prepared sqlite3 statement and finalizes it on every path.
class SQLiteStatement {
public:
    /// Prepares `sql`; on failure `ok()` is false and the connection holds the error. A persistent
    /// statement is one kept for reuse, which SQLite then allocates outside its short-lived pools.
    SQLiteStatement(sqlite3* connection, std::string_view sql, bool persistent = false) noexcept
    {
        prepareResult_ = sqlite3_prepare_v3(connection, sql.data(), static_cast<int>(sql.size()),
                                            persistent ? SQLITE_PREPARE_PERSISTENT : 0, &statement_, nullptr);
    }
    ~SQLiteStatement() { sqlite3_finalize(statement_); }

    SQLiteStatement(const SQLiteStatement&) = delete;
    SQLiteStatement& operator=(const SQLiteStatement&) = delete;

    bool ok() const { return prepareResult_ == SQLITE_OK && statement_ != nullptr; }
    sqlite3_stmt* get() const { return statement_; }

    /// Readies a reused statement for its next run, and ends any read it left open on the way.
    class Use {
    public:
        explicit Use(const SQLiteStatement& statement) noexcept : statement_(statement.get()) {}
        ~Use()
        {
            sqlite3_reset(statement_);
            sqlite3_clear_bindings(statement_);
        }
        Use(const Use&) = delete;
        Use& operator=(const Use&) = delete;

    private:
        sqlite3_stmt* statement_;
    };

private:
    sqlite3_stmt* statement_ = nullptr;
    int prepareResult_ = SQLITE_ERROR;
};

} // namespace larkpin
