#pragma once

#include <sqlite3.h>

#include <string_view>

namespace larkpin {

/// Owns one prepared sqlite3 statement and finalizes it on every path.
class SQLiteStatement {
public:
    /// Prepares `sql`; on failure `ok()` is false and the connection holds the error.
    SQLiteStatement(sqlite3* connection, std::string_view sql) noexcept
    {
        prepareResult_ = sqlite3_prepare_v2(connection, sql.data(), static_cast<int>(sql.size()), &statement_,
                                            nullptr);
    }
    ~SQLiteStatement() { sqlite3_finalize(statement_); }

    SQLiteStatement(const SQLiteStatement&) = delete;
    SQLiteStatement& operator=(const SQLiteStatement&) = delete;

    bool ok() const { return prepareResult_ == SQLITE_OK && statement_ != nullptr; }
    sqlite3_stmt* get() const { return statement_; }

private:
    sqlite3_stmt* statement_ = nullptr;
    int prepareResult_ = SQLITE_ERROR;
};

} // namespace larkpin
