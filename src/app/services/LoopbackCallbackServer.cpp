#include "app/services/LoopbackCallbackServer.h"

#include "app/services/CallbackRequestParser.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <system_error>
#include <utility>

namespace larkpin {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t receiveChunkBytes = 2048;
// After answering, unread request bytes are discarded up to this amount before closing, so that
// closing does not reset the connection and cost the browser the answer it has just been sent.
constexpr std::size_t maximumDrainBytes = 64 * 1024;

Clock::time_point deadlineAfter(Clock::duration timeout)
{
    const auto now = Clock::now();
    if (timeout <= Clock::duration::zero())
        return now;
    if (timeout > Clock::time_point::max() - now)
        return Clock::time_point::max();
    return now + timeout;
}

void sendAll(int connection, std::string_view bytes)
{
    while (!bytes.empty()) {
        const auto sent = ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return; // the client has gone; there is nobody left to tell
        bytes.remove_prefix(static_cast<std::size_t>(sent));
    }
}

void closeGracefully(int connection)
{
    ::shutdown(connection, SHUT_WR);
    std::array<char, receiveChunkBytes> discard{};
    std::size_t drained = 0;
    while (drained < maximumDrainBytes) {
        const auto received = ::recv(connection, discard.data(), discard.size(), MSG_DONTWAIT);
        if (received <= 0)
            return;
        drained += static_cast<std::size_t>(received);
    }
}

} // namespace

LoopbackCallbackServer::Error::Error(Kind kind, const std::string& description, int errorNumber,
                                     std::string oauthError)
    : std::runtime_error(description)
    , kind_(kind)
    , errorNumber_(errorNumber)
    , oauthError_(std::move(oauthError))
{
}

LoopbackCallbackServer::Error LoopbackCallbackServer::Error::socket(int errorNumber)
{
    return Error(Kind::socket, "Loopback callback server failed (errno " + std::to_string(errorNumber) + ").",
                 errorNumber);
}

LoopbackCallbackServer::Error LoopbackCallbackServer::Error::oauth(const std::string& error)
{
    return Error(Kind::oauth, "Google authorization failed: " + error + ".", 0, error);
}

LoopbackCallbackServer::Error LoopbackCallbackServer::Error::alreadyWaiting()
{
    return Error(Kind::alreadyWaiting, "Loopback callback server can only receive one callback.");
}

LoopbackCallbackServer::Error LoopbackCallbackServer::Error::cancelled()
{
    return Error(Kind::cancelled, "Google authorization was cancelled.");
}

LoopbackCallbackServer::Error LoopbackCallbackServer::Error::timedOut()
{
    return Error(Kind::timedOut, "Google authorization timed out.");
}

LoopbackCallbackServer::Error LoopbackCallbackServer::Error::malformedRequest()
{
    return Error(Kind::malformedRequest, "Google returned a malformed callback.");
}

LoopbackCallbackServer::Error LoopbackCallbackServer::Error::invalidMethod()
{
    return Error(Kind::invalidMethod, "Google callback used an invalid method.");
}

LoopbackCallbackServer::Error LoopbackCallbackServer::Error::invalidPath()
{
    return Error(Kind::invalidPath, "Google callback used an invalid path.");
}

LoopbackCallbackServer::Error LoopbackCallbackServer::Error::invalidState()
{
    return Error(Kind::invalidState, "Google callback state did not match.");
}

LoopbackCallbackServer::Error LoopbackCallbackServer::Error::missingCode()
{
    return Error(Kind::missingCode, "Google callback did not include an authorization code.");
}

LoopbackCallbackServer::LoopbackCallbackServer(std::string callbackPath, std::chrono::milliseconds receiveTimeout)
    : callbackPath_(std::move(callbackPath))
    , receiveTimeout_(receiveTimeout)
{
    if (!callbackPath_.starts_with('/') || callbackPath_.find('?') != std::string::npos)
        throw Error::invalidPath();

    listener_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!listener_.isOpen())
        throw Error::socket(errno);

    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(0);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_.get(), 1) != 0)
        throw Error::socket(errno); // listener_ closes as the object unwinds
    socklen_t length = sizeof address;
    if (::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
        throw Error::socket(errno);
    // Non-blocking so that a connection that vanishes between poll() and accept() cannot leave
    // accept() blocked (accept(2) warns of exactly this); accepted sockets are blocking again.
    const int flags = ::fcntl(listener_.get(), F_GETFL);
    if (flags < 0 || ::fcntl(listener_.get(), F_SETFL, flags | O_NONBLOCK) != 0)
        throw Error::socket(errno);
    port_ = ntohs(address.sin_port);

    decidedSignal_.reset(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!decidedSignal_.isOpen())
        throw Error::socket(errno);
}

LoopbackCallbackServer::~LoopbackCallbackServer()
{
    finish(Error::cancelled());
    if (connectionThread_.joinable())
        connectionThread_.join();
}

std::string LoopbackCallbackServer::redirectURI() const
{
    return "http://127.0.0.1:" + std::to_string(port_) + callbackPath_;
}

