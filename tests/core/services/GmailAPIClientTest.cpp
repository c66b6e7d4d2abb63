// The Gmail client against the project's Google emulator over loopback: real HTTP, real libcurl.

#include "core/models/DecodingError.h"
#include "core/services/GmailAPIClient.h"
#include "support/GoogleEmulator.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <thread>

namespace larkpin {
namespace {

using test::GoogleEmulator;
using Fault = GoogleEmulator::Fault;
using APIError = GmailAPIClient::APIError;

class GmailAPIClientTest : public ::testing::Test {
protected:
    GmailAPIClientTest() { emulator.addMailbox("me@example.com", "token-1"); }

    GmailAPIClient client(std::string token = "token-1", std::chrono::milliseconds timeout = GmailAPIClient::defaultTimeout)
    {
        return GmailAPIClient(session, emulator.gmailBaseURL(), [this, token] {
            ++tokenCalls;
            return token;
        }, timeout);
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
    struct Case {
        std::string path;
        Fault fault;
        APIError expected;
        std::string description;
    };
    const std::vector<Case> cases = {
        {"profile", Fault::httpStatus(401, {{"Retry-After", "120"}}), APIError::unauthorized(),
         "Gmail authorization expired."},
        {"profile", Fault::httpStatus(429, {{"Retry-After", "120"}}), APIError::rateLimited(120),
         "Gmail temporarily rate-limited this account."},
        {"profile", Fault::httpStatus(429, {{"Retry-After", "1.5"}}), APIError::rateLimited(1.5), ""},
        {"profile", Fault::httpStatus(429, {{"Retry-After", "Wed, 21 Oct 2026 07:28:00 GMT"}}),
         APIError::rateLimited(std::nullopt), ""},
        {"profile", Fault::httpStatus(429, {{"Retry-After", ""}}), APIError::rateLimited(std::nullopt), ""},
        {"profile", Fault::httpStatus(429, {{"Retry-After", "12 s"}}), APIError::rateLimited(std::nullopt), ""},
        {"profile", Fault::httpStatus(429, {{"Retry-After", "inf"}}), APIError::rateLimited(std::nullopt), ""},
        {"profile", Fault::httpStatus(429), APIError::rateLimited(std::nullopt), ""},
        {"profile", Fault::httpStatus(500), APIError::response(500), "Gmail returned HTTP 500."},
        {"profile", Fault::httpStatus(503), APIError::response(503), "Gmail returned HTTP 503."},
        {"profile", Fault::httpStatus(302), APIError::response(302), ""},
        {"profile", Fault::httpStatus(404), APIError::response(404), ""},
        {"history", Fault::httpStatus(404), APIError::invalidHistory(),
         "Gmail history expired; a bounded resync is required."},
        {"history", Fault::httpStatus(400), APIError::response(400), ""},
    };
    for (const auto& [path, fault, expected, description] : cases) {
        emulator.queueFault(path, fault);
        const auto error = apiErrorOf([&] {
            if (path == "history")
                client().history("1");
            else
                client().profile();
        });
        ASSERT_TRUE(error) << path << " " << expected.what();
        EXPECT_EQ(*error, expected) << path << " " << error->what() << " " << fault.status.value_or(0);
        if (!description.empty()) {
            EXPECT_EQ(std::string(error->what()), description);
        }
    }
}

TEST_F(GmailAPIClientTest, aMissingMessageIsAPlainNotFound)
{
    const auto error = apiErrorOf([&] { client().message("0123456789abcdef"); });
    ASSERT_TRUE(error);
    EXPECT_EQ(*error, APIError::response(404));
    // Unusual ids stay one path segment: nothing can step to another endpoint.
    for (const std::string id : {"../profile", "..", "a/b c", "x?format=minimal#y"}) {
        const auto odd = apiErrorOf([&] { client().message(id); });
        ASSERT_TRUE(odd) << id;
        EXPECT_EQ(*odd, APIError::response(404)) << id;
    }
    EXPECT_EQ(emulator.counters().requestsTo("/gmail/v1/users/me/profile"), 0u);
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
    emulator.resetCounters();
    const GmailAPIClient failing(session, emulator.gmailBaseURL(), []() -> std::string {
        throw std::runtime_error("No refresh token for me@example.com");
    });
    EXPECT_THROW(
        {
            try {
                failing.profile();
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "No refresh token for me@example.com");
                throw;
            }
        },
        std::runtime_error);
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

