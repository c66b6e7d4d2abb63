#pragma once

#include "app/services/Bundle.h"

#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace larkpin {

/// The OAuth client's identity, its scopes, the loopback callback path and every Google endpoint
/// the application calls. Loaded once from the environment and the build-time values (Bundle);
/// one variable, "GOOGLE_EMULATOR_URL", sends every endpoint to a local emulator instead.
class GoogleOAuthConfiguration {
public:
    class Error : public std::runtime_error {
    public:
        enum class Kind { missingClientID };

        static Error missingClientID();

        Kind kind() const { return kind_; }

        friend bool operator==(const Error& a, const Error& b) { return a.kind_ == b.kind_; }

    private:
        Error(Kind kind, const std::string& description);
        Kind kind_;
    };

    /// Variable name to value; the application passes its process environment.
    using Environment = std::map<std::string, std::string, std::less<>>;

    /// Client id: "GOOGLE_OAUTH_CLIENT_ID" when set at all (even blank), else the build-time value
    /// "GoogleOAuthClientID", else "GIDClientID" (build-time values count only when they are text).
    /// Client secret: "GOOGLE_OAUTH_CLIENT_SECRET" when set, else "GoogleOAuthClientSecret".
    /// Both are trimmed of Unicode white space and line breaks; a blank secret is no secret.
    /// Throws Error (missingClientID) when no client id is left.
    static GoogleOAuthConfiguration load(const Environment& environment, const Bundle& bundle);

    /// Never empty, trimmed.
    const std::string& clientID() const { return clientID_; }
    /// Absent when not configured or blank.
    const std::optional<std::string>& clientSecret() const { return clientSecret_; }
    /// Always "/oauth2/callback".
    const std::string& callbackPath() const { return callbackPath_; }
    /// "openid", "email" and Gmail's read-only scope, in that order.
    const std::vector<std::string>& scopes() const { return scopes_; }
    /// The emulator's base URL (normalised) when "GOOGLE_EMULATOR_URL" held a usable URL.
    const std::optional<std::string>& serviceBaseURL() const { return serviceBaseURL_; }

    std::string authorizationEndpoint() const;
    std::string tokenEndpoint() const;
    std::string revokeEndpoint() const;
    std::string userInfoEndpoint() const;
    /// The base URL for the Gmail client, ending in "gmail/v1/users/me".
    std::string gmailEndpoint() const;

    friend bool operator==(const GoogleOAuthConfiguration&, const GoogleOAuthConfiguration&) = default;

private:
    GoogleOAuthConfiguration(std::string clientID, std::optional<std::string> clientSecret,
                             std::optional<std::string> serviceBaseURL);

    /// With an emulator: `emulatorPath` appended to its base URL; otherwise Google's own `googleURL`.
    std::string endpoint(std::string_view emulatorPath, std::string_view googleURL) const;

    std::string clientID_;
    std::optional<std::string> clientSecret_;
    std::string callbackPath_;
    std::vector<std::string> scopes_;
    std::optional<std::string> serviceBaseURL_;
};

} // namespace larkpin
