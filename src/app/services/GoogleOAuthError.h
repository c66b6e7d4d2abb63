#pragma once

#include <stdexcept>
#include <string>

namespace larkpin {

/// Google's token endpoint refused or answered nonsense, or there is no refresh token to use.
/// `what()` is the user-facing description; it never contains a token, code or verifier.
class GoogleOAuthError : public std::runtime_error {
public:
    enum class Kind { oauth, response, invalidResponse, missingRefreshToken, missingStoredRefreshToken };

    /// `error`: the "error" value of Google's answer, such as "invalid_grant".
    static GoogleOAuthError oauth(const std::string& error);
    /// `status`: the HTTP status of an error answer that was not Google's JSON.
    static GoogleOAuthError response(int status);
    static GoogleOAuthError invalidResponse();
    static GoogleOAuthError missingRefreshToken();
    static GoogleOAuthError missingStoredRefreshToken();

    Kind kind() const { return kind_; }
    /// The "error" value of `oauth`; empty otherwise.
    const std::string& oauthError() const { return oauthError_; }
    /// The HTTP status of `response`; 0 otherwise.
    int status() const { return status_; }

    friend bool operator==(const GoogleOAuthError& a, const GoogleOAuthError& b)
    {
        return a.kind_ == b.kind_ && a.oauthError_ == b.oauthError_ && a.status_ == b.status_;
    }

private:
    GoogleOAuthError(Kind kind, const std::string& description, std::string oauthError = {}, int status = 0);
    Kind kind_;
    std::string oauthError_;
    int status_;
};

} // namespace larkpin
