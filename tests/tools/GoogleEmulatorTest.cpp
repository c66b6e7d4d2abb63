// larkpin-google-emulator as any HTTP client sees it, driven through GoogleEmulator. The Gmail
// endpoints, faults, counters and request log are pinned down by the tests of the Gmail client and
// the sync engine, which rely on them; these cover what no such test uses: the message shapes a
// test can ask for, mistakes in the control API, and the command line.

#include "core/models/GmailMessageDecoder.h"
#include "core/network/HTTPSession.h"
#include "support/GoogleEmulator.h"
#include "support/ChildProcess.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <optional>

namespace larkpin {
namespace {

using nlohmann::json;
using test::GoogleEmulator;

json gmailJSON(const GoogleEmulator& emulator, const std::string& path, const std::string& token)
{
    HTTPSession::Request request;
    request.url = emulator.gmailBaseURL() + "/" + path;
    request.headers = {{"Authorization", "Bearer " + token}};
    const auto response = HTTPSession().send(request);
    EXPECT_EQ(response.status, 200) << path << ": " << response.body;
    return json::parse(response.body, nullptr, false);
}

TEST(GoogleEmulatorTest, ServesEachMessageShapeAndRawPayloadsVerbatim)
{
    GoogleEmulator emulator(LARKPIN_GOOGLE_EMULATOR_PATH);
    emulator.addMailbox("alice@example.com", "alice-token");
    const auto message = [&](const std::string& id) {
        return gmailJSON(emulator, "messages/" + id, "alice-token");
    };
    const std::string code = "Código: 123 456 \u2014 \u2713";
    const std::string markup = "<p>Your code is <b>482913</b> &amp; more</p>";
    const std::vector<std::array<std::string, 3>> shapes = {
        {"plain", code, ""}, {"html", "", markup}, {"alternative", code, markup}, {"nested", code, markup}};
    for (const auto& [structure, plain, html] : shapes) {
        const auto served =
            message(emulator.addMessage({.plain = plain, .html = html, .structure = structure}));
        const auto content = GmailMessageDecoder().decode(served.dump()).content("alice@example.com", {});
        EXPECT_EQ(std::tie(content.plainText, content.htmlText), std::tie(plain, html)) << structure;
    }
    // A raw payload, an odd date and a chosen id come back exactly as given.
    const json payload = {{"mimeType", "text/plain"}, {"body", {{"data", "SGVs\nbG8"}}}};
    emulator.addMessage({.internalDate = " 17", .id = "id with spaces", .payload = payload});
    const auto raw = message("id%20with%20spaces");
    EXPECT_EQ(std::tie(raw["internalDate"], raw["payload"]), std::tie(" 17", payload));
    const auto bare = message(emulator.addMessage({.structure = "raw", .internalDate = nullptr}));
    EXPECT_FALSE(bare.contains("internalDate") || bare.contains("payload")) << bare;
}

TEST(GoogleEmulatorTest, LoadsMailboxesAndTheDemoMessagesAtStart)
{
    GoogleEmulator emulator(LARKPIN_GOOGLE_EMULATOR_PATH,
                            {"--mailbox", "demo@example.com=demo-token", "--mailbox",
                             "other@example.com=other-token", "--messages", LARKPIN_GOOGLE_EMULATOR_DEMO,
                             "--history-page-size", "2"});
    const auto files = static_cast<std::size_t>(
        std::distance(std::filesystem::directory_iterator(LARKPIN_GOOGLE_EMULATOR_DEMO), {}));
    EXPECT_EQ(gmailJSON(emulator, "profile", "demo-token")["messagesTotal"], files);
    const auto recent = gmailJSON(emulator, "messages?q=newer_than%3A1d", "demo-token")["messages"];
    EXPECT_EQ(recent.size(), files - 1) << "the demo keeps one message older than a day";
    EXPECT_TRUE(gmailJSON(emulator, "history?startHistoryId=10000", "demo-token").contains("nextPageToken"));
    EXPECT_EQ(gmailJSON(emulator, "profile", "other-token")["messagesTotal"], 0);
}

TEST(GoogleEmulatorTest, RefusesBadArgumentsAndMessageFiles)
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
        EXPECT_EQ(std::tuple(result.status, result.out, result.err.empty()), std::tuple(2, "", false))
            << arguments[1];
        EXPECT_TRUE(arguments.back() != folder.path().string() ||
                    result.err.find("bad.json") != std::string::npos)
            << "the file at fault is named: " << result.err;
    }
}

} // namespace
} // namespace larkpin
