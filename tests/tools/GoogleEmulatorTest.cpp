// larkpin-google-emulator as any HTTP client sees it (libcurl here), driven through GoogleEmulator.

#include "support/GoogleEmulator.h"
#include "support/ProcessRunner.h"
#include "support/TemporaryFolder.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <thread>

namespace larkpin {
namespace {

using nlohmann::json;
using test::GoogleEmulator;
using Fault = GoogleEmulator::Fault;

struct HTTPResponse {
    CURLcode result = CURLE_OK;
    long status = 0;
    std::string body;
    std::map<std::string, std::string> headers; ///< names in lower case

    json parsed() const { return json::parse(body, nullptr, false); }
};

/// One libcurl handle: like the app's client, it keeps its connection alive between requests.
class HTTPClient {
public:
    HTTPResponse get(const std::string& url, const std::optional<std::string>& authorization) {
        return perform(url, authorization, std::nullopt);
    }
    HTTPResponse post(const std::string& url, const std::string& body) {
        return perform(url, std::nullopt, body);
    }

private:
    struct Cleanup {
        void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
        void operator()(curl_slist* list) const { curl_slist_free_all(list); }
    };

    static std::size_t collect(char* data, std::size_t size, std::size_t count, void* sink) {
        static_cast<std::string*>(sink)->append(data, size * count);
        return size * count;
    }
    static std::size_t header(char* data, std::size_t size, std::size_t count, void* sink) {
        const std::string line(data, size * count);
        const auto colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            for (auto& c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            const auto start = line.find_first_not_of(' ', colon + 1);
            const auto end = line.find_last_not_of("\r\n");
            (*static_cast<std::map<std::string, std::string>*>(sink))[name] =
                start == std::string::npos || end < start ? "" : line.substr(start, end - start + 1);
        }
        return size * count;
    }

    HTTPResponse perform(const std::string& url, const std::optional<std::string>& authorization,
                         const std::optional<std::string>& postBody) {
        HTTPResponse response;
        CURL* curl = handle_.get();
        curl_easy_reset(curl);
        std::unique_ptr<curl_slist, Cleanup> headers;
        if (authorization)
            headers.reset(curl_slist_append(nullptr, ("Authorization: " + *authorization).c_str()));
        if (postBody) // libcurl would label it a form, which cpp-httplib caps at 8 KB
            headers.reset(curl_slist_append(headers.release(), "Content-Type: application/json"));
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
        curl_easy_setopt(curl, CURLOPT_TIMEOUT, 60L);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &response.body);
        curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, header);
        curl_easy_setopt(curl, CURLOPT_HEADERDATA, &response.headers);
        if (postBody) {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, postBody->c_str());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(postBody->size()));
        }
        response.result = curl_easy_perform(curl);
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &response.status);
        return response;
    }

    std::unique_ptr<CURL, Cleanup> handle_{curl_easy_init()};
};

std::string base64URLDecoded(const std::string& text) {
    static const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string out;
    unsigned buffer = 0;
    int bits = 0;
    for (const char c : text) {
        const auto value = alphabet.find(c);
        if (value == std::string::npos)
            throw std::runtime_error("not base64url: " + text);
        buffer = (buffer << 6) | static_cast<unsigned>(value);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((buffer >> bits) & 0xFF);
        }
    }
    return out;
}

/// Texts of every text/plain and text/html part, depth first, as a Gmail client collects them.
void collectTexts(const json& part, std::vector<std::string>& plain, std::vector<std::string>& html) {
    const auto type = part.value("mimeType", "");
    const auto body = part.value("body", json::object());
    if ((type == "text/plain" || type == "text/html") && body.contains("data"))
        (type == "text/plain" ? plain : html).push_back(base64URLDecoded(body["data"]));
    for (const auto& child : part.value("parts", json::array()))
        collectTexts(child, plain, html);
}

std::string headerValue(const json& payload, const std::string& name) {
    for (const auto& header : payload.value("headers", json::array()))
        if (header["name"] == name)
            return header["value"];
    return "<missing>";
}

double nowSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

class GoogleEmulatorTest : public ::testing::Test {
protected:
    void SetUp() override { emulator_.addMailbox("alice@example.com", "alice-token"); }

