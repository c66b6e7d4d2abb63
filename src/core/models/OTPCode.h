#pragma once

#include "core/support/TimePoint.h"
#include "core/support/Uuid.h"

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>

namespace larkpin {

/// One extracted verification code. A plain value: built once, compared field by field.
struct OTPCode {
    Uuid id;
    std::string value;        ///< the code exactly as shown and filled
    std::string issuer;       ///< who sent it
    std::string accountEmail; ///< the mailbox it arrived in
    std::string messageID;    ///< Gmail message id (its fingerprint once read back from the store)
    TimePoint receivedAt;
    TimePoint expiresAt;
    std::optional<TimePoint> usedAt; ///< absent while unused

    /// Expired once the expiry is at or before `now`.
    bool isExpired(TimePoint now) const { return expiresAt <= now; }
    bool isExpired() const;
    bool isUsed() const { return usedAt.has_value(); }

    friend bool operator==(const OTPCode&, const OTPCode&) = default;
};

void to_json(nlohmann::json& document, const OTPCode& code);
/// Throws DecodingError when a required key is missing or a value has the wrong type.
void from_json(const nlohmann::json& document, OTPCode& code);

} // namespace larkpin

template <> struct std::hash<larkpin::OTPCode> {
    std::size_t operator()(const larkpin::OTPCode& code) const noexcept;
};
