#include "core/models/DecodingError.h"
#include "core/models/GmailAccount.h"
#include "core/models/OTPCode.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace larkpin {
namespace {

using nlohmann::json;

const Uuid codeID = *Uuid::parse("6F1C2A9E-1B7D-4C55-9A3E-0D2B8F4E7C61");
constexpr TimePoint received = timePointFromSecondsSince1970(1'700'000'000.25);
constexpr TimePoint expires = timePointFromSecondsSince1970(1'700'000'600.25);

OTPCode sampleCode(std::optional<TimePoint> usedAt = std::nullopt)
{
    return OTPCode{codeID, "482913", "GitHub", "me@example.com", "18c2f0a1b2", received, expires, usedAt};
}

const json codeDocument{{"id", "6F1C2A9E-1B7D-4C55-9A3E-0D2B8F4E7C61"},
                        {"value", "482913"},
                        {"issuer", "GitHub"},
                        {"accountEmail", "me@example.com"},
                        {"messageID", "18c2f0a1b2"},
                        {"receivedAt", 1'700'000'000.25},
                        {"expiresAt", 1'700'000'600.25}};
const json accountDocument{{"id", "10876543210"}, {"email", "me@example.com"}, {"isEnabled", true}};

TEST(OTPCode, isExpiredFromTheInstantOfExpiryAndIsUsedWhateverTheExpiry)
{
    EXPECT_FALSE(sampleCode().isExpired(expires - Seconds(0.001)));
    EXPECT_TRUE(sampleCode().isExpired(expires));
    EXPECT_FALSE(sampleCode().isUsed()); // expired yet unused
    EXPECT_TRUE(sampleCode(received).isUsed());
}

TEST(OTPCodeJSON, writesUsedAtOnlyWhenPresentAndRoundTrips)
{
    EXPECT_EQ(json(sampleCode()), codeDocument);
    const auto used = sampleCode(timePointFromSecondsSince1970(1'700'000'100.125));
    EXPECT_EQ(json(used)["usedAt"], 1'700'000'100.125);
    for (const auto& code : {sampleCode(), used})
        EXPECT_EQ(json::parse(json(code).dump()).get<OTPCode>(), code);

    auto lenient = codeDocument;
    lenient["usedAt"] = nullptr;
    lenient["somethingElse"] = "ignored";
    EXPECT_EQ(lenient.get<OTPCode>(), sampleCode());
}

struct BadDocument {
    json document;
    const char* what;
};

std::vector<BadDocument> withEach(const json& base, const std::vector<const char*>& missing,
                                  const std::vector<std::pair<const char*, json>>& mistyped)
{
    std::vector<BadDocument> cases;
    for (const auto* key : missing) {
        cases.push_back({base, key});
        cases.back().document.erase(key);
    }
    for (const auto& [key, value] : mistyped) {
        cases.push_back({base, key});
        cases.back().document[key] = value;
    }
    return cases;
}

TEST(OTPCodeJSON, rejectsMissingRequiredKeysAndMistypedValues)
{
    auto cases = withEach(codeDocument, {"id", "value", "issuer", "accountEmail", "messageID", "receivedAt", "expiresAt"},
                          {{"id", "not-a-uuid"}, {"value", 482913}, {"issuer", nullptr}, {"receivedAt", "1700000000"},
                           {"receivedAt", true}, {"usedAt", "yesterday"}});
    cases.push_back({json::array(), "an array"});
    for (const auto& [document, what] : cases)
        EXPECT_THROW(document.get<OTPCode>(), DecodingError) << what << ": " << document.dump();
}

TEST(GmailAccountJSON, writesOptionalKeysOnlyWhenPresentAndRoundTrips)
{
    const GmailAccount bare{.id = "10876543210", .email = "me@example.com", .isEnabled = true};
    EXPECT_EQ(json(bare), accountDocument);
    EXPECT_EQ(accountDocument.get<GmailAccount>(), bare);

    const GmailAccount synced{"10876543210", "me@example.com", "98765", timePointFromSecondsSince1970(1.5e9), false};
    EXPECT_EQ(json(synced), (json{{"id", "10876543210"}, {"email", "me@example.com"}, {"isEnabled", false},
                                  {"lastHistoryID", "98765"}, {"lastSyncAt", 1.5e9}}));
    EXPECT_EQ(json::parse(json(synced).dump()).get<GmailAccount>(), synced);

    const auto cases = withEach(accountDocument, {"id", "email", "isEnabled"},
                                {{"isEnabled", 1}, {"lastHistoryID", 98765}, {"lastSyncAt", "2024-01-01"}});
    for (const auto& [document, what] : cases)
        EXPECT_THROW(document.get<GmailAccount>(), DecodingError) << what << ": " << document.dump();
}

} // namespace
} // namespace larkpin
