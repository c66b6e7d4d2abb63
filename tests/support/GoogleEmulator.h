#pragma once

#include "support/ChildProcess.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace larkpin::test {

/// Runs larkpin-google-emulator as a child process for one test and drives its control API.
/// Construction returns once the emulator accepts connections; destruction stops it. Tests get the
/// binary's path from LARKPIN_GOOGLE_EMULATOR_PATH. Every control method throws std::runtime_error
/// when the emulator refuses the request or cannot be reached. The emulator is also ended when the
/// thread that started it ends, so that a crashed test leaves none behind: start it from the test's
/// own thread, not from a short-lived helper thread.
class GoogleEmulator {
public:
    /// A message to inject. Empty texts and absent options take the emulator's defaults. Every
    /// member has an initializer so that designated initializers may name only a few.
    struct Message {
        std::string mailbox{}; ///< empty: the first mailbox added
        std::string from{};
        std::string subject{};
        std::string plain{};
        std::string html{};
        std::string structure{}; ///< plain, html, alternative, nested or raw; empty: chosen from the texts
        std::optional<double> receivedAt{}; ///< seconds since 1970; default now
        std::optional<double> age{};        ///< seconds before now
        std::optional<nlohmann::json>
            internalDate{}; ///< served verbatim: integer ms, any text, or null (none)
        std::optional<std::string> id{};
        std::optional<nlohmann::json> payload{}; ///< raw: the whole payload object, or null for none
    };

    /// What the next request to a path gets instead of (or on top of) its normal answer.
    struct Fault {
        std::string kind; ///< status, delay, notJSON, missingKey, drop, trickle or stall
        std::optional<int> status;
        std::map<std::string, std::string> headers;
        std::optional<std::string> body;
        std::optional<std::string> key;
        std::chrono::milliseconds delay{0};
        std::size_t bytes = 0;                 ///< trickle
        std::chrono::milliseconds interval{0}; ///< trickle and stall

        /// This status; without a body, a Gmail-style error (or "{}" for a 2xx).
        static Fault httpStatus(int status, std::map<std::string, std::string> headers = {},
                                std::optional<std::string> body = std::nullopt);
        /// Waits, then answers normally.
        static Fault delayed(std::chrono::milliseconds delay);
        static Fault notJSON(int status = 200);
        /// The normal answer without the key (default: the endpoint's main required key).
        static Fault missingKey(std::string key = {});
        /// Sends the headers and half of the normal body, then closes the connection.
        static Fault dropConnection();
        /// Sends the headers, then the normal body `bytes` at a time, one piece every `interval`.
        static Fault trickle(std::size_t bytes, std::chrono::milliseconds interval);
        /// Sends the headers and half of the normal body, falls silent for `silence`, then sends the rest.
        static Fault stall(std::chrono::milliseconds silence);
        /// The same fault, answered after a wait.
        Fault after(std::chrono::milliseconds wait) const;
        /// Google's OAuth error answer: this status with {"error": error, "error_description": ...}.
        static Fault oauthError(const std::string& error, int status = 400);
    };

    /// How the emulator's Google OAuth side behaves; absent members keep their current value.
    struct OAuthSettings {
        std::optional<int> accessTokenLifetime{};     ///< "expires_in" of new access tokens (default 3599)
        std::optional<bool> refreshTokenOnExchange{}; ///< an offline code exchange returns a refresh token (true)
        std::optional<bool> rotateRefreshTokens{};    ///< a refresh returns a new refresh token, retiring the old (false)
        std::optional<std::string> consent{};         ///< "ask" (the page), "allow" or "deny" at once
        std::optional<std::string> consentMailbox{};  ///< whom "allow" signs in; default the first mailbox
        std::optional<std::string> denyError{};       ///< the redirect's error for "deny" (access_denied)
    };

    /// What userinfo says about a mailbox's account; absent members keep their current value.
    struct OAuthAccount {
        std::optional<std::string> sub{};
        std::optional<std::string> email{};
        std::optional<bool> emailVerified{};
    };

    /// A grant made through the control API, as if the user had consented earlier.
    struct Grant {
        std::string mailbox;
        std::string sub;
        std::string accessToken;
        std::string refreshToken;
        int expiresIn = 0;
    };

