#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace larkpin {

/// HTTP over libcurl with one connection pool for everyone who holds the session: requests to a
/// host reuse its kept-alive connection, from any thread. A process makes one and shares it.
class HTTPSession {
public:
    /// The request never produced a response: no connection, a timeout, a connection dropped
    /// part-way, an oversized body. `what()` is libcurl's account of it.
    class TransportError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    struct Request {
        std::string method = "GET";
        std::string url;
        std::vector<std::pair<std::string, std::string>> headers;
        std::optional<std::string> body; ///< sent as given, for POST
        /// How long the request may go without a byte moving, from connecting to the last byte of
        /// the answer; a large answer may take longer as a whole.
        std::chrono::milliseconds timeout = std::chrono::seconds(20);
    };

    struct Response {
        long status = 0; ///< 0 when the answer was not HTTP
        std::vector<std::pair<std::string, std::string>> headers;
        std::string body;

        /// The first header of that name, compared without regard to case.
        std::optional<std::string> header(std::string_view name) const;
    };

    /// Bodies larger than this are refused rather than held in memory.
    static constexpr std::size_t maximumBodyBytes = 128u * 1024 * 1024;

    /// A request on its way: sent as far as the connection allows, its answer collected by
    /// `finish`. Abandoning an unfinished transfer closes its connection. A transfer must end
    /// before the session that started it.
    class Transfer {
    public:
        Transfer(Transfer&&) noexcept;
        Transfer& operator=(Transfer&&) noexcept;
        ~Transfer();

        /// Waits for the whole answer. Throws TransportError. Call it once.
        Response finish();

    private:
        friend class HTTPSession;
        struct State;
        explicit Transfer(std::unique_ptr<State> state);
        std::unique_ptr<State> state_;
    };

    HTTPSession();
    ~HTTPSession();
    HTTPSession(const HTTPSession&) = delete;
    HTTPSession& operator=(const HTTPSession&) = delete;

    /// Sends the request and waits for the whole answer. Throws TransportError.
    Response send(const Request& request) const;
    /// Sends the request and returns without waiting, so the caller can work while the server
    /// answers. Throws TransportError when the request cannot be started.
    Transfer start(const Request& request) const;

    /// Escapes text for use as one path segment.
    static std::string escapePathSegment(std::string_view text);
    /// Escapes text for use as a query item's name or value.
    static std::string escapeQueryValue(std::string_view text);

private:
    struct Shared;
    std::unique_ptr<Shared> shared_;
};

} // namespace larkpin
