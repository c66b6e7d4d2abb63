#pragma once

#include "app/services/GoogleOAuthAccount.h"
#include "app/services/GoogleOAuthConfiguration.h"
#include "app/services/TokenManager.h"
#include "core/network/HTTPSession.h"
#include "core/support/Clock.h"

#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>

namespace larkpin {

/// Connects one Gmail account interactively: the consent page in the browser with a PKCE challenge,
/// the code on a loopback redirect, the code exchange, the userinfo check, then the refresh token
/// into the Secret Service and the access token into the token manager's cache.
///
/// `authorize` blocks until the attempt is decided; the application runs it off its UI thread and
/// cancels it through the stop token. The client holds no per-attempt state.
class GoogleOAuthClient {
public:
    class Error : public std::runtime_error {
    public:
        enum class Kind { invalidAuthorizationURL, browserOpenFailed, invalidUserInfo, unverifiedEmail };

        static Error invalidAuthorizationURL();
        static Error browserOpenFailed();
        static Error invalidUserInfo();
        static Error unverifiedEmail();

        Kind kind() const { return kind_; }
        friend bool operator==(const Error& a, const Error& b) { return a.kind_ == b.kind_; }

    private:
        Error(Kind kind, const std::string& description);
        Kind kind_;
    };

    /// Who the userinfo endpoint says the account is.
    struct UserInfo {
        std::string sub;
        std::string email;
        bool emailVerified = false;
    };

    /// The environment variable naming the desktop entry of the browser to use for consent.
    static constexpr auto browserVariable = "LARKPIN_OAUTH_BROWSER_BUNDLE_ID";

    /// Without a token manager, one is made from the configuration with the application's Secret
    /// Service items and the same session. `environment` is read for the browser choice.
    GoogleOAuthClient(GoogleOAuthConfiguration configuration, std::shared_ptr<TokenManager> tokenManager,
                      std::shared_ptr<const HTTPSession> session,
                      GoogleOAuthConfiguration::Environment environment,
                      std::shared_ptr<const Clock> clock = SystemClock::shared());

    /// The configuration from the process environment and the build-time values, a new session
    /// and a new token manager. Throws GoogleOAuthConfiguration::Error without a client id.
    static std::unique_ptr<GoogleOAuthClient> fromProcess();

    /// One attempt, strictly in order: listen on the loopback, open the consent page, wait for the
    /// redirect (at most `timeout`, or until `stopToken` asks to stop), exchange the code, check the
    /// account, keep its tokens. Nothing is stored unless every step before succeeded.
    GoogleOAuthAccount authorize(std::chrono::milliseconds timeout, std::stop_token stopToken = {}) const;

    TokenManager& tokenManager() const { return *tokenManager_; }
    const GoogleOAuthConfiguration& configuration() const { return configuration_; }

    /// The consent URL: the authorization endpoint with exactly the ten query items, in order.
    std::optional<std::string> authorizationURL(const std::string& redirectURI, const std::string& challenge,
                                                const std::string& state) const;

private:
    void openAuthorizationURL(const std::string& url) const;
    UserInfo userInfo(const std::string& accessToken) const;

    GoogleOAuthConfiguration configuration_;
    std::shared_ptr<const HTTPSession> session_;
    std::shared_ptr<TokenManager> tokenManager_;
    GoogleOAuthConfiguration::Environment environment_;
    std::shared_ptr<const Clock> clock_;
};

} // namespace larkpin