    HTTPResponse gmail(const std::string& pathAndQuery, const std::string& token = "alice-token") {
        return client_.get(emulator_.gmailBaseURL() + "/" + pathAndQuery, "Bearer " + token);
    }
    json gmailJSON(const std::string& pathAndQuery) {
        const auto response = gmail(pathAndQuery);
        EXPECT_EQ(response.status, 200) << pathAndQuery << ": " << response.body;
        return response.parsed();
    }
    std::string historyId() { return gmailJSON("profile")["historyId"]; }
    std::vector<std::string> listedIds(const std::string& query) {
        std::vector<std::string> ids;
        for (const auto& item : gmailJSON("messages?" + query).value("messages", json::array()))
            ids.push_back(item["id"]);
        return ids;
    }

    GoogleEmulator emulator_{LARKPIN_GOOGLE_EMULATOR_PATH};
    HTTPClient client_;
};

// --- Authorization ---------------------------------------------------------------------------------

TEST_F(GoogleEmulatorTest, GmailRequestsNeedTheBearerTokenOfAMailbox) {
    const std::string id = emulator_.addMessage({.plain = "hello"});
    const std::vector<std::optional<std::string>> refused = {
        std::nullopt, "Bearer wrong-token", "Basic alice-token",
        "Bearer ",    "alice-token",        "Bearer  alice-token",
    };
    for (const std::string& path :
         std::vector<std::string>{"profile", "messages", "messages/" + id, "history?startHistoryId=10000"}) {
        for (const auto& authorization : refused) {
            const auto response = client_.get(emulator_.gmailBaseURL() + "/" + path, authorization);
            EXPECT_EQ(response.status, 401) << path << " with " << authorization.value_or("no header");
            EXPECT_EQ(response.parsed()["error"]["code"], 401);
            EXPECT_EQ(response.parsed()["error"]["status"], "UNAUTHENTICATED");
        }
        EXPECT_EQ(gmail(path).status, 200) << path;
    }
}

TEST_F(GoogleEmulatorTest, TheTokenChoosesWhichMailboxIsMe) {
    emulator_.addMailbox("bob@example.com", "bob-token");
    emulator_.addMessage({.mailbox = "bob@example.com", .plain = "for bob"});
    const auto bob = gmail("profile", "bob-token").parsed();
    EXPECT_EQ(bob["emailAddress"], "bob@example.com");
    EXPECT_EQ(bob["messagesTotal"], 1);
    EXPECT_EQ(gmailJSON("profile")["messagesTotal"], 0);
    EXPECT_FALSE(gmailJSON("messages").contains("messages"));
}

// --- Profile and listing ---------------------------------------------------------------------------

TEST_F(GoogleEmulatorTest, HistoryIdAdvancesByOnePerChange) {
    const auto start = std::stoull(historyId());
    const std::string first = emulator_.addMessage({.plain = "one"});
    emulator_.addMessage({.plain = "two"});
    EXPECT_EQ(historyId(), std::to_string(start + 2));
    emulator_.deleteMessage(first);
    const auto profile = gmailJSON("profile");
    EXPECT_EQ(profile["historyId"], std::to_string(start + 3));
    EXPECT_EQ(profile["messagesTotal"], 1);
    EXPECT_EQ(profile["threadsTotal"], 1);
}

TEST_F(GoogleEmulatorTest, ListsNewestFirstUpToMaxResults) {
    const double now = nowSeconds();
    const std::string oldest = emulator_.addMessage({.receivedAt = now - 300});
    const std::string newest = emulator_.addMessage({.receivedAt = now - 50});
    const std::string middle = emulator_.addMessage({.receivedAt = now - 200});
    const std::string second = emulator_.addMessage({.receivedAt = now - 100});

    EXPECT_EQ(listedIds("maxResults=10"), (std::vector<std::string>{newest, second, middle, oldest}));
    const auto page = gmailJSON("messages?maxResults=2");
    EXPECT_EQ(listedIds("maxResults=2"), (std::vector<std::string>{newest, second}));
    EXPECT_EQ(page["resultSizeEstimate"], 4);
    EXPECT_TRUE(page.contains("nextPageToken"));
    EXPECT_EQ(page["messages"][0]["threadId"], newest);
    for (const auto& id : {oldest, newest})
        EXPECT_TRUE(id.size() == 16 && id.find_first_not_of("0123456789abcdef") == std::string::npos) << id;
    EXPECT_EQ(gmail("messages?maxResults=0").status, 400);
    EXPECT_EQ(gmail("messages?maxResults=ten").status, 400);
}

