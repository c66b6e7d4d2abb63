#pragma once

#include "core/support/TimePoint.h"

#include <optional>
#include <string>

namespace larkpin {

/// What Google's token endpoint hands out, for a code exchange or a refresh. Lives only in memory;
/// the refresh token goes straight on to the Secret Service.
struct GoogleOAuthToken {
    /// The bearer token for Gmail and userinfo calls.
    std::string accessToken;
    /// The moment of receipt plus "expires_in"; no margin is taken off here.
    TimePoint expiresAt;
    /// Present only when the answer carried one.
    std::optional<std::string> refreshToken;

    friend bool operator==(const GoogleOAuthToken&, const GoogleOAuthToken&) = default;
};

} // namespace larkpin
