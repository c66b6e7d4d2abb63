// The loopback server over real sockets on 127.0.0.1. What a request means is the parser's
// business (CallbackRequestParserTest); these cover what only a connection shows: reading,
// answering, limits, the single outcome and the closing of the port.

#include "app/services/LoopbackCallbackServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <variant>

namespace larkpin {
namespace {

using namespace std::chrono_literals;
using Callback = LoopbackCallbackServer::Callback;
using Error = LoopbackCallbackServer::Error;
using Outcome = std::variant<Callback, Error>;

const std::string state = "Zq3-_xY0abcdefghijklmnopqrstuvwxyz0123456789";
const std::string path = "/oauth2/callback";
const std::string okPage =
    "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 50\r\n"
    "Connection: close\r\nCache-Control: no-store\r\n\r\n"
    "Authorization complete. You can close this window.";
const std::string badRequestPage =
    "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\n"
    "Content-Length: 40\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n"
    "Authorization failed. Return to Larkpin.";
// Long enough never to decide a test by itself.
constexpr auto patience = 30s;

std::string callbackRequest(const std::string& query)
{
    return "GET " + path + "?" + query + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

/// What `action` threw, if it threw an Error.
std::optional<Error> errorOf(const std::function<void()>& action)
{
    try {
        action();
    } catch (const Error& error) {
        return error;
    }
    return std::nullopt;
}

/// A browser stand-in on a real TCP connection to 127.0.0.1.
class Client {
public:
    explicit Client(std::uint16_t port)
        : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
        , serverPort_(port)
    {
        // Reading the answer never waits forever, whatever the server does.
        const timeval limit{30, 0};
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        const sockaddr_in address{.sin_family = AF_INET,
                                  .sin_port = htons(port),
                                  .sin_addr = {htonl(INADDR_LOOPBACK)},
                                  .sin_zero = {}};
        refused_ =
            ::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 &&
            errno == ECONNREFUSED;
    }

    bool refused() const { return refused_; }

    /// False once the server has closed the connection.
    bool send(std::string_view bytes)
    {
        while (!bytes.empty()) {
            const auto sent = ::send(socket_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (sent <= 0)
                return false;
            bytes.remove_prefix(static_cast<std::size_t>(sent));
        }
        return true;
    }

    /// Waits until the server has read everything sent so far: until its end's receive queue, as
    /// /proc/net/tcp lists it ("local remote state tx_queue:rx_queue"), is empty.
    void waitUntilServerHasRead() const
    {
        sockaddr_in own{};
        socklen_t length = sizeof own;
        ::getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&own), &length);
        char ends[32];
        std::snprintf(ends, sizeof ends, "0100007F:%04X 0100007F:%04X", serverPort_, ntohs(own.sin_port));
        for (const auto deadline = std::chrono::steady_clock::now() + patience;; std::this_thread::yield()) {
            std::ifstream table("/proc/net/tcp");
            for (std::string line; std::getline(table, line);)
                if (const auto at = line.find(ends);
                    at != std::string::npos && line.compare(at + 40, 8, "00000000") == 0)
                    return;
            if (std::chrono::steady_clock::now() > deadline)
                return ADD_FAILURE() << "the server never read the request";
        }
    }

    /// Everything the server sends until it closes the connection (a reset ends it too).
    std::string receiveAll()
    {
        std::string received;
        char buffer[4096];
        for (;;) {
            const auto count = ::recv(socket_.get(), buffer, sizeof buffer, 0);
            if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                ADD_FAILURE() << "the server kept the connection open";
            if (count <= 0)
                return received;
            received.append(buffer, static_cast<std::size_t>(count));
        }
    }

    void finishSending() { ::shutdown(socket_.get(), SHUT_WR); }

private:
    FileDescriptor socket_;
    std::uint16_t serverPort_;
    bool refused_ = false;
};

/// callback() on a thread of its own, as the authorization flow runs it.
std::future<Outcome> waitFor(LoopbackCallbackServer& server, std::chrono::milliseconds timeout,
                             std::stop_token stop = {})
{
    return std::async(std::launch::async, [&server, timeout, stop]() -> Outcome {
        try {
            return server.callback(state, timeout, stop);
        } catch (const Error& error) {
            return error;
        }
    });
}

/// The outcome; the test fails instead of hanging when none comes.
Outcome outcomeOf(std::future<Outcome>& wait)
{
    if (wait.wait_for(patience) != std::future_status::ready) {
        ADD_FAILURE() << "callback() did not return";
        std::terminate();
    }
    return wait.get();
}

// What a connection gets for what it sends, and what the caller gets. The browser is opened before
// the caller waits, so it may well connect first; the blank line that ends a request may come in a
// receive of its own; a client may go silent for the receive time-out, or close its end, too early.
TEST(LoopbackCallbackServer, answersTheConnectionAndHandsItsOutcomeToTheCaller)
{
    const auto good = callbackRequest("state=" + state + "&code=4%2F0AbC-d_e&scope=email");
    const auto unfinished = "GET " + path + "?state=" + state;
    enum Mode { callerFirst, browserFirst, lastByteApart, silent, closesItsEnd };
    const struct {
        const char* name;
        std::string bytes;
        Mode mode;
        Outcome outcome;
    } cases[]{
        // clang-format off
        {"caller first", good, callerFirst, Callback{"4/0AbC-d_e"}},
        {"browser first", good, browserFirst, Callback{"4/0AbC-d_e"}},
        {"blank line split across receives", good, lastByteApart, Callback{"4/0AbC-d_e"}},
        {"client goes silent", unfinished, silent, Error::malformedRequest()},
        {"client gives up half-way", unfinished, closesItsEnd, Error::malformedRequest()},
        // clang-format on
    };
    for (const auto& [name, bytes, mode, outcome] : cases) {
        SCOPED_TRACE(name);
        LoopbackCallbackServer server(path, mode == silent ? 200ms : patience);
        std::future<Outcome> wait;
        if (mode != browserFirst)
            wait = waitFor(server, patience);
        Client browser(server.port());
        ASSERT_TRUE(browser.send(mode == lastByteApart ? bytes.substr(0, bytes.size() - 1) : bytes));
        if (mode == lastByteApart) {
            browser.waitUntilServerHasRead();
            ASSERT_TRUE(browser.send("\n"));
        }
        if (mode == closesItsEnd)
            browser.finishSending();
        if (mode == browserFirst)
            wait = waitFor(server, patience);
        EXPECT_EQ(browser.receiveAll(), std::holds_alternative<Callback>(outcome) ? okPage : badRequestPage);
        EXPECT_EQ(outcomeOf(wait), outcome);
        EXPECT_TRUE(Client(server.port()).refused());
    }
}

// A client that writes without end is cut off at the cap; its writes then fail, and nobody hangs.
TEST(LoopbackCallbackServer, cutsOffAnEndlessRequest)
{
    LoopbackCallbackServer server(path);
    auto wait = waitFor(server, patience);
    Client browser(server.port());
    std::jthread writer([&browser](std::stop_token stop) {
        const std::string line = "X-Endless: " + std::string(1000, 'e') + "\r\n";
        browser.send("GET " + path + "?state=" + state + "&code=C HTTP/1.1\r\n");
        while (!stop.stop_requested() && browser.send(line)) {
        }
    });
    EXPECT_EQ(outcomeOf(wait), Outcome(Error::malformedRequest()));
    EXPECT_TRUE(Client(server.port()).refused());
}

TEST(LoopbackCallbackServer, letsOnlyTheFirstConnectionAndTheFirstCallerIn)
{
    LoopbackCallbackServer server(path);
    // Two callers at once: whichever comes second is refused at once, and the other gets the outcome.
    auto one = waitFor(server, patience), other = waitFor(server, patience);
    Client first(server.port());
    Client second(server.port()); // waits in the backlog behind the first
    second.send(callbackRequest("state=" + state + "&code=FROM-SECOND"));
    ASSERT_TRUE(first.send(callbackRequest("state=guess&code=FROM-FIRST")));

    EXPECT_EQ(first.receiveAll(), badRequestPage);
    EXPECT_EQ(second.receiveAll(), ""); // never served
    const auto outcomes = {outcomeOf(one), outcomeOf(other)};
    EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), Outcome(Error::alreadyWaiting())), 1);
    EXPECT_EQ(std::count(outcomes.begin(), outcomes.end(), Outcome(Error::invalidState())), 1);
    EXPECT_EQ(errorOf([&] { server.callback(state, patience); }), Error::alreadyWaiting())
        << "after the outcome";
    EXPECT_TRUE(Client(server.port()).refused());
}

