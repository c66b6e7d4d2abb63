#pragma once

#include "core/support/FileDescriptor.h"

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <string_view>
#include <thread>
#include <variant>

namespace larkpin {

/// Receives the browser redirect that ends one interactive Google authorization: a one-shot
/// HTTP/1.1 server on 127.0.0.1 with a port the system picks.
///
/// The first connection decides the outcome. It gets a short plain-text page, the waiting caller
/// gets the authorization code or an Error, and the listening socket closes; nothing is served
/// twice. A time-out or a cancellation decides it too, whichever comes first, and also closes the
/// socket. The connection is handled on a thread the server owns, which waits with poll() so that
/// it can leave as soon as the outcome has been decided elsewhere; the waiting caller is never held
/// past its time-out by a slow or hostile client.
class LoopbackCallbackServer {
public:
    class Error : public std::runtime_error {
    public:
        enum class Kind {
            socket,
            oauth,
            alreadyWaiting,
            cancelled,
            timedOut,
            malformedRequest,
            invalidMethod,
            invalidPath,
            invalidState,
            missingCode,
        };

        static Error socket(int errorNumber);
        /// `error`: the redirect's "error" value, such as "access_denied".
        static Error oauth(const std::string& error);
        static Error alreadyWaiting();
        static Error cancelled();
        static Error timedOut();
        static Error malformedRequest();
        static Error invalidMethod();
        static Error invalidPath();
        static Error invalidState();
        static Error missingCode();

        Kind kind() const { return kind_; }
        /// The errno of `socket`; 0 otherwise.
        int errorNumber() const { return errorNumber_; }
        /// The redirect's error value of `oauth`; empty otherwise.
        const std::string& oauthError() const { return oauthError_; }

        friend bool operator==(const Error& a, const Error& b)
        {
            return a.kind_ == b.kind_ && a.errorNumber_ == b.errorNumber_ && a.oauthError_ == b.oauthError_;
        }

    private:
        Error(Kind kind, const std::string& description, int errorNumber = 0, std::string oauthError = {});
        Kind kind_;
        int errorNumber_;
        std::string oauthError_;
    };

    /// What a successful redirect carries.
    struct Callback {
        std::string code;

        friend bool operator==(const Callback&, const Callback&) = default;
    };

    /// How long one receive on the connection may wait for bytes.
    static constexpr std::chrono::milliseconds defaultReceiveTimeout{5000};
    /// A request that grows past this without ending its header is refused.
    static constexpr std::size_t maximumRequestBytes = 16384;

    /// Binds 127.0.0.1 on a system-chosen port and listens with a backlog of 1. Throws Error:
    /// invalidPath when `callbackPath` does not begin with "/" or contains "?" (checked before any
    /// socket exists), socket(errno) when the socket cannot be set up.
    explicit LoopbackCallbackServer(std::string callbackPath,
                                    std::chrono::milliseconds receiveTimeout = defaultReceiveTimeout);
    /// Ends a pending attempt as cancelled, waits for the connection thread and closes every socket.
    ~LoopbackCallbackServer();

    LoopbackCallbackServer(const LoopbackCallbackServer&) = delete;
    LoopbackCallbackServer& operator=(const LoopbackCallbackServer&) = delete;

    /// The port read back from the bound socket, never 0.
    std::uint16_t port() const { return port_; }
    const std::string& callbackPath() const { return callbackPath_; }
    /// "http://127.0.0.1:" + port + callback path: always the literal address, never a host name.
    std::string redirectURI() const;

    /// Blocks until the first connection has been handled, `timeout` has passed on the monotonic
    /// clock (timedOut), or `stopToken` or cancel() asks to stop (cancelled). Only one call per
    /// server: any later or concurrent call fails with alreadyWaiting. Throws Error, nothing else.
    Callback callback(std::string_view expectedState, std::chrono::steady_clock::duration timeout,
                      std::stop_token stopToken = {});

    /// Ends the attempt as cancelled, from any thread. No effect once the outcome is decided.
    void cancel();

private:
    using Outcome = std::variant<Callback, Error>;

    /// The connection thread: waits for one connection, reads and answers it, decides the outcome.
    void serve(const std::string& expectedState);
    /// Accepts the first pending connection; nothing when the attempt was decided meanwhile.
    std::optional<FileDescriptor> acceptConnection();
    /// Reads the request and parses it; nothing when the attempt was decided meanwhile.
    std::optional<Outcome> receiveRequest(int connection, const std::string& expectedState) const;
    static void respond(int connection, bool success);
    /// The single exit of every path: records the first outcome, closes the listening socket and
    /// wakes both the caller and the connection thread. Later calls do nothing.
    void finish(Outcome outcome);
    bool isFinished() const;

    const std::string callbackPath_;
    const std::chrono::milliseconds receiveTimeout_;
    std::uint16_t port_ = 0;
    /// An eventfd that becomes readable once the outcome is decided; the connection thread polls it.
    FileDescriptor decidedSignal_;

    mutable std::mutex lock_;
    std::condition_variable_any decidedCondition_;
    // Guarded by lock_:
    FileDescriptor listener_;
    bool callbackStarted_ = false;
    bool finished_ = false;
    std::optional<Outcome> outcome_;
    std::jthread connectionThread_;
};

} // namespace larkpin
