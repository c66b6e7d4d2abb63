// The Gmail client against the project's Google emulator over loopback: real HTTP, real libcurl.

#include "core/services/GmailAPIClient.h"
#include "core/models/DecodingError.h"
#include "support/GoogleEmulator.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <thread>

namespace larkpin {
namespace {

using namespace std::chrono_literals;
using test::GoogleEmulator;
using Fault = GoogleEmulator::Fault;
using APIError = GmailAPIClient::APIError;

class GmailAPIClientTest : public ::testing::Test {
protected:
    GmailAPIClientTest() { emulator.addMailbox("me@example.com", "token-1"); }

    GmailAPIClient client(std::string token = "token-1", std::chrono::milliseconds timeout = 20s)
    {
        return {session, emulator.gmailBaseURL(), [this, token] { return ++tokenCalls, token; }, timeout};
    }

    /// Runs the call and returns the APIError it threw; fails the test when it threw nothing else.
    template <typename Call> std::optional<APIError> apiErrorOf(Call call)
    {
        try {
            call();
        } catch (const APIError& error) {
            return error;
        } catch (const std::exception& error) {
            ADD_FAILURE() << "unexpected error: " << error.what();
        }
        return std::nullopt;
    }

    GoogleEmulator emulator{LARKPIN_GOOGLE_EMULATOR_PATH};
    std::shared_ptr<HTTPSession> session = std::make_shared<HTTPSession>();
    std::atomic<int> tokenCalls = 0;
};

TEST_F(GmailAPIClientTest, mapsStatusesToErrors)
{
    const auto retryAfter = [](const std::string& value) {
        return Fault::httpStatus(429, {{"Retry-After", value}});
    };
    const std::vector<std::tuple<std::string, Fault, APIError, std::string>> cases = {
        {"profile", Fault::httpStatus(401, {{"Retry-After", "120"}}), APIError::unauthorized(),
         "Gmail authorization expired."},
        {"profile", retryAfter("120"), APIError::rateLimited(120),
         "Gmail temporarily rate-limited this account."},
        {"profile", retryAfter("1.5"), APIError::rateLimited(1.5), ""},
        {"profile", retryAfter("Wed, 21 Oct 2026 07:28:00 GMT"), APIError::rateLimited(std::nullopt), ""},
        {"profile", retryAfter(""), APIError::rateLimited(std::nullopt), ""},
        {"profile", Fault::httpStatus(429), APIError::rateLimited(std::nullopt), ""},
        {"profile", Fault::httpStatus(503), APIError::response(503), "Gmail returned HTTP 503."},
        {"profile", Fault::httpStatus(404), APIError::response(404), ""},
        {"history", Fault::httpStatus(404), APIError::invalidHistory(),
         "Gmail history expired; a bounded resync is required."},
        {"history", Fault::httpStatus(400), APIError::response(400), ""},
    };
    for (const auto& [path, fault, expected, description] : cases) {
        emulator.queueFault(path, fault);
        const auto error =
            apiErrorOf([&] { path == "history" ? (void)client().history("1") : (void)client().profile(); });
        ASSERT_TRUE(error) << path << " " << expected.what();
        EXPECT_EQ(*error, expected) << path << " " << error->what() << " " << fault.status.value_or(0);
        if (!description.empty())
            EXPECT_EQ(error->what(), description);
    }
}

TEST_F(GmailAPIClientTest, aMissingMessageIsAPlainNotFoundAndAnIdStaysOnePathSegment)
{
    for (const std::string id : {"0123456789abcdef", "../profile", "..", "a/b c", "x?format=minimal#y"})
        EXPECT_EQ(apiErrorOf([&] { client().message(id); }), APIError::response(404)) << id;
    EXPECT_EQ(emulator.counters().requestsTo("profile"), 0u);
}

TEST_F(GmailAPIClientTest, aWrongTokenIsUnauthorizedAndTheTokenIsAskedForOncePerRequest)
{
    EXPECT_EQ(apiErrorOf([&] { client("stale").profile(); }), APIError::unauthorized());
    tokenCalls = 0;
    auto gmail = client();
    gmail.profile();
    gmail.recentMessageIDs(5);
    EXPECT_EQ(tokenCalls, 2);

    // The token provider's own failure reaches the caller unchanged, and nothing is sent.
    struct NoToken {};
    emulator.resetCounters();
    EXPECT_THROW(
        GmailAPIClient(session, emulator.gmailBaseURL(), []() -> std::string { throw NoToken(); }).profile(),
        NoToken);
    EXPECT_EQ(emulator.counters().totalRequests, 0u);
}

TEST_F(GmailAPIClientTest, readsProfileAndRecentMessagesInGmailsOrder)
{
    const auto older = emulator.addMessage({.subject = "older", .plain = "a", .age = 3600});
    const auto newer = emulator.addMessage({.subject = "newer", .plain = "b", .age = 60});
    emulator.addMessage({.subject = "two days old", .plain = "c", .age = 2 * 86400});

    const auto profile = client().profile();
    EXPECT_EQ(profile.emailAddress, "me@example.com");
    EXPECT_FALSE(profile.historyId.empty());
    EXPECT_EQ(client().recentMessageIDs(50), (std::vector<std::string>{newer, older}));
    EXPECT_EQ(client().recentMessageIDs(1), (std::vector<std::string>{newer}));
    emulator.queueFault("messages", Fault::httpStatus(200, {}, "{}"));
    EXPECT_TRUE(client().recentMessageIDs(50).empty()) << "no \"messages\" key is an empty list";
}

TEST_F(GmailAPIClientTest, fetchesAFullMessage)
{
    const auto id = emulator.addMessage({.from = "GitHub <noreply@github.com>",
                                         .subject = "Your code",
                                         .plain = "Code: 123456",
                                         .html = "<p>Code: <b>123456</b></p>",
                                         .structure = "nested",
                                         .receivedAt = 1'800'000'000.5});
    emulator.resetCounters();
    const auto content = client().message(id).content("me@example.com", {});
    // Gmail answers other formats without the bodies, so the format must be asked for.
    EXPECT_EQ(emulator.gmailRequests().at(0).query, "format=full");
    EXPECT_EQ(
        std::tie(content.messageID, content.sender, content.subject, content.plainText, content.htmlText),
        std::tie(id, "GitHub <noreply@github.com>", "Your code", "Code: 123456",
                 "<p>Code: <b>123456</b></p>"));
    EXPECT_EQ(content.receivedAt, timePointFromSecondsSince1970(1'800'000'000.5));
}

TEST_F(GmailAPIClientTest, pagesThroughHistoryOfAddedMessagesCollapsingDuplicatesAndSorting)
{
    const auto start = client().profile().historyId;
    emulator.setHistoryPageSize(2);
    for (const auto* id : {"00000000000000f3", "00000000000000a1", "00000000000000c2", "00000000000000b4"})
        emulator.addMessage({.plain = "hello", .id = std::string(id)});
    emulator.addMessage(
        {.plain = "again", .id = std::string("00000000000000a1")}); // a second record, same id
    emulator.resetCounters();

    const auto page = client().history(start);
    EXPECT_EQ(page.messageIDs, (std::vector<std::string>{"00000000000000a1", "00000000000000b4",
                                                         "00000000000000c2", "00000000000000f3"}));
    EXPECT_EQ(page.historyID, client().profile().historyId);
    // Every page repeats the start and asks for additions only; later pages carry the token.
    const auto requests = emulator.gmailRequests();
    ASSERT_EQ(requests.size(), 4u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_TRUE(requests[i].query.starts_with("startHistoryId=" + start + "&historyTypes=messageAdded"))
            << requests[i].query;
        EXPECT_EQ(requests[i].query.find("&pageToken=") != std::string::npos, i > 0) << requests[i].query;
    }

    const auto quiet = client().history(page.historyID); // no "history" key, just the current id
    EXPECT_EQ(quiet, (GmailHistoryPage{.messageIDs = {}, .historyID = page.historyID}));
}

TEST_F(GmailAPIClientTest, rejectsHistoryAnswersThatCannotBeTrusted)
{
    using nlohmann::json;
    // A null value stands for a missing key: optional keys may be null, required ones may not.
    const auto page = [](json history, json next, json historyId) {
        return Fault::httpStatus(
            200, {}, json{{"history", history}, {"nextPageToken", next}, {"historyId", historyId}}.dump());
    };
    const json added = json::array({{{"messagesAdded", {{{"message", {{"id", "m1"}}}}}}}});

    // Duplicates across pages collapse.
    emulator.queueFault("history", page(added, "p2", "50"));
    emulator.queueFault("history", page(added, nullptr, "51"));
    EXPECT_EQ(client().history("1"), (GmailHistoryPage{.messageIDs = {"m1"}, .historyID = "51"}));

    // A page that repeats an earlier page token would loop for ever.
    for (const auto* token : {"p2", "p3", "p2"})
        emulator.queueFault("history", page(added, token, "50"));
    EXPECT_EQ(apiErrorOf([&] { client().history("1"); }), APIError::malformedResponse());
    emulator.clearFaults();

    // Decoding failures of any page reach the caller as decoding errors.
    const std::vector<Fault> undecodable = {
        page(added, nullptr, nullptr), // no historyId
        page(json::array({{{"messagesAdded", {{{"message", {{"id", 7}}}}}}}}), nullptr, "5"),
        page(json::array({{{"messagesAdded", {{{"other", 1}}}}}}), nullptr, "5"), // no message
        Fault::notJSON(),
    };
    for (const auto& fault : undecodable) {
        emulator.queueFault("history", page(added, "p2", "50")); // the failing page is the second
        emulator.queueFault("history", fault);
        EXPECT_THROW(client().history("1"), DecodingError) << fault.kind << " " << fault.body.value_or("");
    }
}

TEST_F(GmailAPIClientTest, theTimeoutBoundsASilenceNotTheWholeTransfer)
{
    const auto id = emulator.addMessage({.plain = std::string(1'500, 'x')}); // about 2,700 bytes of JSON
    const auto slow = client("token-1", 1s);
    // A body arriving a little every 0.1 s takes well over the timeout and still arrives.
    emulator.queueFault("messages/" + id, Fault::trickle(100, 100ms));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(slow.message(id).id, id);
    EXPECT_GT(std::chrono::steady_clock::now() - started, 2s) << "the answer came too fast to show anything";

    // Silence longer than the timeout, before the answer or half-way through it, ends the request.
    for (const auto& fault : {Fault::delayed(5s), Fault::stall(5s)}) {
        emulator.queueFault("messages/" + id, fault);
        try {
            slow.message(id);
            ADD_FAILURE() << fault.kind << " did not time out";
        } catch (const HTTPSession::TransportError& error) {
            EXPECT_TRUE(std::string(error.what()).starts_with("Network error: Operation timed out after"))
                << error.what();
        }
    }

    emulator.queueFault("messages/" + id, Fault::dropConnection());
    EXPECT_THROW(client().message(id), HTTPSession::TransportError);
    EXPECT_EQ(client().message(id).id, id) << "the next request works on a new connection";
    const GmailAPIClient nowhere(session, "http://127.0.0.1:1/gmail/v1/users/me",
                                 [] { return std::string("t"); });
    EXPECT_THROW(nowhere.profile(), HTTPSession::TransportError);
}

TEST_F(GmailAPIClientTest, reusesOneConnectionForSequentialRequestsFromAnyThread)
{
    const auto id = emulator.addMessage({.plain = "Code 123456"});
    emulator.resetCounters();
    for (int i = 0; i < 10; ++i)
        client().message(id);
    std::thread([&] { client().profile(), client().profile(); }).join();
    EXPECT_EQ(emulator.counters().totalRequests, 12u);
    EXPECT_EQ(emulator.counters().connections, 1u);

    // Clients on several threads at once share the pool safely; none needs more than its own connection.
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 25; ++i)
                EXPECT_EQ(client().message(id).id, id);
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_LE(emulator.counters().connections, 5u);
}

TEST_F(GmailAPIClientTest, aMessageRequestGoesOutAtOnceAndItsAnswerWaitsToBeCollected)
{
    const auto first = emulator.addMessage({.plain = "Code 123456"});
    const auto second = emulator.addMessage({.plain = std::string(300'000, 'y')}); // more than a socket holds
    emulator.resetCounters();

    auto request = client().requestMessage(second);
    // The server sees the request while the caller has not asked for the answer yet.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (emulator.counters().requestsTo("messages/" + second) == 0 &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(5ms);
    EXPECT_EQ(emulator.counters().requestsTo("messages/" + second), 1u);
    EXPECT_EQ(request.get().payload->body->data->size(), 400'000u);
    EXPECT_THROW(request.get(), std::logic_error) << "an answer is collected once";

    // A request given up before its answer takes its connection with it; the next ones still work.
    emulator.queueFault("messages/" + first, Fault::delayed(200ms));
    client().requestMessage(first);
    EXPECT_EQ(client().message(first).id, first);
    EXPECT_EQ(emulator.counters().connections, 2u);

    // A token that cannot be had is reported when the answer is asked for, like any other failure.
    struct NoToken {};
    const GmailAPIClient tokenless(session, emulator.gmailBaseURL(),
                                   []() -> std::string { throw NoToken(); });
    EXPECT_THROW(tokenless.requestMessage(first).get(), NoToken);
}

} // namespace
} // namespace larkpin