TEST_F(GoogleEmulatorTest, NewerThanOneDayKeepsOnlyTheLastDay) {
    const std::string minute = emulator_.addMessage({.age = 60});
    const std::string almostDay = emulator_.addMessage({.age = 23 * 3600});
    emulator_.addMessage({.age = 25 * 3600});
    emulator_.addMessage({.age = 3 * 86400});

    EXPECT_EQ(listedIds("maxResults=50&q=newer_than%3A1d"), (std::vector<std::string>{minute, almostDay}));
    EXPECT_EQ(listedIds("maxResults=50").size(), 4u);
    EXPECT_EQ(gmail("messages?q=from%3Aanyone").status, 400)
        << "an unsupported search must not pass silently";
}

TEST_F(GoogleEmulatorTest, AnEmptyListHasNoMessagesKey) {
    const auto page = gmailJSON("messages?maxResults=50&q=newer_than%3A1d");
    EXPECT_FALSE(page.contains("messages"));
    EXPECT_EQ(page["resultSizeEstimate"], 0);
}

// --- History ---------------------------------------------------------------------------------------

TEST_F(GoogleEmulatorTest, HistoryPagesThroughEveryAdditionWithPageTokens) {
    emulator_.setHistoryPageSize(2);
    const std::string start = historyId();
    std::vector<std::string> added;
    for (int i = 0; i < 5; ++i)
        added.push_back(emulator_.addMessage({.plain = "message " + std::to_string(i)}));
    const std::string current = historyId();

    std::vector<std::string> seen;
    std::optional<std::string> token;
    int pages = 0;
    do {
        auto page = gmailJSON("history?startHistoryId=" + start + "&historyTypes=messageAdded" +
                              (token ? "&pageToken=" + *token : ""));
        ++pages;
        EXPECT_EQ(page["historyId"], current);
        for (const auto& record : page["history"])
            for (const auto& entry : record["messagesAdded"])
                seen.push_back(entry["message"]["id"]);
        token = page.contains("nextPageToken") ? std::optional(page["nextPageToken"].get<std::string>())
                                               : std::nullopt;
    } while (token && pages < 10);
    EXPECT_EQ(pages, 3);
    EXPECT_EQ(seen, added);

    const auto upToDate = gmailJSON("history?startHistoryId=" + current + "&historyTypes=messageAdded");
    EXPECT_FALSE(upToDate.contains("history"));
    EXPECT_EQ(upToDate["historyId"], current);
}

TEST_F(GoogleEmulatorTest, DeletedMessagesAnswer404WhileHistoryStillListsThem) {
    const std::string start = historyId();
    const std::string id = emulator_.addMessage({.plain = "soon gone"});
    emulator_.deleteMessage(id);

    EXPECT_EQ(gmail("messages/" + id + "?format=full").status, 404);
    const auto unknown = gmail("messages/0123456789abcdef?format=full");
    EXPECT_EQ(unknown.status, 404);
    EXPECT_EQ(unknown.parsed()["error"]["status"], "NOT_FOUND");

    const auto added = gmailJSON("history?startHistoryId=" + start + "&historyTypes=messageAdded");
    ASSERT_EQ(added["history"].size(), 1u);
    EXPECT_EQ(added["history"][0]["messagesAdded"][0]["message"]["id"], id);
    const auto everything = gmailJSON("history?startHistoryId=" + start);
    ASSERT_EQ(everything["history"].size(), 2u);
    EXPECT_EQ(everything["history"][1]["messagesDeleted"][0]["message"]["id"], id);
}

