// larkpin-google-emulator as any HTTP client sees it, driven through GoogleEmulator. What the Gmail
// client and the sync engine rely on (listing, history paging and expiry, 404s, status and broken
// answers, one kept-alive connection) is pinned down by their own tests against it; these cover the
// rest: authorization, the message shapes, counting, stopping, and mistakes in the control API and
// the command line.

#include "core/models/GmailMessageDecoder.h"
#include "core/network/HTTPSession.h"
#include "support/GoogleEmulator.h"
#include "support/ChildProcess.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <optional>
#include <thread>

namespace larkpin {
namespace {

using nlohmann::json;
using test::GoogleEmulator;
using Fault = GoogleEmulator::Fault;

json parsed(const HTTPSession::Response& response) { return json::parse(response.body, nullptr, false); }

std::string headerValue(const json& payload, const std::string& name)
{
    for (const auto& header : payload.value("headers", json::array()))
        if (header["name"] == name)
            return header["value"];
    return "<missing>";
}

class GoogleEmulatorTest : public ::testing::Test {
protected:
    void SetUp() override { emulator_.addMailbox("alice@example.com", "alice-token"); }

    HTTPSession::Response get(const std::string& url, const std::optional<std::string>& authorization,
                              const HTTPSession& session) const
    {
        HTTPSession::Request request{.url = url};
        if (authorization)
            request.headers.emplace_back("Authorization", *authorization);
        return session.send(request);
    }
    HTTPSession::Response gmail(const std::string& pathAndQuery, const std::string& token = "alice-token") const
    {
        return get(emulator_.gmailBaseURL() + "/" + pathAndQuery, "Bearer " + token, session_);
    }
    json gmailJSON(const std::string& pathAndQuery) const
    {
        const auto response = gmail(pathAndQuery);
        EXPECT_EQ(response.status, 200) << pathAndQuery << ": " << response.body;
        return parsed(response);
    }
    HTTPSession::Response postControl(const std::string& route, const std::string& body) const
    {
        return session_.send({.method = "POST",
                              .url = emulator_.baseURL() + "/_emulator/" + route,
                              .headers = {{"Content-Type", "application/json"}},
                              .body = body});
    }

