#include "core/models/DecodingError.h"
#include "core/models/EmailContent.h"
#include "core/models/GmailAccount.h"
#include "core/models/OTPCode.h"
#include "core/models/SyncResult.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <functional>
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

json sampleCodeDocument()
{
    return json{{"id", "6F1C2A9E-1B7D-4C55-9A3E-0D2B8F4E7C61"},
                {"value", "482913"},
                {"issuer", "GitHub"},
                {"accountEmail", "me@example.com"},
                {"messageID", "18c2f0a1b2"},
                {"receivedAt", 1'700'000'000.25},
                {"expiresAt", 1'700'000'600.25}};
}

json sampleAccountDocument()
{
    return json{{"id", "10876543210"}, {"email", "me@example.com"}, {"isEnabled", true}};
}

TEST(OTPCode, isExpiredFromTheExactInstantOfExpiryOn)
{
    const auto code = sampleCode();
    EXPECT_FALSE(code.isExpired(expires - Seconds(0.001)));
    EXPECT_TRUE(code.isExpired(expires));
    EXPECT_TRUE(code.isExpired(expires + Seconds(1)));
}

TEST(OTPCode, isUsedExactlyWhenUsedAtIsPresentWhateverTheExpiry)
{
    EXPECT_FALSE(sampleCode().isUsed());
    EXPECT_TRUE(sampleCode().isExpired(expires)); // an expired code can be unused
    EXPECT_TRUE(sampleCode(received).isUsed());
    EXPECT_TRUE(sampleCode(expires + Seconds(10)).isUsed());
}

TEST(OTPCodeJSON, writesEveryFieldUnderItsNameAndUsedAtOnlyWhenPresent)
{
    const json unused = sampleCode();
    EXPECT_EQ(unused, sampleCodeDocument());
    EXPECT_FALSE(unused.contains("usedAt"));

    const json used = sampleCode(timePointFromSecondsSince1970(1'700'000'100.5));
    ASSERT_TRUE(used.contains("usedAt"));
    EXPECT_EQ(used["usedAt"], 1'700'000'100.5);
}

TEST(OTPCodeJSON, roundTripsUsedAndUnusedCodes)
{
    for (const auto& code : {sampleCode(), sampleCode(timePointFromSecondsSince1970(1'700'000'100.125))}) {
        const json document = code;
        EXPECT_EQ(document.get<OTPCode>(), code);
        EXPECT_EQ(json::parse(document.dump()).get<OTPCode>(), code);
    }
}

TEST(OTPCodeJSON, readsAMissingOrNullUsedAtAsUnusedAndIgnoresUnknownKeys)
{
    auto document = sampleCodeDocument();
    EXPECT_FALSE(document.get<OTPCode>().usedAt.has_value());
    document["usedAt"] = nullptr;
    document["somethingElse"] = "ignored";
    EXPECT_EQ(document.get<OTPCode>(), sampleCode());
}

TEST(OTPCodeJSON, acceptsALowerCaseIdAndWritesItBackUpperCase)
{
    auto document = sampleCodeDocument();
    document["id"] = "6f1c2a9e-1b7d-4c55-9a3e-0d2b8f4e7c61";
    const auto code = document.get<OTPCode>();
    EXPECT_EQ(code.id, codeID);
    EXPECT_EQ(json(code)["id"], "6F1C2A9E-1B7D-4C55-9A3E-0D2B8F4E7C61");
}

TEST(OTPCodeJSON, rejectsEachMissingRequiredKey)
{
    for (const auto* key : {"id", "value", "issuer", "accountEmail", "messageID", "receivedAt", "expiresAt"}) {
        auto document = sampleCodeDocument();
        document.erase(key);
        EXPECT_THROW(document.get<OTPCode>(), DecodingError) << key;
    }
}

struct MistypedValue {
    const char* key;
    json value;
};

TEST(OTPCodeJSON, rejectsMistypedValues)
{
    const std::vector<MistypedValue> cases{
        {"id", 42},
        {"id", "not-a-uuid"},
        {"value", 482913},
        {"issuer", nullptr},
        {"accountEmail", json::array()},
        {"messageID", false},
        {"receivedAt", "1700000000"},
        {"receivedAt", true},
        {"expiresAt", nullptr},
        {"usedAt", "yesterday"},
    };
    for (const auto& [key, value] : cases) {
        auto document = sampleCodeDocument();
        document[key] = value;
        EXPECT_THROW(document.get<OTPCode>(), DecodingError) << key << " = " << value.dump();
    }
    EXPECT_THROW(json::array().get<OTPCode>(), DecodingError);
    EXPECT_THROW(json("code").get<OTPCode>(), DecodingError);
}

TEST(OTPCode, equalityAndHashCoverEveryField)
{
    const auto code = sampleCode();
    EXPECT_EQ(code, sampleCode());
    EXPECT_EQ(std::hash<OTPCode>{}(code), std::hash<OTPCode>{}(sampleCode()));

    const std::vector<std::function<void(OTPCode&)>> changes{
        [](OTPCode& c) { c.id = Uuid::random(); },
        [](OTPCode& c) { c.value = "482914"; },
        [](OTPCode& c) { c.issuer = "GitLab"; },
        [](OTPCode& c) { c.accountEmail = "you@example.com"; },
        [](OTPCode& c) { c.messageID = "18c2f0a1b3"; },
        [](OTPCode& c) { c.receivedAt += Seconds(1); },
        [](OTPCode& c) { c.expiresAt += Seconds(1); },
        [](OTPCode& c) { c.usedAt = received; },
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        auto changed = code;
        changes[i](changed);
        EXPECT_NE(changed, code) << "change " << i;
        EXPECT_NE(std::hash<OTPCode>{}(changed), std::hash<OTPCode>{}(code)) << "change " << i;
    }
}

TEST(GmailAccount, builtWithOnlyIdEmailAndEnabledHasNoHistoryAndNoSyncTime)
{
    GmailAccount account;
    account.id = "10876543210";
    account.email = "me@example.com";
    account.isEnabled = false;
    EXPECT_FALSE(account.lastHistoryID.has_value());
    EXPECT_FALSE(account.lastSyncAt.has_value());
    EXPECT_FALSE(account.isEnabled);
}

TEST(GmailAccountJSON, writesOptionalKeysOnlyWhenPresentAndRoundTrips)
{
    const GmailAccount bare{"10876543210", "me@example.com", std::nullopt, std::nullopt, true};
    const json bareDocument = bare;
    EXPECT_EQ(bareDocument, sampleAccountDocument());
    EXPECT_EQ(bareDocument.get<GmailAccount>(), bare);

    const GmailAccount synced{"10876543210", "me@example.com", "98765", timePointFromSecondsSince1970(1.5e9), false};
    const json syncedDocument = synced;
    EXPECT_EQ(syncedDocument["lastHistoryID"], "98765");
    EXPECT_EQ(syncedDocument["lastSyncAt"], 1.5e9);
    EXPECT_EQ(syncedDocument["isEnabled"], false);
    EXPECT_EQ(json::parse(syncedDocument.dump()).get<GmailAccount>(), synced);
}

TEST(GmailAccountJSON, rejectsMissingRequiredKeysAndMistypedValues)
{
    for (const auto* key : {"id", "email", "isEnabled"}) {
        auto document = sampleAccountDocument();
        document.erase(key);
        EXPECT_THROW(document.get<GmailAccount>(), DecodingError) << key;
    }
    const std::vector<MistypedValue> cases{
        {"id", 10876543210},
        {"email", nullptr},
        {"isEnabled", 1},
        {"isEnabled", "true"},
        {"lastHistoryID", 98765},
        {"lastSyncAt", "2024-01-01"},
        {"lastSyncAt", false},
    };
    for (const auto& [key, value] : cases) {
        auto document = sampleAccountDocument();
        document[key] = value;
        EXPECT_THROW(document.get<GmailAccount>(), DecodingError) << key << " = " << value.dump();
    }
}

TEST(GmailAccount, equalityAndHashCoverEveryField)
{
    const GmailAccount account{"1", "me@example.com", "5", timePointFromSecondsSince1970(100), true};
    EXPECT_EQ(std::hash<GmailAccount>{}(account), std::hash<GmailAccount>{}(GmailAccount(account)));
    const std::vector<std::function<void(GmailAccount&)>> changes{
        [](GmailAccount& a) { a.id = "2"; },
        [](GmailAccount& a) { a.email = "you@example.com"; },
        [](GmailAccount& a) { a.lastHistoryID = "6"; },
        [](GmailAccount& a) { a.lastHistoryID.reset(); },
        [](GmailAccount& a) { a.lastSyncAt = timePointFromSecondsSince1970(101); },
        [](GmailAccount& a) { a.lastSyncAt.reset(); },
        [](GmailAccount& a) { a.isEnabled = false; },
    };
    for (std::size_t i = 0; i < changes.size(); ++i) {
        auto changed = account;
        changes[i](changed);
        EXPECT_NE(changed, account) << "change " << i;
        EXPECT_NE(std::hash<GmailAccount>{}(changed), std::hash<GmailAccount>{}(account)) << "change " << i;
    }
    // An empty history id is a value, not absence.
    auto empty = account;
    empty.lastHistoryID = "";
    auto absent = account;
    absent.lastHistoryID.reset();
    EXPECT_NE(empty, absent);
    EXPECT_NE(std::hash<GmailAccount>{}(empty), std::hash<GmailAccount>{}(absent));
}

TEST(EmailContent, isBuiltSubjectFirstAndComparedOverEveryField)
{
    const EmailContent content{"Your code", "GitHub <noreply@github.com>", "Code: 482913", "<b>482913</b>",
                               received, "18c2f0a1b2", "me@example.com"};
    EXPECT_EQ(content.subject, "Your code");
    EXPECT_EQ(content.sender, "GitHub <noreply@github.com>");
    EXPECT_EQ(content.messageID, "18c2f0a1b2");
    EXPECT_EQ(content.accountEmail, "me@example.com");

    EXPECT_EQ(std::hash<EmailContent>{}(content), std::hash<EmailContent>{}(EmailContent(content)));
    auto swapped = content;
    std::swap(swapped.plainText, swapped.htmlText);
    EXPECT_NE(swapped, content);
    EXPECT_NE(std::hash<EmailContent>{}(swapped), std::hash<EmailContent>{}(content));
    auto later = content;
    later.receivedAt += Seconds(1);
    EXPECT_NE(later, content);
}

TEST(SyncResult, comparesEveryField)
{
    const SyncResult result{3, 1, "98765", true};
    EXPECT_EQ(result, (SyncResult{3, 1, "98765", true}));
    EXPECT_NE(result, (SyncResult{4, 1, "98765", true}));
    EXPECT_NE(result, (SyncResult{3, 0, "98765", true}));
    EXPECT_NE(result, (SyncResult{3, 1, "98766", true}));
    EXPECT_NE(result, (SyncResult{3, 1, "98765", false}));
}

} // namespace
} // namespace larkpin
