#include "app/services/TokenManager.h"

#include "app/services/GoogleOAuthError.h"

#include <exception>

namespace larkpin {

TokenManager::TokenManager(std::string clientID, std::optional<std::string> clientSecret, std::string tokenURL,
                           std::string revokeURL, KeychainTokenStore keychain,
                           std::shared_ptr<const HTTPSession> session, std::shared_ptr<const Clock> clock)
    : clientID_(std::move(clientID))
    , clientSecret_(std::move(clientSecret))
    , tokenURL_(std::move(tokenURL))
    , revokeURL_(std::move(revokeURL))
    , keychain_(std::move(keychain))
    , session_(std::move(session))
    , clock_(std::move(clock))
{
}

TokenManager::TokenManager(const GoogleOAuthConfiguration& configuration, KeychainTokenStore keychain,
                           std::shared_ptr<const HTTPSession> session, std::shared_ptr<const Clock> clock)
    : TokenManager(configuration.clientID(), configuration.clientSecret(), configuration.tokenEndpoint(),
                   configuration.revokeEndpoint(), std::move(keychain), std::move(session), std::move(clock))
{
}

std::string TokenManager::accessToken(const std::string& accountID)
{
    std::shared_ptr<Refresh> refresh;
    GoogleOAuthTokenEndpoint::Form form;
    {
        std::unique_lock lock(mutex_);
        if (auto fresh = freshToken(accountID))
            return std::move(*fresh);
        if (const auto running = refreshes_.find(accountID); running != refreshes_.end()) {
            const std::shared_future<std::string> result = running->second->result;
            lock.unlock();
            return result.get();
        }
        // Read under the lock, so that a second caller finds the refresh below instead of starting one.
        const auto unsaved = unsavedRefreshTokens_.find(accountID);
        auto stored =
            unsaved != unsavedRefreshTokens_.end() ? unsaved->second : keychain_.refreshToken(accountID);
        if (!stored)
            throw GoogleOAuthError::missingStoredRefreshToken();
        form = {{"client_id", clientID_}, {"grant_type", "refresh_token"}, {"refresh_token", std::move(*stored)}};
        if (clientSecret_ && !clientSecret_->empty())
            form.emplace_back("client_secret", *clientSecret_);
        refresh = std::make_shared<Refresh>();
        refreshes_.emplace(accountID, refresh);
    }

    try {
        const GoogleOAuthToken token = GoogleOAuthTokenEndpoint::request(form, tokenURL_, *session_, *clock_);
        std::string value = completeRefresh(accountID, refresh, token);
        refresh->promise.set_value(value);
        return value;
    } catch (...) {
        {
            const std::lock_guard lock(mutex_);
            if (const auto running = refreshes_.find(accountID);
                running != refreshes_.end() && running->second == refresh)
                refreshes_.erase(running);
        }
        refresh->promise.set_exception(std::current_exception());
        throw;
    }
}

std::string TokenManager::completeRefresh(const std::string& accountID, const std::shared_ptr<Refresh>& refresh,
                                          const GoogleOAuthToken& token)
{
    const std::lock_guard lock(mutex_);
    const auto running = refreshes_.find(accountID);
    if (running == refreshes_.end() || running->second != refresh) {
        // The account was disconnected, or authorized afresh, while the request was out: its answer
        // must not bring back a removed token or overwrite the newer authorization.
        if (auto fresh = freshToken(accountID))
            return std::move(*fresh);
        throw GoogleOAuthError::missingStoredRefreshToken();
    }
    const auto unsaved = unsavedRefreshTokens_.find(accountID);
    if (token.refreshToken || unsaved != unsavedRefreshTokens_.end()) {
        const std::string refreshToken = token.refreshToken ? *token.refreshToken : unsaved->second;
        try {
            keychain_.saveRefreshToken(refreshToken, accountID);
        } catch (const KeychainTokenStore::Error&) {
            unsavedRefreshTokens_[accountID] = refreshToken; // the caller reports the failure
            throw;
        }
        unsavedRefreshTokens_.erase(accountID);
    }
    accessTokens_[accountID] = CachedToken{token.accessToken, token.expiresAt};
    refreshes_.erase(running);
    return token.accessToken;
}

void TokenManager::removeAuthorization(const std::string& accountID)
{
    std::optional<std::string> revocable;
    std::exception_ptr deletionFailure;
    {
        const std::lock_guard lock(mutex_);
        // The refresh token stands for the whole grant, and unlike a cached access token it cannot
        // have expired already; revoking either ends the grant at Google.
        revocable = keychain_.refreshToken(accountID);
        if (const auto unsaved = unsavedRefreshTokens_.find(accountID);
            unsaved != unsavedRefreshTokens_.end()) {
            revocable = unsaved->second;
            unsavedRefreshTokens_.erase(unsaved);
        }
        refreshes_.erase(accountID); // a refresh still running will not store its answer
        if (const auto cached = accessTokens_.find(accountID); cached != accessTokens_.end()) {
            if (!revocable)
                revocable = cached->second.value;
            accessTokens_.erase(cached);
        }
        // Deleted before the lock is released, so that no refresh can start from the old item.
        try {
            keychain_.deleteRefreshToken(accountID);
        } catch (const KeychainTokenStore::Error&) {
            deletionFailure = std::current_exception();
        }
    }
    if (revocable) {
        try {
            revoke(*revocable);
        } catch (const std::exception&) {
            // Disconnecting must work offline too; the grant then stays until the user removes it.
        }
    }
    if (deletionFailure)
        std::rethrow_exception(deletionFailure);
}

void TokenManager::storeAuthorization(const std::string& accountID, const GoogleOAuthToken& token)
{
    const std::lock_guard lock(mutex_);
    if (token.refreshToken) {
        keychain_.saveRefreshToken(*token.refreshToken, accountID);
        unsavedRefreshTokens_.erase(accountID);
    } else if (!unsavedRefreshTokens_.contains(accountID) && !keychain_.refreshToken(accountID)) {
        throw GoogleOAuthError::missingRefreshToken();
    }
    refreshes_.erase(accountID);
    accessTokens_[accountID] = CachedToken{token.accessToken, token.expiresAt};
}

std::optional<std::string> TokenManager::freshToken(const std::string& accountID) const
{
    const auto cached = accessTokens_.find(accountID);
    if (cached == accessTokens_.end() || cached->second.expiresAt <= clock_->now() + expiryMargin)
        return std::nullopt;
    return cached->second.value;
}

void TokenManager::revoke(const std::string& token) const
{
    HTTPSession::Request request;
    request.method = "POST";
    request.url = revokeURL_;
    request.headers = {{"Content-Type", "application/x-www-form-urlencoded"}};
    request.body = GoogleOAuthTokenEndpoint::encodedForm({{"token", token}});
    request.timeout = revocationTimeout;
    const HTTPSession::Response response = session_->send(request);
    if (response.status < 200 || response.status > 299)
        throw GoogleOAuthError::invalidResponse();
}

void TokenManager::forgetAccessToken(const std::string& accountID)
{
    const std::lock_guard lock(mutex_);
    accessTokens_.erase(accountID);
}

} // namespace larkpin
