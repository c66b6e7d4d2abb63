#pragma once

#include "app/services/GoogleOAuthConfiguration.h"
#include "app/services/GoogleOAuthToken.h"
#include "app/services/GoogleOAuthTokenEndpoint.h"
#include "app/services/KeychainTokenStore.h"
#include "core/network/HTTPSession.h"
#include "core/support/Clock.h"

#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace larkpin {

/// Hands out access tokens per account. They live only here, in memory; refresh tokens live only in
/// the Secret Service (`keychain()`). A token counts as expired 60 seconds before its expiry, and is
/// then refreshed with the stored refresh token.
///
/// Safe to call from any thread. One mutex guards the cache and the running refreshes and also
/// serialises every Secret Service call; it is never held during network I/O. Concurrent callers
/// for one account share a single refresh: the first caller makes the request on its own thread,
/// the others wait for its outcome. Different accounts refresh independently.
class TokenManager {
public:
    /// An access token in the cache.
    struct CachedToken {
        std::string value;
        TimePoint expiresAt;

        friend bool operator==(const CachedToken&, const CachedToken&) = default;
    };

    /// A cached token is served only while it expires later than now plus this margin.
    static constexpr Seconds expiryMargin{60};
    static constexpr std::chrono::seconds revocationTimeout{10};

    TokenManager(std::string clientID, std::optional<std::string> clientSecret, std::string tokenURL,
                 std::string revokeURL, KeychainTokenStore keychain, std::shared_ptr<const HTTPSession> session,
                 std::shared_ptr<const Clock> clock = SystemClock::shared());
    /// Client id and secret, token and revocation endpoints from the configuration.
    TokenManager(const GoogleOAuthConfiguration& configuration, KeychainTokenStore keychain,
                 std::shared_ptr<const HTTPSession> session, std::shared_ptr<const Clock> clock = SystemClock::shared());

    TokenManager(const TokenManager&) = delete;
    TokenManager& operator=(const TokenManager&) = delete;

    /// A current access token for the account: from the cache while it is fresh, else from a refresh
    /// (shared with any refresh already running for the account). A refresh answer's new refresh
    /// token replaces the stored one. Throws GoogleOAuthError (`missingStoredRefreshToken` without
    /// a stored refresh token; `oauth`, `response` or `invalidResponse` from the token endpoint),
    /// KeychainTokenStore::Error, or HTTPSession::TransportError. A failure leaves the cache and the
    /// stored refresh token as they were; when only saving a new refresh token failed, the new one is
    /// kept in memory and used, and saved, by the next call.
    std::string accessToken(const std::string& accountID);

    /// Disconnects the account: revokes its grant at Google (the stored refresh token, else the
    /// cached access token; a failed revocation is ignored), forgets its cached token and any running
    /// refresh, and deletes its stored refresh token. An account with nothing stored or cached makes
    /// no network call. Throws KeychainTokenStore::Error; a failed read removes nothing.
    void removeAuthorization(const std::string& accountID);

    /// Keeps what a successful authorization of the account yielded: saves the token's refresh token,
    /// or, when it brought none, requires one stored from an earlier connection (else
    /// `missingRefreshToken`, and nothing changes); then caches the access token. A refresh still
    /// running for the account no longer updates anything. Throws GoogleOAuthError or
    /// KeychainTokenStore::Error.
    void storeAuthorization(const std::string& accountID, const GoogleOAuthToken& token);

    const KeychainTokenStore& keychain() const { return keychain_; }

    /// Drops the account's cached access token, so that its next accessToken() refreshes. Touches
    /// neither the Secret Service nor Google, and leaves a running refresh alone.
    void forgetAccessToken(const std::string& accountID);

private:
    /// One refresh in flight: the starting caller fulfils the promise, everyone waits on `result`.
    struct Refresh {
        std::promise<std::string> promise;
        std::shared_future<std::string> result = promise.get_future().share();
    };

    /// The cached token, while it is fresh. Call with `mutex_` held.
    std::optional<std::string> freshToken(const std::string& accountID) const;
    /// Applies a finished refresh under the lock; returns the access token for its callers.
    std::string completeRefresh(const std::string& accountID, const std::shared_ptr<Refresh>& refresh,
                                const GoogleOAuthToken& token);
    /// POSTs the token to the revocation endpoint. Throws on any failure; the caller ignores it.
    void revoke(const std::string& token) const;

    std::string clientID_;
    std::optional<std::string> clientSecret_;
    std::string tokenURL_;
    std::string revokeURL_;
    KeychainTokenStore keychain_;
    std::shared_ptr<const HTTPSession> session_;
    std::shared_ptr<const Clock> clock_;

    std::mutex mutex_; // guards the maps below and serialises the Secret Service calls
    std::map<std::string, CachedToken> accessTokens_;
    std::map<std::string, std::shared_ptr<Refresh>> refreshes_;
    /// Refresh tokens Google handed out that the Secret Service refused to save. Google may have
    /// retired the stored one already, so these stand for the grant until a save succeeds.
    std::map<std::string, std::string> unsavedRefreshTokens_;
};

} // namespace larkpin
