#pragma once

#include "FormEncoding.h"
#include "GmailState.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace larkpin::emulator {

/// Google's OAuth side for the emulator's mailboxes: the consent page, authorization codes bound to
/// a client, a loopback redirect URI and a PKCE challenge, grants with their refresh and access
/// tokens, revocation and userinfo. The access tokens it issues open their mailbox's Gmail endpoints.
///
/// Not thread-safe: the server holds one lock around every call, as for GmailState. Requests that
/// Google would refuse throw OAuthError (or GmailError for Gmail); control mistakes throw BadRequest.
class OAuthState {
public:
    using Clock = std::chrono::steady_clock;
    using Params = std::multimap<std::string, std::string>;

    /// What the browser gets from the authorization endpoint: a page, or a redirect to follow.
    struct BrowserAnswer {
        int status = 200;
        std::string html;
        std::optional<std::string> location; ///< with status 302
    };

    // Google's endpoints.

    /// GET o/oauth2/v2/auth: checks the request, then shows the consent page or, when the control
    /// API says so, redirects at once with a code or an error. Malformed requests get a 400 page.
    BrowserAnswer authorize(const GmailState& gmail, const Params& query, Clock::time_point now);
    /// The consent page's form: "request", "mailbox" and "decision" (allow or deny).
    BrowserAnswer decide(const GmailState& gmail, const form_encoding::Pairs& form, Clock::time_point now);
    /// POST oauth2/token with grant_type authorization_code or refresh_token.
    nlohmann::json token(const form_encoding::Pairs& form, Clock::time_point now);
    /// POST revoke: ends the grant that the refresh or access token belongs to.
    void revoke(const std::string& token);
    /// GET oauth2/v2/userinfo for an access token this emulator issued (or a mailbox's own token).
    nlohmann::json userInfo(const GmailState& gmail, const std::string& accessToken, Clock::time_point now) const;
    /// The mailbox an access token issued here opens; nothing for a token it never issued. Throws
    /// GmailError 401 for an expired or revoked one, 403 for one without a Gmail scope.
    std::optional<std::string> gmailMailbox(const std::string& accessToken, Clock::time_point now) const;

    // The control API.

    /// {"clientId"?, "clientSecret"?}: from now on only that client (with that secret) is served;
    /// without "clientId" any client is.
    nlohmann::json setClient(const nlohmann::json& body);
    /// {"accessTokenLifetime"?, "refreshTokenOnExchange"?, "rotateRefreshTokens"?, "consent"?,
    /// "consentMailbox"?, "denyError"?}; keys left out keep their value. Returns all settings.
    nlohmann::json updateSettings(const GmailState& gmail, const nlohmann::json& body);
    nlohmann::json settingsJSON() const;
    /// {"mailbox", "sub"?, "email"?, "emailVerified"?}: what userinfo says about the mailbox's account.
    nlohmann::json setAccount(const GmailState& gmail, const nlohmann::json& body);
    /// {"mailbox"?, "clientId"?, "scopes"?}: a grant as if the user had consented earlier, with a
    /// refresh token and a first access token.
    nlohmann::json addGrant(const GmailState& gmail, const nlohmann::json& body, Clock::time_point now);
    nlohmann::json grantsJSON() const;
    /// {"mailbox"?}: ends every grant of the mailbox (of every mailbox without one), as a user
    /// removing the application's access in their Google account does.
    nlohmann::json revokeGrants(const GmailState& gmail, const nlohmann::json& body);
    /// Keeps a request to an OAuth endpoint for the control API to show (the newest 1000).
    void record(nlohmann::json request);
    nlohmann::json requestsJSON() const { return nlohmann::json(requests_); }
    void clearRequests() { requests_.clear(); }

private:
    enum class Consent { ask, allow, deny };

    struct Settings {
        int accessTokenLifetime = 3599;
        bool refreshTokenOnExchange = true;
        bool rotateRefreshTokens = false;
        Consent consent = Consent::ask;
        std::optional<std::string> consentMailbox;
        std::string denyError = "access_denied";
    };
    struct Account {
        std::optional<std::string> sub;
        std::optional<std::string> email;
        bool emailVerified = true;
    };
    struct AuthorizationRequest {
        std::string clientId;
        std::string redirectUri;
        std::optional<std::string> state;
        std::string challenge;
        std::vector<std::string> scopes;
        bool offline = false;
        std::optional<std::string> prompt;
    };
    struct Code {
        AuthorizationRequest request;
        std::string mailbox;
        Clock::time_point issuedAt;
        bool used = false;
    };
    struct Grant {
        std::string mailbox;
        std::string clientId; ///< empty: any client may use it
        std::vector<std::string> scopes;
        std::optional<std::string> refreshToken;
        bool active = true;
    };
    struct AccessToken {
        std::size_t grant = 0;
        Clock::time_point expiresAt;
    };
    struct ResolvedAccount {
        std::string sub;
        std::string email;
        bool emailVerified = true;
    };

    void checkClient(const std::string& clientId, const std::optional<std::string>& secret) const;
    nlohmann::json exchange(const form_encoding::Pairs& form, const std::string& clientId, Clock::time_point now);
    nlohmann::json refresh(const form_encoding::Pairs& form, const std::string& clientId, Clock::time_point now);
    /// The token answer: a new access token for the grant, and the refresh token when given.
    nlohmann::json issue(std::size_t grant, const std::optional<std::string>& refreshToken, Clock::time_point now);
    BrowserAnswer codeRedirect(const AuthorizationRequest& request, const std::string& mailbox, Clock::time_point now);
    BrowserAnswer errorRedirect(const AuthorizationRequest& request, const std::string& error) const;
    BrowserAnswer consentPage(const GmailState& gmail, const AuthorizationRequest& request);
    /// The grant an issued access token belongs to, if it is known, unexpired and not revoked.
    const Grant* liveGrant(const std::string& accessToken, Clock::time_point now, bool& known) const;
    ResolvedAccount account(const std::string& mailbox) const;
    std::string mailboxOrFirst(const GmailState& gmail, const std::optional<std::string>& mailbox) const;
    std::string randomText(std::size_t length);

    std::optional<std::string> clientId_;
    std::optional<std::string> clientSecret_;
    Settings settings_;
    std::map<std::string, Account> accounts_;
    std::map<std::string, AuthorizationRequest> pending_; ///< consent pages not answered yet
    std::deque<std::string> pendingOrder_;
    std::map<std::string, Code> codes_;
    std::vector<Grant> grants_;
    std::map<std::string, std::size_t> refreshTokens_;
    std::map<std::string, AccessToken> accessTokens_;
    std::deque<nlohmann::json> requests_;
    std::mt19937_64 random_{std::random_device{}()};
};

} // namespace larkpin::emulator