    GoogleEmulator emulator_{LARKPIN_GOOGLE_EMULATOR_PATH};
    HTTPSession session_;
};

TEST_F(GoogleEmulatorTest, OnlyTheBearerTokenOfAMailboxOpensGmailAndItChoosesTheMailbox)
{
    emulator_.addMailbox("bob@example.com", "bob-token");
    const std::string id = emulator_.addMessage({.mailbox = "bob@example.com", .plain = "for bob"});
    for (const std::string& path : std::vector<std::string>{"profile", "messages", "messages/" + id, "history?startHistoryId=1"})
        for (const auto& authorization : std::vector<std::optional<std::string>>{
                 std::nullopt, "Bearer wrong-token", "Basic alice-token", "alice-token", "Bearer  alice-token"}) {
            const auto response = get(emulator_.gmailBaseURL() + "/" + path, authorization, session_);
            EXPECT_EQ(response.status, 401) << path << " with " << authorization.value_or("no header");
            EXPECT_EQ(parsed(response)["error"]["status"], "UNAUTHENTICATED");
        }
    EXPECT_EQ(parsed(gmail("messages/" + id, "bob-token"))["id"], id);
    EXPECT_EQ(gmail("messages/" + id).status, 404) << "alice's token sees alice's mailbox";
    EXPECT_EQ(gmailJSON("profile")["emailAddress"], "alice@example.com");
    EXPECT_FALSE(gmailJSON("messages").contains("messages")) << "an empty list has no messages key";
}

TEST_F(GoogleEmulatorTest, RequestsItCannotAnswerTruthfullyAre400)
{
    const std::string current = gmailJSON("profile")["historyId"];
    for (const std::string& query : std::vector<std::string>{"messages?maxResults=0", "messages?q=from%3Aanyone", "history", "history?startHistoryId=abc",
          "history?startHistoryId=-1", "history?startHistoryId=" + current + "&pageToken=bogus",
          "history?startHistoryId=" + current + "&historyTypes=everything"})
        EXPECT_EQ(gmail(query).status, 400) << query;
}

struct StructureCase {
    std::string structure;
    std::string plain;
    std::string html;
    std::string topType;
};

TEST_F(GoogleEmulatorTest, EachStructureCarriesItsHeadersAndTexts)
{
    const std::string code = "Código: 123 456 \u2014 \u2713";
    const std::string markup = "<p>Your code is <b>482913</b> &amp; more</p>";
    const std::vector<StructureCase> cases = {
        {"plain", code, "", "text/plain"},
        {"html", "", markup, "text/html"},
        {"alternative", code, markup, "multipart/alternative"},
        {"nested", code, markup, "multipart/mixed"},
        {"", code, markup, "multipart/alternative"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.structure + " " + c.topType);
        const std::string id = emulator_.addMessage({.from = "Acme <no-reply@acme.example>",
                                                     .subject = "Sign-in code",
                                                     .plain = c.plain,
                                                     .html = c.html,
                                                     .structure = c.structure,
                                                     .receivedAt = 1700000000.123});
        const auto message = gmailJSON("messages/" + id + "?format=full");
        EXPECT_EQ(message["internalDate"], "1700000000123");
        EXPECT_EQ(message["payload"]["mimeType"], c.topType);
        EXPECT_EQ(headerValue(message["payload"], "To"), "alice@example.com");
        const auto content = GmailMessageDecoder().decode(message.dump()).content("alice@example.com", TimePoint{});
        EXPECT_EQ(content.sender, "Acme <no-reply@acme.example>");
        EXPECT_EQ(content.subject, "Sign-in code");
        EXPECT_EQ(content.plainText, c.plain);
        EXPECT_EQ(content.htmlText, c.html);
        if (c.structure == "nested") {
            const auto& attachment = message["payload"]["parts"][1];
            EXPECT_EQ(attachment["filename"], "receipt.pdf");
            EXPECT_TRUE(attachment["body"]["attachmentId"].is_string() && !attachment["body"].contains("data"));
        }
    }
}

TEST_F(GoogleEmulatorTest, RawPayloadsOddDatesAndChosenIdsAreServedVerbatim)
{
    // Header names in odd case, a body with a line break, a Latin-1 byte, and a tree deeper than
    // any client should walk.
    json deep = {{"mimeType", "text/plain"}, {"body", {{"data", "ZGVlcA"}}}};
    for (int level = 0; level < 25; ++level)
        deep = {{"mimeType", "multipart/mixed"}, {"parts", json::array({deep})}};
    const json payload = {
        {"mimeType", "multipart/mixed"},
        {"headers", json::array({{{"name", "SUBJECT"}, {"value", "Odd"}}, {{"name", "from"}, {"value", "a@b.c"}}})},
        {"parts", json::array({{{"mimeType", "text/plain"}, {"body", {{"data", "SGVs\nbG8"}}}},
                               {{"mimeType", "text/plain"}, {"body", {{"data", "6Q"}}}},
                               deep})},
    };
    EXPECT_EQ(gmailJSON("messages/" + emulator_.addMessage({.payload = payload}))["payload"], payload);

    const auto bare = gmailJSON("messages/" + emulator_.addMessage({.structure = "raw", .internalDate = " 1700000000123"}));
    EXPECT_FALSE(bare.contains("payload"));
    EXPECT_EQ(bare["internalDate"], " 1700000000123");
    EXPECT_FALSE(gmailJSON("messages/" + emulator_.addMessage({.plain = "x", .internalDate = nullptr})).contains("internalDate"));

    const std::string chosen = emulator_.addMessage({.plain = "x", .id = "message id with spaces"});
    EXPECT_EQ(chosen, "message id with spaces");
    EXPECT_EQ(gmailJSON("messages/message%20id%20with%20spaces")["id"], chosen);
}

TEST_F(GoogleEmulatorTest, CountsRequestsPerPathAndConnectionsButNotControlCalls)
{
    emulator_.queueFault("/oauth2/v1/tokeninfo", Fault::httpStatus(503)); // faults work on unserved paths too
    emulator_.resetCounters();
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(gmail("profile").status, 200);
    gmail("messages");
    emulator_.addMessage({.plain = "x"});
    EXPECT_EQ(get(emulator_.baseURL() + "/oauth2/v1/tokeninfo", std::nullopt, session_).status, 503);
    EXPECT_EQ(get(emulator_.baseURL() + "/oauth2/v1/tokeninfo", std::nullopt, session_).status, 404);
    auto counters = emulator_.counters();
    EXPECT_EQ(counters.connections, 1u);
    EXPECT_EQ(counters.totalRequests, 53u);
    EXPECT_EQ(counters.requestsTo("profile"), 50u);
    EXPECT_EQ(counters.requestsTo("/gmail/v1/users/me/messages"), 1u);
    EXPECT_EQ(counters.requestsTo("/oauth2/v1/tokeninfo"), 2u);
    EXPECT_EQ(counters.requests.size(), 3u);

    const HTTPSession other;
    get(emulator_.gmailBaseURL() + "/profile", "Bearer alice-token", other);
    EXPECT_EQ(emulator_.counters().connections, 2u);
    emulator_.resetCounters();
    EXPECT_EQ(emulator_.counters().totalRequests, 0u);
}

TEST_F(GoogleEmulatorTest, StopsCleanlyWhileConnectionsAreOpenAndAnswersWait)
{
    ASSERT_EQ(gmail("profile").status, 200); // leaves an idle kept-alive connection
    emulator_.queueFault("profile", Fault::delayed(std::chrono::minutes(5)));
    std::thread waiting([url = emulator_.gmailBaseURL()] {
        try {
            HTTPSession().send({.url = url + "/profile", .headers = {{"Authorization", "Bearer alice-token"}}});
        } catch (const HTTPSession::TransportError&) {
        }
    });
    while (emulator_.counters().requestsTo("profile") < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(emulator_.stop(), 0);
    waiting.join();
}

TEST_F(GoogleEmulatorTest, MalformedControlRequestsAnswer400AndChangeNothing)
{
    std::string deep = R"({"payload": )";
    for (int i = 0; i < 100000; ++i)
        deep += R"({"parts":[)";
    deep += "{}";
    for (int i = 0; i < 100000; ++i)
        deep += "]}";
    deep += "}";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"mailboxes", "{not json"},
        {"mailboxes", R"({"email": "carol@example.com"})"},
        {"mailboxes", R"({"email": "alice@example.com", "token": "other"})"},
        {"mailboxes", R"({"email": "carol@example.com", "token": "alice-token"})"},
        {"messages", R"({"mailbox": "nobody@example.com", "plain": "x"})"},
        {"messages", R"({"structure": "zigzag"})"},
        {"messages", R"({"age": 5, "receivedAt": 5})"},
        {"messages", R"({"id": "a/b"})"},
        {"messages", R"({"subjekt": "typo"})"},
        {"messages", deep},
        {"messages", "\"\xff\""},
        {"messages/delete", R"({"id": "0000000000000000"})"},
        {"history/expire", R"({"mailbox": "nobody@example.com"})"},
        {"history/page-size", R"({"size": 0})"},
        {"faults", R"({"path": "history", "status": 500})"},
        {"faults", R"({"path": "/x", "kind": "explode"})"},
        {"faults", R"({"path": "/x", "status": 99})"},
        {"faults", R"({"path": "/x", "status": 500, "headers": {"X": "a\r\nInjected: 1"}})"},
    };
    for (const auto& [route, body] : cases) {
        const auto response = postControl(route, body);
        EXPECT_EQ(response.status, 400) << route << " " << body.substr(0, 80);
        EXPECT_TRUE(parsed(response)["error"].is_string()) << response.body.substr(0, 200);
    }
    const auto mailboxes = emulator_.control("GET", "mailboxes")["mailboxes"];
    ASSERT_EQ(mailboxes.size(), 1u);
    EXPECT_EQ(mailboxes[0]["messages"], 0);
    EXPECT_TRUE(emulator_.control("GET", "faults")["faults"].empty());
    EXPECT_EQ(gmail("profile").status, 200);
    EXPECT_EQ(postControl("nothing", "{}").status, 404);
}

TEST(GoogleEmulatorStartTest, LoadsMailboxesAndTheDemoMessagesAtStart)
{
    GoogleEmulator emulator(LARKPIN_GOOGLE_EMULATOR_PATH,
                            {"--mailbox", "demo@example.com=demo-token", "--mailbox", "other@example.com=other-token",
                             "--messages", LARKPIN_GOOGLE_EMULATOR_DEMO, "--history-page-size", "2"});
    const HTTPSession session;
    const auto get = [&](const std::string& path, const std::string& token = "demo-token") {
        return parsed(session.send({.url = emulator.gmailBaseURL() + "/" + path,
                                    .headers = {{"Authorization", "Bearer " + token}}}));
    };
    const auto files = static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator(LARKPIN_GOOGLE_EMULATOR_DEMO), {}));
    ASSERT_GE(files, 3u);
    EXPECT_EQ(get("profile")["messagesTotal"], files);
    const auto recent = get("messages?maxResults=50&q=newer_than%3A1d")["messages"];
    EXPECT_GE(recent.size(), 3u);
    EXPECT_LT(recent.size(), files) << "the demo keeps one message older than a day";
    for (const auto& item : recent)
        EXPECT_NE(headerValue(get("messages/" + item["id"].get<std::string>())["payload"], "From"), "<missing>");
    EXPECT_TRUE(get("history?startHistoryId=10000").contains("nextPageToken"));
    EXPECT_EQ(get("profile", "other-token")["messagesTotal"], 0);
}

