#include "core/models/OTPCode.h"

#include "core/models/JSONFields.h"
#include "core/support/Clock.h"
#include "core/support/HashCombine.h"

namespace larkpin {

bool OTPCode::isExpired() const { return isExpired(SystemClock().now()); }

void to_json(nlohmann::json& document, const OTPCode& code)
{
    document = {
        {"id", code.id.toString()},
        {"value", code.value},
        {"issuer", code.issuer},
        {"accountEmail", code.accountEmail},
        {"messageID", code.messageID},
        {"receivedAt", secondsSince1970(code.receivedAt)},
        {"expiresAt", secondsSince1970(code.expiresAt)},
    };
    if (code.usedAt)
        document["usedAt"] = secondsSince1970(*code.usedAt);
}

void from_json(const nlohmann::json& document, OTPCode& code)
{
    using namespace json_fields;
    const auto idText = required<std::string>(document, "id");
    const auto id = Uuid::parse(idText);
    if (!id)
        throw DecodingError("Key \"id\" is not a UUID: " + idText);
    code = OTPCode{
        .id = *id,
        .value = required<std::string>(document, "value"),
        .issuer = required<std::string>(document, "issuer"),
        .accountEmail = required<std::string>(document, "accountEmail"),
        .messageID = required<std::string>(document, "messageID"),
        .receivedAt = required<TimePoint>(document, "receivedAt"),
        .expiresAt = required<TimePoint>(document, "expiresAt"),
        .usedAt = optional<TimePoint>(document, "usedAt"),
    };
}

} // namespace larkpin

std::size_t std::hash<larkpin::OTPCode>::operator()(const larkpin::OTPCode& code) const noexcept
{
    using larkpin::hashCombine;
    std::size_t seed = 0;
    hashCombine(seed, code.id);
    hashCombine(seed, code.value);
    hashCombine(seed, code.issuer);
    hashCombine(seed, code.accountEmail);
    hashCombine(seed, code.messageID);
    hashCombine(seed, code.receivedAt.time_since_epoch().count());
    hashCombine(seed, code.expiresAt.time_since_epoch().count());
    hashCombine(seed, code.usedAt ? code.usedAt->time_since_epoch().count() : -1.0);
    return seed;
}
