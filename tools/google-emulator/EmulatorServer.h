#pragma once

#include "Fault.h"
#include "GmailState.h"
#include "NewMessage.h"
#include "OAuthState.h"

#include <httplib.h>
#include <nlohmann/json.hpp>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace larkpin::emulator {

/// The HTTP side of the emulator: Gmail's endpoints, Google's OAuth endpoints, the control API and
/// fault injection, served on 127.0.0.1 from cpp-httplib's thread pool.
class EmulatorServer {
public:
    struct Options {
        bool logRequests = false; ///< one line per request on standard error
    };

    EmulatorServer(GmailState state, Options options);
    EmulatorServer(const EmulatorServer&) = delete;
    EmulatorServer& operator=(const EmulatorServer&) = delete;

    /// Binds 127.0.0.1 (port 0: the OS chooses) and listens; returns the port. Throws when it cannot.
    int bind(int port);
    /// Accepts and serves connections until stop(); false when serving failed.
    bool serve();
    /// Adds a message received now, as the control API's message request does; callable from any thread.
    void addMessage(const NewMessage& message);
    /// Callable from any thread, once serve() may be running: returns when serve() has returned, also
    /// while clients hold idle connections open or requests wait in a delay fault.
    void stop();

private:
    using GmailAnswer = std::function<nlohmann::json(const std::string& mailbox)>;
    using OAuthAnswer = std::function<nlohmann::json()>;
    using BrowserAnswer = std::function<OAuthState::BrowserAnswer()>;
    using ControlAction = std::function<nlohmann::json(const nlohmann::json& body)>;

    /// A JSON answer before faults spoil it.
    struct Reply {
        int status = 200;
        nlohmann::json body;
        std::vector<std::pair<std::string, std::string>> headers;
    };

    /// One request to a Gmail endpoint: whose mailbox its token opens (empty: none) and when it came.
    struct GmailRequest {
        std::string path;
        std::string query; ///< raw, without "?"
        std::string mailbox;
        std::int64_t at = 0; ///< milliseconds since 1970
    };
    struct Counters {
        std::map<std::string, std::uint64_t> requests;
        std::uint64_t total = 0;
        std::set<std::pair<std::string, int>> clients; ///< address and port: one per TCP connection
        std::uint64_t tokenRequests = 0;
        std::deque<GmailRequest> gmailRequests; ///< oldest first
    };
    static constexpr std::size_t maximumLoggedRequests = 10000;

    void addRoutes();
    void addOAuthRoutes();
    void addControlRoutes();
    void addOAuthControlRoutes(const std::function<httplib::Server::Handler(const ControlAction&)>& route);
    /// Applies the path's next fault, if any, to the reply that `answer` makes under the lock.
    void serve(const httplib::Request& request, httplib::Response& response, const std::function<Reply()>& answer);
    void serveGmail(const httplib::Request& request, httplib::Response& response, const GmailAnswer& answer);
    void serveOAuth(const httplib::Request& request, httplib::Response& response, const OAuthAnswer& answer);
    void serveBrowser(const httplib::Request& request, httplib::Response& response, const BrowserAnswer& answer);
    /// The mailbox a bearer token opens: an access token issued over OAuth, or a mailbox's own token.
    std::string mailboxFor(const std::string& token) const;
    void control(const httplib::Request& request, httplib::Response& response, const ControlAction& action);
    void count(const httplib::Request& request);
    /// Logs a request to an OAuth endpoint, body and all (the body arrives after pre-routing).
    void record(const httplib::Request& request);
    std::optional<Fault> takeFault(const std::string& path);
    /// Waits unless the server is stopping; false when it is.
    bool pause(std::chrono::milliseconds delay);
    nlohmann::json countersJSON() const;
    static void closeClientConnections();

    httplib::Server server_;
    Options options_;

    std::mutex mutex_; // guards everything below up to the stop state; never held while waiting
    GmailState state_;
    OAuthState oauth_;
    std::map<std::string, std::deque<Fault>> faults_;
    Counters counters_;

    std::mutex stopMutex_;
    std::condition_variable stopChanged_;
    bool stopping_ = false;
    bool serving_ = false;
    bool served_ = false;
};

} // namespace larkpin::emulator