TEST(GoogleEmulatorStartTest, RefusesBadArgumentsAndMessageFiles)
{
    test::TemporaryFolder folder;
    std::ofstream(folder.path() / "bad.json") << R"({"plain": "x", "structure": "zigzag"})";
    const std::string path = LARKPIN_GOOGLE_EMULATOR_PATH;
    const std::vector<std::vector<std::string>> cases = {
        {"--port", "70000"},
        {"--bogus"},
        {"--mailbox", "no-equals-sign"},
        {"--mailbox", "a@example.com=t", "--mailbox", "b@example.com=t"},
        {"--messages", LARKPIN_GOOGLE_EMULATOR_DEMO},
        {"--mailbox", "a@example.com=t", "--messages", "/nonexistent/folder"},
        {"--mailbox", "a@example.com=t", "--messages", folder.path().string()},
    };
    for (auto arguments : cases) {
        arguments.insert(arguments.begin(), path);
        const auto result = test::ChildProcess::run(arguments);
        EXPECT_EQ(result.status, 2) << arguments[1];
        EXPECT_EQ(result.out, "") << arguments[1];
        EXPECT_NE(result.err, "") << arguments[1];
    }
    const auto bad = test::ChildProcess::run({path, "--mailbox", "a@example.com=t", "--messages", folder.path().string()});
    EXPECT_NE(bad.err.find("bad.json"), std::string::npos) << bad.err;
}

} // namespace
} // namespace larkpin
