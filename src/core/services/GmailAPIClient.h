#pragma once

#include "core/models/GmailHistoryPage.h"
#include "core/models/GmailMessage.h"
#include "core/models/GmailMessageDecoder.h"
#include "core/models/GmailProfile.h"
#include "core/network/HTTPSession.h"

#include <nlohmann/json_fwd.hpp>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace larkpin {

/// Gmail's REST API, read-only: one authorised GET per operation, HTTP failures mapped to APIError,
/// bodies decoded into records. Keeps nothing between calls but the message decoder's buffers, and
/// never retries.
class GmailAPIClient {
public:
    class APIError : public std::runtime_error {
    public:
        enum class Kind { rateLimited, response, invalidHistory, unauthorized, malformedResponse };

        /// `retryAfter`: the server's delay in seconds, when it gave one.
        static APIError rateLimited(std::optional<double> retryAfter);
        static APIError response(int status);
        static APIError invalidHistory();
        static APIError unauthorized();
        static APIError malformedResponse();

        Kind kind() const { return kind_; }
        std::optional<double> retryAfter() const { return retryAfter_; }
        int status() const { return status_; }

        friend bool operator==(const APIError& a, const APIError& b)
        {
            return a.kind_ == b.kind_ && a.retryAfter_ == b.retryAfter_ && a.status_ == b.status_;
        }

    private:
        APIError(Kind kind, const std::string& description, std::optional<double> retryAfter = std::nullopt,
                 int status = 0);
        Kind kind_;
        std::optional<double> retryAfter_;
        int status_;
    };

    /// Yields a current access token; called once per request, just before sending. May throw.
    using AccessTokenProvider = std::function<std::string()>;

    static constexpr std::chrono::milliseconds defaultTimeout{20'000};

    /// `baseURL` is the mailbox's base, ending in "gmail/v1/users/me". Every request gives up after
    /// `timeout` without progress.
    GmailAPIClient(std::shared_ptr<const HTTPSession> session, std::string baseURL, AccessTokenProvider accessToken,
                   std::chrono::milliseconds timeout = defaultTimeout);

    /// A request for one message, sent but perhaps not yet answered, so that the caller can work
    /// while Gmail answers.
    class MessageRequest {
    public:
        /// Waits for the whole answer, which frees the connection for the next request. Throws
        /// what `message` throws, a failure to send included, except decoding errors.
        void wait();
        /// Waits if need be, then decodes the answer; throws what `message` throws. Call it once.
        GmailMessage get();

    private:
        friend class GmailAPIClient;
        MessageRequest() = default;

        std::shared_ptr<const HTTPSession> session_; ///< kept alive while the transfer runs
        std::optional<HTTPSession::Transfer> transfer_;
        std::optional<std::string> body_;
        std::shared_ptr<GmailMessageDecoder> decoder_;
        std::exception_ptr failure_;
    };

    GmailProfile profile() const;
    /// The newest messages of the last day, in Gmail's order.
    std::vector<std::string> recentMessageIDs(int maxResults) const;
    /// Every message added since `since`, over all pages, each once and sorted.
    GmailHistoryPage history(const std::string& since) const;
    GmailMessage message(const std::string& id) const;
    /// Sends the request for a message and returns without waiting for the answer. Never throws:
    /// every failure comes from the request's `wait` or `get`.
    MessageRequest requestMessage(const std::string& id) const noexcept;

private:
    using QueryItems = std::vector<std::pair<std::string, std::string>>;
    HTTPSession::Request request(const std::vector<std::string>& segments, const QueryItems& query) const;
    /// The body of a successful answer; every other outcome is thrown as the matching error.
    static std::string bodyOf(HTTPSession::Response response, bool isHistory);
    nlohmann::json get(const std::vector<std::string>& segments, const QueryItems& query) const;

    std::shared_ptr<const HTTPSession> session_;
    std::string baseURL_;
    AccessTokenProvider accessToken_;
    std::chrono::milliseconds timeout_;
    /// Shared by copies of the client; it keeps its buffers from one message to the next.
    std::shared_ptr<GmailMessageDecoder> decoder_ = std::make_shared<GmailMessageDecoder>();
};

} // namespace larkpin
