#pragma once

#include "core/support/TimePoint.h"

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>

namespace larkpin {

/// One connected Gmail mailbox.
struct GmailAccount {
    std::string id;    ///< Google subject identifier; primary key in the store
    std::string email; ///< the mailbox address, unique among accounts
    std::optional<std::string> lastHistoryID{}; ///< absent before the first sync
    std::optional<TimePoint> lastSyncAt{};      ///< when the last successful sync finished
    bool isEnabled = true;                    ///< a disabled account is paused: not polled

    friend bool operator==(const GmailAccount&, const GmailAccount&) = default;
};

void to_json(nlohmann::json& document, const GmailAccount& account);
/// Throws DecodingError when a required key is missing or a value has the wrong type.
void from_json(const nlohmann::json& document, GmailAccount& account);

} // namespace larkpin

template <> struct std::hash<larkpin::GmailAccount> {
    std::size_t operator()(const larkpin::GmailAccount& account) const noexcept;
};
