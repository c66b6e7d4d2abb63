#pragma once

#include <cstdint>
#include <string>

namespace larkpin {

/// What one sync of one account achieved.
struct SyncResult {
    std::int64_t fetchedMessages = 0; ///< messages fetched in full
    std::int64_t newCodes = 0;        ///< codes extracted and saved
    std::string historyID;            ///< the history id the account is now synced up to
    bool performedFullSync = false;   ///< a bounded resync of recent messages, not a history read

    friend bool operator==(const SyncResult&, const SyncResult&) = default;
};

} // namespace larkpin