TEST_F(GoogleEmulatorTest, HistoryRefusesExpiredAndMalformedStartPoints) {
    const std::string start = historyId();
    emulator_.addMessage({.plain = "x"});
    EXPECT_EQ(gmail("history?startHistoryId=" + start).status, 200);

    emulator_.expireHistory();
    const auto expired = gmail("history?startHistoryId=" + start + "&historyTypes=messageAdded");
    EXPECT_EQ(expired.status, 404);
    EXPECT_EQ(expired.parsed()["error"]["code"], 404);
    EXPECT_EQ(gmail("history?startHistoryId=" + historyId()).status, 200);

    const std::string current = historyId();
    for (const std::string& query :
         std::vector<std::string>{"", "startHistoryId=", "startHistoryId=abc", "startHistoryId=-1",
                                  "startHistoryId=12x", "startHistoryId=" + current + "&pageToken=bogus",
                                  "startHistoryId=" + current + "&historyTypes=everything"})
        EXPECT_EQ(gmail("history?" + query).status, 400) << query;
}

// --- Message structures ----------------------------------------------------------------------------

struct StructureCase {
    std::string structure;
    std::string plain;
    std::string html;
    std::string topType;
    std::vector<std::string> plainTexts;
    std::vector<std::string> htmlTexts;
};

TEST_F(GoogleEmulatorTest, EachStructureDecodesToItsTexts) {
    const std::string code = "Your code is 482913";
    const std::string markup = "<p>Your code is <b>482913</b> &amp; more</p>";
    const std::string unicode = "Código: 123 456 \u2014 \u2713";
    const std::vector<StructureCase> cases = {
        {"plain", code, "", "text/plain", {code}, {}},
        {"plain", unicode, "", "text/plain", {unicode}, {}},
        {"html", "", markup, "text/html", {}, {markup}},
        {"alternative", code, markup, "multipart/alternative", {code}, {markup}},
        {"nested", code, markup, "multipart/mixed", {code}, {markup}},
        {"", "", markup, "text/html", {}, {markup}},
        {"", code, markup, "multipart/alternative", {code}, {markup}},
    };
    const double receivedAt = 1700000000.123;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.structure + " " + c.topType);
        const std::string id = emulator_.addMessage({.from = "Acme <no-reply@acme.example>",
                                                     .subject = "Sign-in code",
                                                     .plain = c.plain,
                                                     .html = c.html,
                                                     .structure = c.structure,
                                                     .receivedAt = receivedAt});
        const auto message = gmailJSON("messages/" + id + "?format=full");
        EXPECT_EQ(message["id"], id);
        EXPECT_EQ(message["threadId"], id);
        EXPECT_EQ(message["internalDate"], "1700000000123");
        EXPECT_TRUE(message["historyId"].is_string());
        EXPECT_TRUE(message["sizeEstimate"].is_number_integer());
        EXPECT_TRUE(message["labelIds"].is_array());
        const auto& payload = message["payload"];
        EXPECT_EQ(payload["mimeType"], c.topType);
        EXPECT_EQ(headerValue(payload, "From"), "Acme <no-reply@acme.example>");
        EXPECT_EQ(headerValue(payload, "To"), "alice@example.com");
        EXPECT_EQ(headerValue(payload, "Subject"), "Sign-in code");
        EXPECT_EQ(headerValue(payload, "Date"), "Tue, 14 Nov 2023 22:13:20 +0000");
        EXPECT_EQ(headerValue(payload, "Message-ID"), "<" + id + "@acme.example>");
        std::vector<std::string> plain, html;
        collectTexts(payload, plain, html);
        EXPECT_EQ(plain, c.plainTexts);
        EXPECT_EQ(html, c.htmlTexts);
    }
}

TEST_F(GoogleEmulatorTest, NestedMessagesCarryAnAttachmentByReference) {
    const std::string id = emulator_.addMessage({.plain = "see attached", .structure = "nested"});
    const auto payload = gmailJSON("messages/" + id + "?format=full")["payload"];
    ASSERT_EQ(payload["parts"].size(), 2u);
    EXPECT_EQ(payload["parts"][0]["mimeType"], "multipart/alternative");
    EXPECT_EQ(payload["parts"][0]["parts"][1]["partId"], "0.1");
    const auto& attachment = payload["parts"][1];
    EXPECT_EQ(attachment["filename"], "receipt.pdf");
    EXPECT_TRUE(attachment["body"]["attachmentId"].is_string());
    EXPECT_GT(attachment["body"]["size"], 0);
    EXPECT_FALSE(attachment["body"].contains("data"));
}