LoopbackCallbackServer::Callback LoopbackCallbackServer::callback(std::string_view expectedState,
                                                                  Clock::duration timeout,
                                                                  std::stop_token stopToken)
{
    const auto deadline = deadlineAfter(timeout);
    std::optional<Error> startFailure;
    {
        const std::lock_guard guard(lock_);
        if (callbackStarted_ || finished_)
            throw Error::alreadyWaiting();
        callbackStarted_ = true;
        try {
            connectionThread_ = std::jthread([this, state = std::string(expectedState)] { serve(state); });
        } catch (const std::system_error& error) {
            startFailure = Error::socket(error.code().value());
        }
    }
    if (startFailure)
        finish(*startFailure);

    {
        std::unique_lock guard(lock_);
        decidedCondition_.wait_until(guard, stopToken, deadline, [this] { return outcome_.has_value(); });
    }
    // Does nothing when a connection, or cancel(), decided first: the first outcome stands.
    finish(stopToken.stop_requested() ? Error::cancelled() : Error::timedOut());

    const std::lock_guard guard(lock_);
    if (const auto* callback = std::get_if<Callback>(&*outcome_))
        return *callback;
    throw std::get<Error>(*outcome_);
}

void LoopbackCallbackServer::cancel()
{
    finish(Error::cancelled());
}

void LoopbackCallbackServer::serve(const std::string& expectedState)
{
    const auto connection = acceptConnection();
    if (!connection)
        return;
    const auto outcome = receiveRequest(connection->get(), expectedState);
    if (!outcome)
        return; // decided by time-out or cancellation: the browser gets no page
    const bool success = std::holds_alternative<Callback>(*outcome);
    // A late answer must not tell the browser something other than the caller was told.
    if (!isFinished())
        respond(connection->get(), success);
    finish(*outcome);
    closeGracefully(connection->get());
}

std::optional<FileDescriptor> LoopbackCallbackServer::acceptConnection()
{
    int listener = -1;
    {
        const std::lock_guard guard(lock_);
        listener = listener_.get();
    }
    if (listener < 0)
        return std::nullopt;
    for (;;) {
        std::array<pollfd, 2> waits{pollfd{listener, POLLIN, 0}, pollfd{decidedSignal_.get(), POLLIN, 0}};
        if (::poll(waits.data(), waits.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            finish(Error::socket(errno));
            return std::nullopt;
        }
        if (waits[1].revents != 0)
            return std::nullopt;
        int failure = 0;
        {
            // accept() runs under the lock so that finish() cannot close the listener (and the
            // descriptor number be reused) between the check and the call.
            const std::lock_guard guard(lock_);
            if (finished_)
                return std::nullopt;
            const int accepted = ::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC);
            if (accepted >= 0)
                return FileDescriptor(accepted);
            failure = errno;
        }
        // The pending connection went away before it was taken, or the wake-up was spurious.
        if (failure == EAGAIN || failure == EWOULDBLOCK || failure == EINTR || failure == ECONNABORTED)
            continue;
        finish(Error::socket(failure));
        return std::nullopt;
    }
}

std::optional<LoopbackCallbackServer::Outcome> LoopbackCallbackServer::receiveRequest(
    int connection, const std::string& expectedState) const
{
    const auto receiveTimeoutMilliseconds =
        static_cast<int>(std::clamp<std::chrono::milliseconds::rep>(receiveTimeout_.count(), 0, INT_MAX));
    std::string request;
    std::array<char, receiveChunkBytes> chunk{};
    for (;;) {
        // The receive time-out is the poll() time-out: a client that sends nothing for that long
        // has failed. Polling the decided signal too lets a time-out or cancellation end the read.
        std::array<pollfd, 2> waits{pollfd{connection, POLLIN, 0}, pollfd{decidedSignal_.get(), POLLIN, 0}};
        const int ready = ::poll(waits.data(), waits.size(), receiveTimeoutMilliseconds);
        if (ready < 0 && errno == EINTR)
            continue;
        if (waits[1].revents != 0)
            return std::nullopt;
        if (ready <= 0)
            return Error::malformedRequest();
        const auto received = ::recv(connection, chunk.data(), chunk.size(), 0);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0)
            return Error::malformedRequest();

        // Only the new bytes (and the three before them) can complete the blank line.
        const auto searchFrom = request.size() < 3 ? 0 : request.size() - 3;
        request.append(chunk.data(), static_cast<std::size_t>(received));
        if (request.find("\r\n\r\n", searchFrom) != std::string::npos) {
            try {
                return CallbackRequestParser::parse(request, expectedState, callbackPath_);
            } catch (const Error& error) {
                return error;
            }
        }
        if (request.size() > maximumRequestBytes)
            return Error::malformedRequest();
    }
}

void LoopbackCallbackServer::respond(int connection, bool success)
{
    const std::string_view status = success ? "200 OK" : "400 Bad Request";
    const std::string_view body =
        success ? "Authorization complete. You can close this window." : "Authorization failed. Return to Larkpin.";
    std::string answer = "HTTP/1.1 ";
    answer += status;
    answer += "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: ";
    answer += std::to_string(body.size());
    answer += "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n";
    answer += body;
    sendAll(connection, answer);
}

void LoopbackCallbackServer::finish(Outcome outcome)
{
    FileDescriptor listener;
    {
        const std::lock_guard guard(lock_);
        if (finished_)
            return;
        finished_ = true;
        outcome_ = std::move(outcome);
        listener = std::move(listener_);
    }
    // Closed before the caller wakes, so that once callback() has returned no connection gets in.
    // close() alone is not enough: while the connection thread sits in poll() the kernel keeps the
    // socket alive, still listening. shutdown() stops the listening at once, whoever holds it.
    if (listener.isOpen())
        ::shutdown(listener.get(), SHUT_RDWR);
    listener.reset();
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(decidedSignal_.get(), &one, sizeof one);
    decidedCondition_.notify_all();
}

bool LoopbackCallbackServer::isFinished() const
{
    const std::lock_guard guard(lock_);
    return finished_;
}

} // namespace larkpin
