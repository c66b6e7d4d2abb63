#include "app/services/LoopbackCallbackServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <future>
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
const std::string okPage = "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: 50\r\n"
                           "Connection: close\r\nCache-Control: no-store\r\n\r\n"
                           "Authorization complete. You can close this window.";
const std::string badRequestPage = "HTTP/1.1 400 Bad Request\r\nContent-Type: text/plain; charset=utf-8\r\n"
                                   "Content-Length: 40\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n"
                                   "Authorization failed. Return to Larkpin.";
// Long enough never to decide a test by itself.
constexpr auto patience = 30s;

std::string get(const std::string& target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: text/html\r\n\r\n";
}

std::string callbackRequest(const std::string& query)
{
    return get(path + "?" + query);
}

std::string describe(const Outcome& outcome)
{
    if (const auto* callback = std::get_if<Callback>(&outcome))
        return "callback with code " + callback->code;
    return std::get<Error>(outcome).what();
}

/// A browser stand-in on a real TCP connection to 127.0.0.1.
class Client {
public:
    explicit Client(std::uint16_t port)
        : socket_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        // Reading the answer never waits forever, whatever the server does.
        const timeval limit{30, 0};
        ::setsockopt(socket_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        const auto address = loopback(port);
        connected_ = ::connect(socket_.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
        connectError_ = connected_ ? 0 : errno;
    }

    static sockaddr_in loopback(std::uint16_t port)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

    bool connected() const { return connected_; }
    int connectError() const { return connectError_; }

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

    void finishSending() { ::shutdown(socket_.get(), SHUT_WR); }

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

private:
    FileDescriptor socket_;
    bool connected_ = false;
    int connectError_ = 0;
};

bool isRefused(std::uint16_t port)
{
    const Client client(port);
    return !client.connected() && client.connectError() == ECONNREFUSED;
}

/// Runs callback() on a thread of its own, as the authorization flow does, with a stop token
/// that the test can trigger.
class Wait {
public:
    Wait(LoopbackCallbackServer& server, std::chrono::milliseconds timeout, std::string expectedState = state)
        : thread_([this, &server, timeout, expectedState](std::stop_token stop) {
            try {
                promise_.set_value(server.callback(expectedState, timeout, stop));
            } catch (const Error& error) {
                promise_.set_value(error);
            }
        })
    {
    }

    void requestStop() { thread_.request_stop(); }