TEST_F(GoogleEmulatorTest, RawPayloadsAndOddDatesAreServedVerbatim) {
    // Header names in odd case, a body with a line break, a Latin-1 byte, and a tree deeper than
    // any client should walk.
    json deep = {{"mimeType", "text/plain"}, {"body", {{"data", "ZGVlcA"}}}};
    for (int level = 0; level < 25; ++level)
        deep = {{"mimeType", "multipart/mixed"}, {"parts", json::array({deep})}};
    const json payload = {
        {"mimeType", "multipart/mixed"},
        {"headers",
         json::array({{{"name", "SUBJECT"}, {"value", "Odd"}}, {{"name", "from"}, {"value", "a@b.c"}}})},
        {"parts", json::array({{{"mimeType", "text/plain"}, {"body", {{"data", "SGVs\nbG8"}}}},
                               {{"mimeType", "text/plain"}, {"body", {{"data", "6Q"}}}},
                               deep})},
    };
    const std::string raw = emulator_.addMessage({.payload = payload});
    EXPECT_EQ(gmailJSON("messages/" + raw + "?format=full")["payload"], payload);

    const std::string bare = emulator_.addMessage({.structure = "raw", .internalDate = " 1700000000123"});
    const auto bareMessage = gmailJSON("messages/" + bare + "?format=full");
    EXPECT_FALSE(bareMessage.contains("payload"));
    EXPECT_EQ(bareMessage["internalDate"], " 1700000000123");

    const auto undated =
        gmailJSON("messages/" + emulator_.addMessage({.plain = "x", .internalDate = nullptr}));
    EXPECT_TRUE(undated.contains("payload"));
    EXPECT_FALSE(undated.contains("internalDate"));

    const std::string chosen = emulator_.addMessage({.plain = "x", .id = "message id with spaces"});
    EXPECT_EQ(chosen, "message id with spaces");
    EXPECT_EQ(gmailJSON("messages/message%20id%20with%20spaces")["id"], chosen);
}

TEST_F(GoogleEmulatorTest, ReAddingAnIdRecordsTheAdditionAgain) {
    const std::string start = historyId();
    const std::string id = emulator_.addMessage({.plain = "first"});
    emulator_.addMessage({.plain = "second", .id = id});
    const auto history = gmailJSON("history?startHistoryId=" + start + "&historyTypes=messageAdded");
    ASSERT_EQ(history["history"].size(), 2u);
    EXPECT_EQ(history["history"][1]["messagesAdded"][0]["message"]["id"], id);
    std::vector<std::string> plain, html;
    collectTexts(gmailJSON("messages/" + id)["payload"], plain, html);
    EXPECT_EQ(plain, std::vector<std::string>{"second"});
}

// --- Faults ----------------------------------------------------------------------------------------

TEST_F(GoogleEmulatorTest, StatusFaultsReplaceTheNextAnswersInOrder) {
    const std::string history = "history?startHistoryId=" + historyId();
    emulator_.queueFault("profile", Fault::httpStatus(429, {{"Retry-After", "120"}}));
    emulator_.queueFault("profile", Fault::httpStatus(503));
    emulator_.queueFault("profile", Fault::httpStatus(500, {}, "custom body"));

    EXPECT_EQ(gmail(history).status, 200) << "other paths are unaffected";
    const auto limited = gmail("profile");
    EXPECT_EQ(limited.status, 429);
    EXPECT_EQ(limited.headers.at("retry-after"), "120");
    EXPECT_EQ(limited.parsed()["error"]["code"], 429);
    const auto unavailable = gmail("profile");
    EXPECT_EQ(unavailable.status, 503);
    EXPECT_EQ(unavailable.parsed()["error"]["code"], 503);
    const auto custom = gmail("profile", "not-even-a-token");
    EXPECT_EQ(custom.status, 500) << "a status fault answers before authorization";
    EXPECT_EQ(custom.body, "custom body");
    EXPECT_EQ(gmail("profile").status, 200);
}