    /// One grant as the emulator holds it.
    struct GrantState {
        std::string mailbox;
        std::string clientID; ///< empty: any client may use it
        std::vector<std::string> scopes;
        std::optional<std::string> refreshToken;
        bool active = false;
    };

    /// One request that reached an OAuth endpoint, as it arrived.
    struct OAuthRequest {
        std::string method;
        std::string path;
        std::string query; ///< the raw query, without "?"
        std::string contentType;
        std::string body;
    };

    /// One request that reached a Gmail endpoint.
    struct GmailRequest {
        std::string path;
        std::string query; ///< the raw query, without "?"
    };

    struct Counters {
        std::map<std::string, std::uint64_t> requests; ///< per path, control API left out
        std::uint64_t totalRequests = 0;
        std::uint64_t connections = 0;
        std::uint64_t tokenRequests = 0;

        std::uint64_t requestsTo(const std::string& path) const;
    };

    /// Starts the emulator with extra command-line arguments (for example --mailbox or --messages).
    explicit GoogleEmulator(const std::filesystem::path& executable,
                            const std::vector<std::string>& arguments = {});
    GoogleEmulator(const GoogleEmulator&) = delete;
    GoogleEmulator& operator=(const GoogleEmulator&) = delete;

    /// "http://127.0.0.1:PORT", without a trailing slash.
    const std::string& baseURL() const { return baseURL_; }
    /// The base URL that the Gmail client is given: baseURL() + "/gmail/v1/users/me".
    std::string gmailBaseURL() const { return baseURL_ + "/gmail/v1/users/me"; }
    int port() const { return port_; }
    /// The OAuth endpoints, as GoogleOAuthConfiguration derives them from baseURL().
    std::string authorizationURL() const { return baseURL_ + "/o/oauth2/v2/auth"; }
    std::string tokenURL() const { return baseURL_ + "/oauth2/token"; }
    std::string revokeURL() const { return baseURL_ + "/revoke"; }
    std::string userInfoURL() const { return baseURL_ + "/oauth2/v2/userinfo"; }

    void addMailbox(const std::string& email, const std::string& token);
    /// Returns the new message's id.
    std::string addMessage(const Message& message);
    /// Fetching the message answers 404 from now on; history keeps listing its addition.
    void deleteMessage(const std::string& id, const std::string& mailbox = {});
    /// History from any start point before the current history id answers 404. Empty: every mailbox.
    void expireHistory(const std::string& mailbox = {});
    void setHistoryPageSize(int size);
    /// Queues a fault for an exact path without query. A relative path ("history", "messages/ID")
    /// is taken under /gmail/v1/users/me/.
    void queueFault(const std::string& path, const Fault& fault);
    void clearFaults();
    Counters counters() const;
    /// Also empties the logs of Gmail and OAuth requests.
    void resetCounters();
    /// The requests that reached the Gmail endpoints since the start or the last resetCounters(), oldest
    /// first.
    std::vector<GmailRequest> gmailRequests() const;

    /// Only this client id (and, when given, this secret) is served from now on.
    void setOAuthClient(const std::string& clientID, const std::optional<std::string>& clientSecret = std::nullopt);
    void configureOAuth(const OAuthSettings& settings);
    void setOAuthAccount(const std::string& mailbox, const OAuthAccount& account);
    /// A live grant for the mailbox (empty: the first) with a refresh token and a first access token.
    /// `clientID` empty: the configured client's, or any client's when none is configured.
    Grant addGrant(const std::string& mailbox = {}, const std::string& clientID = {});
    std::vector<GrantState> grants() const;
    /// Ends every grant of the mailbox (empty: of all), as a user withdrawing access does. Returns how many.
    std::size_t revokeGrants(const std::string& mailbox = {});
    /// The requests that reached the OAuth endpoints since the start or the last resetCounters(), oldest first.
    std::vector<OAuthRequest> oauthRequests() const;

    /// Any control call: method GET or POST, a path under /_emulator/, a JSON body for POST.
    nlohmann::json control(const std::string& method, const std::string& path,
                           const nlohmann::json& body = nlohmann::json::object()) const;

    /// Sends SIGTERM and waits for the emulator to end (SIGKILL after 10 seconds). Returns its exit
    /// status, or -1 when a signal ended it. Later calls return the same status.
    int stop();

private:
    ChildProcess process_;
    int port_ = 0;
    std::string baseURL_;
};

} // namespace larkpin::test
