#include "core/models/GmailMessage.h"
#include "core/models/DecodingError.h"
#include "core/models/GmailMessageDecoder.h"
#include "core/models/GmailProfile.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace larkpin {
namespace {

using json = nlohmann::json;

const TimePoint now = timePointFromSecondsSince1970(1'800'000'000);

/// base64url without padding, as Gmail sends bodies.
std::string base64url(std::string_view bytes)
{
    static constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string text;
    std::uint32_t bits = 0;
    int pending = 0;
    for (const char byte : bytes) {
        bits = (bits << 8) | static_cast<std::uint8_t>(byte);
        for (pending += 8; pending >= 6; pending -= 6)
            text += alphabet[(bits >> (pending - 6)) & 63];
    }
    return pending > 0 ? text + alphabet[(bits << (6 - pending)) & 63] : text;
}

json part(const std::string& mimeType, const std::string& text)
{
    return {{"mimeType", mimeType}, {"body", {{"size", text.size()}, {"data", base64url(text)}}}};
}

EmailContent contentOf(const json& document)
{
    return GmailMessageDecoder().decode(document.dump()).content("me@example.com", now);
}

EmailContent contentOfParts(const std::vector<json>& parts)
{
    return contentOf({{"id", "m"}, {"payload", {{"mimeType", "multipart/mixed"}, {"parts", parts}}}});
}

TEST(GmailMessage, decodesBase64URLStrictly)
{
    const std::vector<std::tuple<std::string, std::int64_t, std::optional<std::string>>> cases = {
        {base64url("Your code is 123456"), 100, "Your code is 123456"},
        {"-_-_", 100, "\u00FB\u00FF\u00BF"}, // "-" and "_" stand for "+" and "/"
        {"+/+/", 100, "\u00FB\u00FF\u00BF"}, // which are read as well
        {"-/+_", 100, "\u00FB\u00FF\u00BF"}, // and so is a mix of both
        {"+/8=", 100, "\u00FB\u00FF"},
        {"-_-_==", 100, std::nullopt},      // three bytes need no padding: "==" breaks it
        {base64url("ab") + "=", 100, "ab"}, // padding already there is fine
        {"YQ=", 100, "a"},                  // and so is part of it
        {"YWI==", 100, std::nullopt},       // but not more than the length needs
        {base64url("line one") + "\n" + base64url("x"), 100, std::nullopt}, // line break
        {" " + base64url("abc"), 100, std::nullopt},                        // white space
        {"QUJD*", 100, std::nullopt},                                       // outside the alphabet
        {"QUJDR", 100, std::nullopt}, // a remainder of one cannot be padded
        {"QU=D", 100, std::nullopt},  // padding in the middle
        {"", 100, ""},
        {base64url("12345"), 5, "12345"},                       // exactly the budget
        {base64url("123456"), 5, std::nullopt},                 // one byte over
        {base64url("caf\xE9"), 100, "caf\u00E9"},               // not UTF-8: Latin-1
        {base64url("caf\u00E9"), 100, "caf\u00E9"},             // UTF-8 stays as it is
        {base64url("\xED\xA0\x80"), 100, "\u00ED\u00A0\u0080"}, // an encoded surrogate is not UTF-8
    };
    for (const auto& [text, limit, expected] : cases)
        EXPECT_EQ(GmailMessage::decodeBase64URL(text, limit), expected) << text;
}

TEST(GmailMessage, picksTheFirstSubjectAndSenderIgnoringCaseAndHasDefaultsWithoutThem)
{
    const json headers = {{{"name", "SUBJECT"}, {"value", "Your code"}},
                          {{"name", "from"}, {"value", "A <a@x.io>"}},
                          {{"name", "From"}, {"value", "B <b@x.io>"}}};
    const auto content = contentOf({{"id", "m1"}, {"payload", {{"headers", headers}}}});
    EXPECT_EQ(std::tie(content.subject, content.sender, content.messageID, content.accountEmail),
              std::tie("Your code", "A <a@x.io>", "m1", "me@example.com"));
    const auto bare = contentOf({{"id", "m1"}});
    EXPECT_EQ(std::tie(bare.subject, bare.sender, bare.plainText, bare.htmlText),
              std::tie("", "Unknown sender", "", ""));
}

TEST(GmailMessage, readsInternalDateOnlyWhenItIsAFiniteNumberAsAWhole)
{
    const std::vector<std::pair<json, TimePoint>> cases = {
        {"1700000000123", timePointFromSecondsSince1970(1'700'000'000.123)},
        {"+5000", timePointFromSecondsSince1970(5)},
        {"1.5e3", timePointFromSecondsSince1970(1.5)},
        {" 1700000000123", now},
        {"", now},
        {"17000x", now},
        {"1e999", now}, // infinite
        {"inf", now},
        {nullptr, now},
    };
    for (const auto& [value, expected] : cases)
        EXPECT_EQ(contentOf({{"id", "m"}, {"internalDate", value}}).receivedAt, expected) << value;
}

TEST(GmailMessage, collectsPlainAndHtmlBodiesInVisitingOrder)
{
    const json alternative = {{"mimeType", "multipart/alternative"},
                              {"parts", {part("text/plain", "plain one"), part("text/html", "<b>html</b>")}}};
    auto broken = part("text/plain", "broken");
    broken["body"]["data"] = base64url("fine") + "\n";
    const auto content =
        contentOfParts({alternative,
                        part("text/plain", "plain two"),
                        part("text/plain; charset=utf-8", "has parameters"),
                        part("TEXT/PLAIN", "upper case"),
                        {{"mimeType", "text/plain"}, {"body", {{"size", 0}}}}, // no data
                        {{"mimeType", "application/pdf"}, {"body", {{"attachmentId", "a1"}}}},
                        broken});
    EXPECT_EQ(std::tie(content.plainText, content.htmlText), std::tie("plain one\nplain two", "<b>html</b>"));
}

TEST(GmailMessage, stopsAtTheByteBudget)
{
    EXPECT_EQ(contentOfParts({part("text/plain", std::string(1'000'001, 'a'))}).plainText, "");
    const auto content = contentOfParts({part("text/plain", std::string(600'000, 'p')),
                                         part("text/html", std::string(500'000, 'h')),
                                         part("text/html", std::string(400'000, 'h'))});
    EXPECT_EQ(content.plainText.size(), 600'000u);
    EXPECT_EQ(content.htmlText.size(), 400'000u) << "the second HTML part still fits the rest of the budget";
    // The budget counts the decoded text in UTF-8: 300,000 Latin-1 bytes become 600,000.
    EXPECT_EQ(contentOfParts({part("text/plain", std::string(300'000, '\xE9')),
                              part("text/plain", std::string(400'001, 'x'))})
                  .plainText.size(),
              600'000u);
}

TEST(GmailMessage, visitsAtMostTwoHundredPartsAndTwentyLevels)
{
    json many = {{"mimeType", "multipart/mixed"}, {"parts", json::array()}};
    for (int i = 1; i <= 200; ++i)
        many["parts"].push_back(part("text/plain", std::to_string(i)));
    const auto content = contentOf({{"id", "m"}, {"payload", many}});
    // The container is node 1, so parts 1 to 199 are visited and the 200th (node 201) is not.
    EXPECT_TRUE(content.plainText.ends_with("\n198\n199"));

    const auto nested = [](int levels) {
        json node = part("text/plain", "deep");
        for (int i = 0; i < levels; ++i)
            node = {{"mimeType", "multipart/mixed"}, {"parts", {node}}};
        return node;
    };
    EXPECT_EQ(contentOf({{"id", "m"}, {"payload", nested(20)}}).plainText, "deep");
    EXPECT_EQ(contentOf({{"id", "m"}, {"payload", nested(21)}}).plainText, "");
    EXPECT_THROW(contentOf({{"id", "m"}, {"payload", nested(150)}}), DecodingError);
}

TEST(GmailProfile, requiresAddressAndHistoryIdAsText)
{
    EXPECT_EQ((json{{"emailAddress", "me@example.com"}, {"historyId", "12345"}, {"messagesTotal", 3}}
                   .get<GmailProfile>()),
              (GmailProfile{.emailAddress = "me@example.com", .historyId = "12345"}));
    EXPECT_THROW((json{{"emailAddress", "me@example.com"}}.get<GmailProfile>()), DecodingError);
    EXPECT_THROW((json{{"emailAddress", "me@example.com"}, {"historyId", 12345}}.get<GmailProfile>()),
                 DecodingError);
}

} // namespace
} // namespace larkpin