TEST_F(GoogleEmulatorTest, SpoiledSuccessfulAnswers) {
    const std::string start = historyId();
    const std::string id = emulator_.addMessage({.plain = "x"});
    struct Case {
        std::string path;
        Fault fault;
        std::function<void(const HTTPResponse&)> check;
    };
    const std::vector<Case> cases = {
        {"profile", Fault::notJSON(), [](const HTTPResponse& r) { EXPECT_TRUE(r.parsed().is_discarded()); }},
        {"history", Fault::missingKey(),
         [](const HTTPResponse& r) {
             EXPECT_FALSE(r.parsed().contains("historyId"));
             EXPECT_TRUE(r.parsed().contains("history"));
         }},
        {"messages", Fault::missingKey(),
         [](const HTTPResponse& r) { EXPECT_FALSE(r.parsed()["messages"][0].contains("id")); }},
        {"messages/" + id, Fault::missingKey("payload"),
         [&id](const HTTPResponse& r) {
             EXPECT_FALSE(r.parsed().contains("payload"));
             EXPECT_EQ(r.parsed()["id"], id);
         }},
        {"profile", Fault::httpStatus(200, {}, R"({"historyId": "1"})"),
         [](const HTTPResponse& r) { EXPECT_FALSE(r.parsed().contains("emailAddress")); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + c.fault.kind);
        emulator_.queueFault(c.path, c.fault);
        const auto response = gmail(c.path == "history" ? "history?startHistoryId=" + start : c.path);
        EXPECT_EQ(response.status, 200);
        c.check(response);
    }
}

TEST_F(GoogleEmulatorTest, DelayedAnswersArriveIntactAfterTheWait) {
    emulator_.queueFault("profile", Fault::delayed(std::chrono::milliseconds(300)));
    emulator_.queueFault("profile", Fault::httpStatus(503).after(std::chrono::milliseconds(300)));
    const auto started = std::chrono::steady_clock::now();
    const auto delayed = gmail("profile");
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(300));
    EXPECT_EQ(delayed.status, 200);
    EXPECT_EQ(delayed.parsed()["emailAddress"], "alice@example.com");
    EXPECT_EQ(gmail("profile").status, 503);
}

TEST_F(GoogleEmulatorTest, ADroppedConnectionIsAClientError) {
    const std::string id = emulator_.addMessage({.plain = std::string(5000, 'x'), .structure = "nested"});
    emulator_.queueFault("messages/" + id, Fault::dropConnection());
    const auto dropped = gmail("messages/" + id + "?format=full");
    const auto whole = gmail("messages/" + id + "?format=full");
    EXPECT_NE(dropped.result, CURLE_OK);
    EXPECT_EQ(whole.status, 200) << "the next request connects again";
    EXPECT_LT(dropped.body.size(), whole.body.size());
}

TEST_F(GoogleEmulatorTest, FaultsApplyToEndpointsTheEmulatorDoesNotServe) {
    emulator_.queueFault("/oauth2/v1/tokeninfo", Fault::httpStatus(503));
    EXPECT_EQ(client_.post(emulator_.baseURL() + "/oauth2/v1/tokeninfo", "access_token=x").status, 503);
    const auto unserved = client_.post(emulator_.baseURL() + "/oauth2/v1/tokeninfo", "access_token=x");
    EXPECT_EQ(unserved.status, 404);
    EXPECT_EQ(unserved.parsed()["error"]["code"], 404);
    EXPECT_EQ(emulator_.counters().requestsTo("/oauth2/v1/tokeninfo"), 2u);
}

// --- Connections and counters ----------------------------------------------------------------------

TEST_F(GoogleEmulatorTest, OneKeptAliveConnectionCarriesHundredsOfRequests) {
    emulator_.addMessage({.plain = "x"});
    emulator_.resetCounters();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(gmail("profile").status, 200);
        ASSERT_EQ(gmail("messages?maxResults=50&q=newer_than%3A1d").status, 200);
        ASSERT_EQ(gmail("history?startHistoryId=10000&historyTypes=messageAdded").status, 200);
    }
    auto counters = emulator_.counters();
    EXPECT_EQ(counters.connections, 1u);
    EXPECT_EQ(counters.totalRequests, 300u);
    EXPECT_EQ(counters.requestsTo("profile"), 100u);
    EXPECT_EQ(counters.requestsTo("/gmail/v1/users/me/messages"), 100u);
    EXPECT_EQ(counters.requests.size(), 3u) << "control calls are not counted";

    emulator_.resetCounters();
    EXPECT_EQ(emulator_.counters().totalRequests, 0u);
    HTTPClient other;
    other.get(emulator_.gmailBaseURL() + "/profile", "Bearer alice-token");
    gmail("profile");
    EXPECT_EQ(emulator_.counters().connections, 2u);
}