    // No "messages" key at all is an empty list, not an error.
    GoogleEmulator empty(LARKPIN_GOOGLE_EMULATOR_PATH);
    empty.addMailbox("other@example.com", "token-2");
    const GmailAPIClient other(session, empty.gmailBaseURL(), [] { return std::string("token-2"); });
    EXPECT_TRUE(other.recentMessageIDs(50).empty());
}

TEST_F(GmailAPIClientTest, fetchesAFullMessage)
{
    const auto id = emulator.addMessage({.from = "GitHub <noreply@github.com>",
                                         .subject = "Your code",
                                         .plain = "Code: 123456",
                                         .html = "<p>Code: <b>123456</b></p>",
                                         .structure = "nested",
                                         .receivedAt = 1'800'000'000.5});
    const auto message = client().message(id);
    EXPECT_EQ(message.id, id);
    const auto content = message.content("me@example.com", TimePoint{});
    EXPECT_EQ(content.sender, "GitHub <noreply@github.com>");
    EXPECT_EQ(content.subject, "Your code");
    EXPECT_EQ(content.plainText, "Code: 123456");
    EXPECT_EQ(content.htmlText, "<p>Code: <b>123456</b></p>");
    EXPECT_EQ(content.receivedAt, timePointFromSecondsSince1970(1'800'000'000.5));
}

TEST_F(GmailAPIClientTest, pagesThroughHistoryCollapsingDuplicatesAndSorting)
{
    const auto start = client().profile().historyId;
    emulator.setHistoryPageSize(2);
    std::vector<std::string> ids;
    for (const auto* id : {"00000000000000f3", "00000000000000a1", "00000000000000c2", "00000000000000b4"})
        ids.push_back(emulator.addMessage({.plain = "hello", .id = std::string(id)}));
    emulator.addMessage({.plain = "again", .id = std::string("00000000000000a1")}); // a second record, same id

    const auto page = client().history(start);
    EXPECT_EQ(page.messageIDs, (std::vector<std::string>{"00000000000000a1", "00000000000000b4", "00000000000000c2",
                                                          "00000000000000f3"}));
    EXPECT_EQ(page.historyID, client().profile().historyId);
    EXPECT_EQ(emulator.counters().requestsTo("/gmail/v1/users/me/history"), 3u);

    // Nothing new: no "history" key, just the current id.
    const auto quiet = client().history(page.historyID);
    EXPECT_TRUE(quiet.messageIDs.empty());
    EXPECT_EQ(quiet.historyID, page.historyID);
}

TEST_F(GmailAPIClientTest, rejectsHistoryAnswersThatCannotBeTrusted)
{
    using nlohmann::json;
    const auto page = [](json history, std::optional<std::string> next, std::optional<std::string> historyId) {
        json body = {{"history", std::move(history)}};
        if (next)
            body["nextPageToken"] = *next;
        if (historyId)
            body["historyId"] = *historyId;
        return Fault::httpStatus(200, {}, body.dump());
    };
    const json added = json::array({{{"messagesAdded", {{{"message", {{"id", "m1"}}}}}}}});

    // Duplicates across pages collapse.
    emulator.queueFault("history", page(added, "p2", "50"));
    emulator.queueFault("history", page(added, std::nullopt, "51"));
    EXPECT_EQ(client().history("1"), (GmailHistoryPage{.messageIDs = {"m1"}, .historyID = "51"}));

    // A page that repeats an earlier page token would loop for ever.
    emulator.queueFault("history", page(added, "p2", "50"));
    emulator.queueFault("history", page(added, "p3", "50"));
    emulator.queueFault("history", page(added, "p2", "50"));
    EXPECT_EQ(apiErrorOf([&] { client().history("1"); }), APIError::malformedResponse());
    emulator.clearFaults();

    // Decoding failures of any page reach the caller as decoding errors.
    const std::vector<Fault> undecodable = {
        page(added, std::nullopt, std::nullopt),                                   // no historyId
        page(json::array({{{"messagesAdded", {{{"message", {{"id", 7}}}}}}}}), std::nullopt, "5"), // mistyped id
        page(json::array({{{"messagesAdded", {{{"other", 1}}}}}}), std::nullopt, "5"),              // no message
        Fault::notJSON(),
        Fault::missingKey("historyId"),
    };
    const auto start = client().profile().historyId;
    for (const auto& fault : undecodable) {
        emulator.queueFault("history", fault);
        EXPECT_THROW(client().history(start), DecodingError) << fault.kind << " " << fault.body.value_or("");
    }
}

TEST_F(GmailAPIClientTest, reportsBrokenTransfersAsTransportErrors)
{
    const auto id = emulator.addMessage({.plain = std::string(20000, 'x')});
    emulator.queueFault("messages/" + id, Fault::dropConnection());
    EXPECT_THROW(client().message(id), HTTPSession::TransportError);
    EXPECT_EQ(client().message(id).id, id) << "the next request works on a new connection";

    emulator.queueFault("profile", Fault::delayed(std::chrono::milliseconds(3000)));
    EXPECT_THROW(client("token-1", std::chrono::milliseconds(300)).profile(), HTTPSession::TransportError);

    const GmailAPIClient nowhere(session, "http://127.0.0.1:1/gmail/v1/users/me", [] { return std::string("t"); });
    EXPECT_THROW(nowhere.profile(), HTTPSession::TransportError);
}

TEST_F(GmailAPIClientTest, reusesOneConnectionForSequentialRequestsFromAnyThread)
{
    const auto id = emulator.addMessage({.plain = "Code 123456"});
    emulator.resetCounters();
    for (int i = 0; i < 10; ++i)
        client().message(id);
    std::thread([&] {
        for (int i = 0; i < 10; ++i)
            client().profile();
    }).join();
    const auto counters = emulator.counters();
    EXPECT_EQ(counters.totalRequests, 20u);
    EXPECT_EQ(counters.connections, 1u);

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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (emulator.counters().requestsTo("messages/" + second) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(emulator.counters().requestsTo("messages/" + second), 1u);
    EXPECT_EQ(request.get().payload->body->data->size(), 400'000u);
    EXPECT_THROW(request.get(), std::logic_error) << "an answer is collected once";

    // A request given up before its answer takes its connection with it; the next ones still work.
    emulator.queueFault("messages/" + first, Fault::delayed(std::chrono::milliseconds(200)));
    client().requestMessage(first);
    EXPECT_EQ(client().message(first).id, first);
    EXPECT_EQ(emulator.counters().connections, 2u);

    // A token that cannot be had is reported when the answer is asked for, like any other failure.
    const GmailAPIClient tokenless(session, emulator.gmailBaseURL(), []() -> std::string {
        throw std::runtime_error("no token");
    });
    auto refused = tokenless.requestMessage(first);
    EXPECT_THROW(refused.get(), std::runtime_error);
}

} // namespace
} // namespace larkpin
