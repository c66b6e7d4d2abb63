#include "core/models/GmailMessageDecoder.h"
#include "core/models/DecodingError.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <thread>

namespace larkpin {
namespace {

using json = nlohmann::json;

TEST(GmailMessageDecoder, refusesMissingOrMistypedRequiredKeysAndTextThatIsNotJSON)
{
    const std::vector<std::string> invalid = {
        json::object().dump(),
        json{{"id", 42}}.dump(),
        json{{"id", "m"}, {"internalDate", 1700000000000}}.dump(),
        json{{"id", "m"}, {"payload", "text"}}.dump(),
        json{{"id", "m"}, {"payload", {{"headers", {{{"name", "From"}}}}}}}.dump(),
        json{{"id", "m"}, {"payload", {{"headers", {{{"name", "From"}, {"value", 7}}}}}}}.dump(),
        json{{"id", "m"}, {"payload", {{"parts", {"not an object"}}}}}.dump(),
        json{{"id", "m"}, {"payload", {{"body", {{"data", 5}}}}}}.dump(),
        "[]",
        "",
        "<html>Service Unavailable</html>",
        R"({"id":"m","payload":{"headers":[)", // cut off mid-body
        R"({"id":"m"} trailing)",
        R"({"id":"m\ud83d"})",    // half a surrogate pair
        "{\"id\":\"m\xC3\x28\"}", // bytes that are not UTF-8
        R"({"id":'m'})",
    };
    for (const auto& text : invalid)
        EXPECT_THROW(GmailMessageDecoder().decode(text), DecodingError) << text;
}

TEST(GmailMessageDecoder, readsEscapedTextAndIgnoresUnknownOrNullKeys)
{
    const auto decoded = GmailMessageDecoder().decode(
        R"({"id":"m\u0031","threadId":"t","internalDate":null,"payload":{"mimeType":null,"partId":"","headers":)"
        R"([{"name":"Subject","value":"Caf\u00e9 \"code\"\n\ud83d\udd11 \u0000!"}],"body":{"size":3}}})");
    EXPECT_EQ(decoded.id, "m1");
    EXPECT_EQ(decoded.payload->headers->at(0).value, std::string("Caf\u00E9 \"code\"\n\U0001F511 \0!", 20));
    EXPECT_EQ(decoded.internalDate, std::nullopt);
}

TEST(GmailMessageDecoder, oneDecoderReadsMessagesOfAnySizeInTurnAndFromSeveralThreads)
{
    const auto message = [](const std::string& id, std::size_t bytes) {
        return json{{"id", id},
                    {"payload", {{"headers", {{{"name", "S"}, {"value", std::string(bytes, 'x')}}}}}}}
            .dump();
    };
    GmailMessageDecoder decoder;
    // Small, large, past the retained buffers, broken, small again, and four threads taking turns:
    // each message is read on its own.
    std::atomic<int> wrong = 0;
    const auto decodeSeries = [&](const std::string& series, const std::vector<std::size_t>& sizes) {
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            const auto id = series + std::to_string(i);
            const auto decoded = decoder.decode(message(id, sizes[i]));
            wrong += decoded.id != id || decoded.payload->headers->at(0).value.size() != sizes[i];
            EXPECT_THROW(decoder.decode(message(id, sizes[i]).substr(0, sizes[i] / 2)), DecodingError);
        }
    };
    decodeSeries("a", {10, 200'000, GmailMessageDecoder::retainedCapacity + 5, 3, 70'000});
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back(decodeSeries, std::to_string(t) + "-",
                             std::vector<std::size_t>(100, 1000 + 997 * t));
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(wrong, 0);
}

} // namespace
} // namespace larkpin