TEST_F(GoogleEmulatorTest, TwoEmulatorsRunSideBySide) {
    GoogleEmulator second(LARKPIN_GOOGLE_EMULATOR_PATH);
    EXPECT_NE(second.port(), emulator_.port());
    second.addMailbox("bob@example.com", "bob-token");
    second.addMessage({.plain = "for bob"});

    EXPECT_EQ(client_.get(second.gmailBaseURL() + "/profile", "Bearer alice-token").status, 401);
    EXPECT_EQ(client_.get(second.gmailBaseURL() + "/profile", "Bearer bob-token").parsed()["messagesTotal"],
              1);
    EXPECT_EQ(gmailJSON("profile")["messagesTotal"], 0);
    EXPECT_EQ(gmail("profile", "bob-token").status, 401);
}

TEST_F(GoogleEmulatorTest, StopsCleanlyWhileConnectionsAreOpenAndAnswersWait) {
    ASSERT_EQ(gmail("profile").status, 200); // leaves an idle kept-alive connection
    emulator_.queueFault("profile", Fault::delayed(std::chrono::minutes(5)));
    std::thread waiting(
        [url = emulator_.gmailBaseURL()] { HTTPClient().get(url + "/profile", "Bearer alice-token"); });
    while (emulator_.counters().requestsTo("profile") < 2)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(emulator_.stop(), 0);
    waiting.join();
}

// --- Control API mistakes --------------------------------------------------------------------------

TEST_F(GoogleEmulatorTest, MalformedControlRequestsAnswer400AndChangeNothing) {
    std::string deep = R"({"payload": )";
    for (int i = 0; i < 100000; ++i)
        deep += R"({"parts":[)";
    deep += "{}";
    for (int i = 0; i < 100000; ++i)
        deep += "]}";
    deep += "}";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"mailboxes", "{not json"},
        {"mailboxes", "[1, 2]"},
        {"mailboxes", R"({"email": "carol@example.com"})"},
        {"mailboxes", R"({"email": 5, "token": "t"})"},
        {"mailboxes", R"({"email": "alice@example.com", "token": "other"})"},
        {"mailboxes", R"({"email": "carol@example.com", "token": "alice-token"})"},
        {"mailboxes", R"({"email": "carol", "token": "t"})"},
        {"messages", R"({"mailbox": "nobody@example.com", "plain": "x"})"},
        {"messages", R"({"structure": "zigzag"})"},
        {"messages", R"({"structure": "plain", "payload": {}})"},
        {"messages", R"({"payload": "text"})"},
        {"messages", R"({"receivedAt": "yesterday"})"},
        {"messages", R"({"age": 5, "receivedAt": 5})"},
        {"messages", R"({"age": -5})"},
        {"messages", R"({"internalDate": 1.5})"},
        {"messages", R"({"id": "a/b"})"},
        {"messages", R"({"id": ""})"},
        {"messages", R"({"labelIds": [1]})"},
        {"messages", R"({"subjekt": "typo"})"},
        {"messages", deep},
        {"messages", "\"\xff\""},
        {"messages/delete", R"({"id": "0000000000000000"})"},
        {"messages/delete", "{}"},
        {"history/expire", R"({"mailbox": "nobody@example.com"})"},
        {"history/page-size", R"({"size": 0})"},
        {"history/page-size", R"({"size": "2"})"},
        {"history/page-size", R"({"size": 18446744073709551615})"},
        {"faults", R"({"path": "history", "status": 500})"},
        {"faults", R"({"path": "/x?y=1", "status": 500})"},
        {"faults", R"({"path": "/x", "kind": "explode"})"},
        {"faults", R"({"path": "/x"})"},
        {"faults", R"({"path": "/x", "status": 99})"},
        {"faults", R"({"path": "/x", "delayMs": -5})"},
        {"faults", R"({"path": "/x", "kind": "delay"})"},
        {"faults", R"({"path": "/x", "kind": "drop", "status": 500})"},
        {"faults", R"({"path": "/x", "status": 500, "headers": {"Retry-After": 5}})"},
        {"faults", R"({"path": "/x", "status": 500, "headers": {"X": "a\r\nInjected: 1"}})"},
        {"faults", R"({"path": "/x", "status": 500, "headers": {"Bad Name": "1"}})"},
    };
    for (const auto& [route, body] : cases) {
        const auto response = client_.post(emulator_.baseURL() + "/_emulator/" + route, body);
        EXPECT_EQ(response.status, 400) << route << " " << body.substr(0, 80);
        const auto parsed = response.parsed();
        EXPECT_TRUE(parsed.is_object() && parsed.contains("error") && parsed["error"].is_string())
            << response.body.substr(0, 200);
    }
    const auto mailboxes = emulator_.control("GET", "mailboxes")["mailboxes"];
    ASSERT_EQ(mailboxes.size(), 1u);
    EXPECT_EQ(mailboxes[0]["messages"], 0);
    EXPECT_TRUE(emulator_.control("GET", "faults")["faults"].empty());
    EXPECT_EQ(gmail("profile").status, 200);

    EXPECT_EQ(client_.post(emulator_.baseURL() + "/_emulator/nothing", "{}").status, 404);
    EXPECT_THROW(emulator_.addMailbox("alice@example.com", "again"), std::runtime_error);
}