    /// The outcome; the test fails instead of hanging when none comes.
    Outcome outcome()
    {
        if (future_.wait_for(patience) != std::future_status::ready) {
            ADD_FAILURE() << "callback() did not return";
            std::terminate();
        }
        return future_.get();
    }

private:
    std::promise<Outcome> promise_;
    std::future<Outcome> future_ = promise_.get_future();
    std::jthread thread_;
};

TEST(LoopbackCallbackServer, listensOn127001AndNamesItInTheRedirectURI)
{
    LoopbackCallbackServer server(path);
    EXPECT_NE(server.port(), 0);
    EXPECT_EQ(server.callbackPath(), path);
    EXPECT_EQ(server.redirectURI(), "http://127.0.0.1:" + std::to_string(server.port()) + path);
    EXPECT_TRUE(Client(server.port()).connected());

    LoopbackCallbackServer other(path);
    EXPECT_NE(other.port(), server.port());
}

TEST(LoopbackCallbackServer, refusesACallbackPathWithoutLeadingSlashOrWithAQuery)
{
    for (const char* invalid : {"", "oauth2/callback", "/oauth2/callback?x=1", "/?"}) {
        try {
            LoopbackCallbackServer server(invalid);
            ADD_FAILURE() << "accepted " << invalid;
        } catch (const Error& error) {
            EXPECT_EQ(error, Error::invalidPath()) << invalid;
        }
    }
}

TEST(LoopbackCallbackServer, handsTheCodeToTheCallerAnswers200AndClosesThePort)
{
    LoopbackCallbackServer server(path);
    Wait wait(server, patience);
    Client browser(server.port());
    ASSERT_TRUE(browser.send(callbackRequest("state=" + state + "&code=4%2F0AbC-d_e&scope=email")));
    EXPECT_EQ(browser.receiveAll(), okPage);
    EXPECT_EQ(wait.outcome(), Outcome(Callback{"4/0AbC-d_e"}));
    EXPECT_TRUE(isRefused(server.port()));
}

// The browser is opened before the caller starts waiting, so it may well connect first.
TEST(LoopbackCallbackServer, takesARequestThatArrivedBeforeTheCallerWaited)
{
    LoopbackCallbackServer server(path);
    Client browser(server.port());
    ASSERT_TRUE(browser.send(callbackRequest("code=C&state=" + state)));
    Wait wait(server, patience);
    EXPECT_EQ(wait.outcome(), Outcome(Callback{"C"}));
    EXPECT_EQ(browser.receiveAll(), okPage);
}

// The blank line split across receives, the request trickling in byte by byte.
TEST(LoopbackCallbackServer, assemblesARequestThatArrivesInPieces)
{
    LoopbackCallbackServer server(path);
    Wait wait(server, patience);
    Client browser(server.port());
    const auto request = callbackRequest("state=" + state + "&code=C");
    for (const char byte : request) {
        ASSERT_TRUE(browser.send(std::string(1, byte)));
        std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(browser.receiveAll(), okPage);
    EXPECT_EQ(wait.outcome(), Outcome(Callback{"C"}));
}

TEST(LoopbackCallbackServer, answers400AndFailsTheCallerForABadRedirect)
{
    const struct {
        const char* name;
        std::string request;
        Error error;
    } cases[]{
        {"wrong state", callbackRequest("state=other&code=C"), Error::invalidState()},
        {"repeated state", callbackRequest("state=" + state + "&state=" + state + "&code=C"), Error::invalidState()},
        {"consent denied", callbackRequest("state=" + state + "&error=access_denied"), Error::oauth("access_denied")},
        {"wrong path", get("/oauth2/callback/?state=" + state + "&code=C"), Error::invalidPath()},
        {"POST", "POST " + path + "?state=" + state + "&code=C HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
         Error::invalidMethod()},
        {"no code", callbackRequest("state=" + state), Error::missingCode()},
        {"two spaces", "GET  " + path + " HTTP/1.1\r\n\r\n", Error::malformedRequest()},
        {"binary", std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xFC\x03\x03\r\n\r\n", 15), Error::malformedRequest()},
    };
    for (const auto& [name, request, error] : cases) {
        SCOPED_TRACE(name);
        LoopbackCallbackServer server(path);
        Wait wait(server, patience);
        Client browser(server.port());
        ASSERT_TRUE(browser.send(request));
        EXPECT_EQ(browser.receiveAll(), badRequestPage);
        const auto outcome = wait.outcome();
        EXPECT_EQ(outcome, Outcome(error)) << describe(outcome);
        EXPECT_TRUE(isRefused(server.port()));
    }
}

TEST(LoopbackCallbackServer, failsAClientThatStopsSendingWithinTheReceiveTimeout)
{
    const struct {
        const char* name;
        std::string bytes;
        bool closeSending;
    } cases[]{
        {"silent client", "", false},
        {"request never ends", "GET " + path + "?state=" + state + "&code=C HTTP/1.1\r\nHost: 127.0.0.1\r\n", false},
        {"client gives up half-way", "GET " + path + "?state=" + state, true},
    };
    for (const auto& [name, bytes, closeSending] : cases) {
        SCOPED_TRACE(name);
        LoopbackCallbackServer server(path, 200ms);
        Wait wait(server, patience);
        Client browser(server.port());
        ASSERT_TRUE(browser.send(bytes));
        if (closeSending)
            browser.finishSending();
        EXPECT_EQ(browser.receiveAll(), badRequestPage);
        EXPECT_EQ(wait.outcome(), Outcome(Error::malformedRequest()));
        EXPECT_TRUE(isRefused(server.port()));
    }
}

TEST(LoopbackCallbackServer, takesARequestHeaderUpToTheCapAndRefusesLongerOnes)
{
    const auto requestOfSize = [](std::size_t size) {
        const auto head = "GET " + path + "?state=" + state + "&code=C HTTP/1.1\r\nX-Padding: ";
        return head + std::string(size - head.size() - 4, 'p') + "\r\n\r\n";
    };
    const struct {
        std::size_t size;
        Outcome outcome;
        const std::string& page;
    } cases[]{
        {LoopbackCallbackServer::maximumRequestBytes, Callback{"C"}, okPage},
        // The blank line only comes after the cap and one more receive: never read.
        {LoopbackCallbackServer::maximumRequestBytes + 2048 + 100, Error::malformedRequest(), badRequestPage},
    };
    for (const auto& [size, outcome, page] : cases) {
        SCOPED_TRACE(size);
        LoopbackCallbackServer server(path);
        Wait wait(server, patience);
        Client browser(server.port());
        browser.send(requestOfSize(size));
        EXPECT_EQ(browser.receiveAll(), page);
        EXPECT_EQ(wait.outcome(), outcome);
    }
}

// A client that writes without end is cut off at the cap; its writes then fail, and nobody hangs.
TEST(LoopbackCallbackServer, cutsOffAnEndlessRequest)
{
    LoopbackCallbackServer server(path);
    Wait wait(server, patience);
    Client browser(server.port());
    std::jthread writer([&browser](std::stop_token stop) {
        const std::string line = "X-Endless: " + std::string(1000, 'e') + "\r\n";
        browser.send("GET " + path + "?state=" + state + "&code=C HTTP/1.1\r\n");
        while (!stop.stop_requested() && browser.send(line)) {
        }
    });
    EXPECT_EQ(wait.outcome(), Outcome(Error::malformedRequest()));
    EXPECT_TRUE(isRefused(server.port()));
    writer.request_stop();
}

TEST(LoopbackCallbackServer, letsOnlyTheFirstConnectionDecide)
{
    LoopbackCallbackServer server(path);
    Wait wait(server, patience);
    Client first(server.port());
    ASSERT_TRUE(first.connected());
    Client second(server.port()); // waits in the backlog behind the first
    second.send(callbackRequest("state=" + state + "&code=FROM-SECOND"));
    ASSERT_TRUE(first.send(callbackRequest("state=guess&code=FROM-FIRST")));

    EXPECT_EQ(first.receiveAll(), badRequestPage);
    EXPECT_EQ(wait.outcome(), Outcome(Error::invalidState()));
    EXPECT_EQ(second.receiveAll(), ""); // never served
    EXPECT_TRUE(isRefused(server.port()));
}

TEST(LoopbackCallbackServer, servesOneCallbackOnly)
{
    LoopbackCallbackServer server(path);
    Wait wait(server, patience);
    std::this_thread::sleep_for(200ms); // lets the first caller start waiting
    // A second caller while the first waits is refused, and the first is unaffected.
    try {
        server.callback(state, patience);
        ADD_FAILURE() << "a second caller was let in";
    } catch (const Error& error) {
        EXPECT_EQ(error, Error::alreadyWaiting());
    }
    Client browser(server.port());
    browser.send(callbackRequest("state=" + state + "&code=C"));
    EXPECT_EQ(wait.outcome(), Outcome(Callback{"C"}));

    // After the outcome: refused too, at once.
    try {
        server.callback(state, patience);
        ADD_FAILURE() << "waited again after the outcome";
    } catch (const Error& error) {
        EXPECT_EQ(error, Error::alreadyWaiting());
    }
    EXPECT_FALSE(Client(server.port()).connected());
}

TEST(LoopbackCallbackServer, timesOutWithoutAConnectionAndClosesThePort)
{
    LoopbackCallbackServer server(path);
    Wait wait(server, 100ms);
    EXPECT_EQ(wait.outcome(), Outcome(Error::timedOut()));
    EXPECT_TRUE(isRefused(server.port()));
}

// The overall time-out is not held up by a client still inside its receive time-out; the client
// gets no page.
TEST(LoopbackCallbackServer, timesOutWhileASlowClientIsStillSending)
{
    LoopbackCallbackServer server(path, std::chrono::hours(1));
    Client browser(server.port());
    browser.send("GET " + path + "?state=" + state);
    Wait wait(server, 200ms);
    EXPECT_EQ(wait.outcome(), Outcome(Error::timedOut()));
    EXPECT_EQ(browser.receiveAll(), "");
    EXPECT_TRUE(isRefused(server.port()));
}

TEST(LoopbackCallbackServer, endsAsCancelledWhenTheWaitIsStopped)
{
    LoopbackCallbackServer server(path);
    Wait wait(server, patience);
    std::this_thread::sleep_for(50ms);
    wait.requestStop();
    EXPECT_EQ(wait.outcome(), Outcome(Error::cancelled()));
    EXPECT_TRUE(isRefused(server.port()));
}

TEST(LoopbackCallbackServer, endsAsCancelledFromAnotherThreadEvenDuringARequest)
{
    LoopbackCallbackServer server(path, std::chrono::hours(1));
    Wait wait(server, patience);
    Client browser(server.port());
    browser.send("GET " + path);
    std::this_thread::sleep_for(50ms);
    server.cancel();
    EXPECT_EQ(wait.outcome(), Outcome(Error::cancelled()));
    EXPECT_EQ(browser.receiveAll(), "");
    EXPECT_TRUE(isRefused(server.port()));
    server.cancel(); // nothing left to do
}

// An outcome decided before anybody waits is not handed to a later caller.
TEST(LoopbackCallbackServer, refusesToWaitAfterACancellation)
{
    LoopbackCallbackServer server(path);
    server.cancel();
    EXPECT_TRUE(isRefused(server.port()));
    try {
        server.callback(state, patience);
        ADD_FAILURE() << "waited after the cancellation";
    } catch (const Error& error) {
        EXPECT_EQ(error, Error::alreadyWaiting());
    }
}

TEST(LoopbackCallbackServer, closesThePortWhenDestroyedWithoutAnOutcome)
{
    std::uint16_t port = 0;
    {
        LoopbackCallbackServer server(path, std::chrono::hours(1));
        port = server.port();
        Client pending(port);
        pending.send("GET ");
    }
    EXPECT_TRUE(isRefused(port));
}

TEST(LoopbackCallbackServer, describesEveryErrorForTheUser)
{
    const struct {
        Error error;
        const char* description;
    } cases[]{
        {Error::socket(98), "Loopback callback server failed (errno 98)."},
        {Error::oauth("access_denied"), "Google authorization failed: access_denied."},
        {Error::alreadyWaiting(), "Loopback callback server can only receive one callback."},
        {Error::cancelled(), "Google authorization was cancelled."},
        {Error::timedOut(), "Google authorization timed out."},
        {Error::malformedRequest(), "Google returned a malformed callback."},
        {Error::invalidMethod(), "Google callback used an invalid method."},
        {Error::invalidPath(), "Google callback used an invalid path."},
        {Error::invalidState(), "Google callback state did not match."},
        {Error::missingCode(), "Google callback did not include an authorization code."},
    };
    for (const auto& [error, description] : cases)
        EXPECT_STREQ(error.what(), description);
    EXPECT_EQ(Error::socket(98).errorNumber(), 98);
    EXPECT_EQ(Error::oauth("access_denied").oauthError(), "access_denied");
}

} // namespace
} // namespace larkpin
