#include "app/services/GoogleOAuthError.h"

namespace larkpin {

GoogleOAuthError::GoogleOAuthError(Kind kind, const std::string& description, std::string oauthError, int status)
    : std::runtime_error(description)
    , kind_(kind)
    , oauthError_(std::move(oauthError))
    , status_(status)
{
}

GoogleOAuthError GoogleOAuthError::oauth(const std::string& error)
{
    return GoogleOAuthError(Kind::oauth, "Google OAuth failed: " + error + ".", error);
}

GoogleOAuthError GoogleOAuthError::response(int status)
{
    return GoogleOAuthError(Kind::response, "Google OAuth returned HTTP " + std::to_string(status) + ".", {}, status);
}

GoogleOAuthError GoogleOAuthError::invalidResponse()
{
    return GoogleOAuthError(Kind::invalidResponse, "Google returned an invalid OAuth response.");
}

GoogleOAuthError GoogleOAuthError::missingRefreshToken()
{
    return GoogleOAuthError(Kind::missingRefreshToken,
                            "Google did not return a refresh token. Revoke access and try again.");
}

GoogleOAuthError GoogleOAuthError::missingStoredRefreshToken()
{
    return GoogleOAuthError(Kind::missingStoredRefreshToken, "No saved Google authorization exists for this account.");
}

} // namespace larkpin