// --- Start-up --------------------------------------------------------------------------------------

TEST(GoogleEmulatorStartTest, LoadsMailboxesAndTheDemoMessagesAtStart) {
    GoogleEmulator emulator(LARKPIN_GOOGLE_EMULATOR_PATH,
                            {"--mailbox", "demo@example.com=demo-token", "--mailbox",
                             "other@example.com=other-token", "--messages", LARKPIN_GOOGLE_EMULATOR_DEMO,
                             "--history-page-size", "2"});
    HTTPClient client;
    const auto get = [&](const std::string& path) {
        return client.get(emulator.gmailBaseURL() + "/" + path, "Bearer demo-token").parsed();
    };
    const std::size_t files = static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator(LARKPIN_GOOGLE_EMULATOR_DEMO), {}));
    ASSERT_GE(files, 3u);
    EXPECT_EQ(get("profile")["messagesTotal"], files);
    const auto recent = get("messages?maxResults=50&q=newer_than%3A1d")["messages"];
    EXPECT_GE(recent.size(), 3u);
    EXPECT_LT(recent.size(), files) << "the demo keeps one message older than a day";
    for (const auto& item : recent)
        EXPECT_NE(headerValue(get("messages/" + item["id"].get<std::string>())["payload"], "From"),
                  "<missing>");
    EXPECT_TRUE(get("history?startHistoryId=10000").contains("nextPageToken"));
    EXPECT_EQ(
        client.get(emulator.gmailBaseURL() + "/profile", "Bearer other-token").parsed()["messagesTotal"], 0);
}

TEST(GoogleEmulatorStartTest, RefusesBadArgumentsAndMessageFiles) {
    test::TemporaryFolder folder;
    std::ofstream(folder.path() / "bad.json") << R"({"plain": "x", "structure": "zigzag"})";
    const std::string path = LARKPIN_GOOGLE_EMULATOR_PATH;
    const std::vector<std::vector<std::string>> cases = {
        {"--port", "70000"},
        {"--port"},
        {"--bogus"},
        {"--mailbox", "no-equals-sign"},
        {"--mailbox", "a@example.com=t", "--mailbox", "b@example.com=t"},
        {"--history-page-size", "0"},
        {"--messages", LARKPIN_GOOGLE_EMULATOR_DEMO},
        {"--mailbox", "a@example.com=t", "--messages", "/nonexistent/folder"},
        {"--mailbox", "a@example.com=t", "--messages", folder.path().string()},
    };
    for (auto arguments : cases) {
        arguments.insert(arguments.begin(), path);
        const auto result = test::ProcessRunner::run(arguments);
        EXPECT_EQ(result.status, 2) << arguments[1];
        EXPECT_EQ(result.out, "") << arguments[1];
        EXPECT_NE(result.err, "") << arguments[1];
    }
    const auto bad = test::ProcessRunner::run(
        {path, "--mailbox", "a@example.com=t", "--messages", folder.path().string()});
    EXPECT_NE(bad.err.find("bad.json"), std::string::npos) << bad.err;
}

} // namespace
} // namespace larkpin
