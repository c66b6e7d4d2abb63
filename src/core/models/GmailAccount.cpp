#include "core/models/GmailAccount.h"

#include "core/models/JSONFields.h"
#include "core/support/HashCombine.h"

namespace larkpin {

void to_json(nlohmann::json& document, const GmailAccount& account)
{
    document = {{"id", account.id}, {"email", account.email}, {"isEnabled", account.isEnabled}};
    if (account.lastHistoryID)
        document["lastHistoryID"] = *account.lastHistoryID;
    if (account.lastSyncAt)
        document["lastSyncAt"] = secondsSince1970(*account.lastSyncAt);
}

void from_json(const nlohmann::json& document, GmailAccount& account)
{
    using namespace json_fields;
    account = GmailAccount{
        .id = required<std::string>(document, "id"),
        .email = required<std::string>(document, "email"),
        .lastHistoryID = optional<std::string>(document, "lastHistoryID"),
        .lastSyncAt = optional<TimePoint>(document, "lastSyncAt"),
        .isEnabled = required<bool>(document, "isEnabled"),
    };
}

} // namespace larkpin

std::size_t std::hash<larkpin::GmailAccount>::operator()(const larkpin::GmailAccount& account) const noexcept
{
    using larkpin::hashCombine;
    std::size_t seed = 0;
    hashCombine(seed, account.id);
    hashCombine(seed, account.email);
    hashCombine(seed, account.lastHistoryID.value_or(std::string{}));
    hashCombine(seed, account.lastHistoryID.has_value());
    hashCombine(seed, account.lastSyncAt ? account.lastSyncAt->time_since_epoch().count() : -1.0);
    hashCombine(seed, account.isEnabled);
    return seed;
}