// A time-out or a cancellation ends the attempt even while a slow client is still sending (the
// receive time-out would hold it for an hour): the client gets no page and the port closes.
TEST(LoopbackCallbackServer, endsOnTimeOutOrCancellationWhileAClientIsStillSending)
{
    for (const std::string ending : {"time-out", "stop token", "cancel()"}) {
        SCOPED_TRACE(ending);
        LoopbackCallbackServer server(path, std::chrono::hours(1));
        std::stop_source stop;
        auto wait = waitFor(server, ending == "time-out" ? 200ms : patience, stop.get_token());
        Client browser(server.port());
        browser.send("GET " + path);
        if (ending != "time-out")
            browser.waitUntilServerHasRead();
        if (ending == "stop token")
            stop.request_stop();
        if (ending == "cancel()")
            server.cancel();
        EXPECT_EQ(outcomeOf(wait), Outcome(ending == "time-out" ? Error::timedOut() : Error::cancelled()));
        EXPECT_EQ(browser.receiveAll(), "");
        EXPECT_TRUE(Client(server.port()).refused());
    }
}

// The server listens on 127.0.0.1 from its construction, for a valid callback path only. An attempt
// ended before anybody waits closes the port, and its outcome is not handed to a later caller; a
// server destroyed without an outcome closes its port too.
TEST(LoopbackCallbackServer, listensUntilTheAttemptEndsOrTheServerIsDestroyed)
{
    for (const char* invalid : {"", "oauth2/callback", "/oauth2/callback?x=1"})
        EXPECT_EQ(errorOf([&] { LoopbackCallbackServer{invalid}; }), Error::invalidPath()) << invalid;
    LoopbackCallbackServer cancelled(path);
    EXPECT_EQ(cancelled.redirectURI(), "http://127.0.0.1:" + std::to_string(cancelled.port()) + path);
    cancelled.cancel();
    EXPECT_TRUE(Client(cancelled.port()).refused());
    EXPECT_EQ(errorOf([&] { cancelled.callback(state, patience); }), Error::alreadyWaiting());

    auto destroyed = std::make_unique<LoopbackCallbackServer>(path, std::chrono::hours(1));
    const auto port = destroyed->port();
    Client pending(port);
    pending.send("GET ");
    destroyed.reset();
    EXPECT_TRUE(Client(port).refused());
}

} // namespace
} // namespace larkpin
