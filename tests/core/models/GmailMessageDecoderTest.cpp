#include "core/models/DecodingError.h"
#include "core/models/GmailMessageDecoder.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <thread>

namespace larkpin {
namespace {

using json = nlohmann::json;

TEST(GmailMessageDecoder, rejectsMissingOrMistypedRequiredKeysAndIgnoresUnknownOnes)
{
    const std::vector<json> invalid = {
        json::object(),
        {{"id", 42}},
        {{"id", "m"}, {"internalDate", 1700000000000}},
        {{"id", "m"}, {"payload", "text"}},
        {{"id", "m"}, {"payload", {{"headers", {{{"name", "From"}}}}}}},
        {{"id", "m"}, {"payload", {{"headers", {{{"name", "From"}, {"value", 7}}}}}}},
        {{"id", "m"}, {"payload", {{"parts", {"not an object"}}}}},
        {{"id", "m"}, {"payload", {{"body", {{"data", 5}}}}}},
        json::array(),
    };
    for (const auto& document : invalid)
        EXPECT_THROW(GmailMessageDecoder().decode(document.dump()), DecodingError) << document;

    const json tolerated = {{"id", "m"},       {"threadId", "t"},   {"labelIds", {"INBOX"}},
                            {"snippet", "hi"}, {"internalDate", nullptr},
                            {"payload", {{"mimeType", nullptr}, {"headers", nullptr}, {"partId", ""}, {"body", {{"size", 3}}}}}};
    EXPECT_EQ(GmailMessageDecoder().decode(tolerated.dump()).id, "m");
}

TEST(GmailMessageDecoder, readsEscapedTextAndRefusesTextThatIsNotJSON)
{
    const auto decoded = GmailMessageDecoder().decode(
        R"({"id":"m\u0031","payload":{"headers":[{"name":"Subject","value":"Caf\u00e9 \"code\"\n\ud83d\udd11 \u0000!"}]}})");
    EXPECT_EQ(decoded.id, "m1");
    EXPECT_EQ(decoded.payload->headers->at(0).value, std::string("Caf\u00E9 \"code\"\n\U0001F511 \0!", 20));

    const std::vector<std::string> notJSON = {
        "",
        "<html>Service Unavailable</html>",
        R"({"id":"m","payload":{"headers":[)",      // cut off mid-body
        R"({"id":"m"} trailing)",
        R"({"id":"m\ud83d"})",                     // half a surrogate pair
        "{\"id\":\"m\xC3\x28\"}",                    // bytes that are not UTF-8
        R"({"id":'m'})",
    };
    for (const auto& text : notJSON)
        EXPECT_THROW(GmailMessageDecoder().decode(text), DecodingError) << text;
}

TEST(GmailMessageDecoder, oneDecoderReadsMessagesOfAnySizeInTurnAndFromSeveralThreads)
{
    const auto message = [](const std::string& id, std::size_t subjectBytes) {
        return json{{"id", id},
                    {"payload", {{"headers", {{{"name", "Subject"}, {"value", std::string(subjectBytes, 'x')}}}}}}}
            .dump();
    };
    GmailMessageDecoder decoder;
    // Small, large, past the retained buffers, broken, small again: each is read on its own.
    const std::vector<std::pair<std::string, std::size_t>> sequence = {
        {"a", 10}, {"b", 200'000}, {"c", GmailMessageDecoder::retainedCapacity + 5}, {"d", 3}, {"e", 70'000}};
    for (const auto& [id, bytes] : sequence) {
        const auto decoded = decoder.decode(message(id, bytes));
        EXPECT_EQ(decoded.id, id);
        EXPECT_EQ(decoded.payload->headers->at(0).value.size(), bytes);
        EXPECT_THROW(decoder.decode(message(id, bytes).substr(0, bytes / 2)), DecodingError);
    }

    std::vector<std::thread> threads;
    std::atomic<int> wrong = 0;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const auto id = std::to_string(t) + "-" + std::to_string(i);
                const auto bytes = static_cast<std::size_t>((i * 7919 + t) % 5000);
                const auto decoded = decoder.decode(message(id, bytes));
                if (decoded.id != id || decoded.payload->headers->at(0).value != std::string(bytes, 'x'))
                    ++wrong;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);
}

} // namespace
} // namespace larkpin
