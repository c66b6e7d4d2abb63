#include "core/extraction/OTPExtractor.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace larkpin {
namespace {

    // What a message yields is decided by the corpus (tests/data/extraction); here is what it cannot hold.

    const TimePoint receivedAt = timePointFromSecondsSince1970(1'700'000'000);

    EmailContent message(std::string subject, std::string plainText, std::string sender = "Acme <no-reply@acme.com>")
    {
        return {.subject = std::move(subject),
                .sender = std::move(sender),
                .plainText = std::move(plainText),
                .htmlText = {},
                .receivedAt = receivedAt,
                .messageID = "18c2f0a1b2c3d4e5",
                .accountEmail = "me@example.com"};
    }

    std::optional<std::string> codeIn(const EmailContent& content)
    {
        const auto code = OTPExtractor(600).extract(content);
        return code ? std::optional<std::string>(code->value) : std::nullopt;
    }

    TEST(OTPExtractor, givesEachCodeAFreshIdentifierAndItsOwnLifetime)
    {
        const OTPExtractor extractor(90);
        const auto content = message("", "Your code is 4829");
        const auto code = extractor.extract(content), again = extractor.extract(content);
        ASSERT_TRUE(code.has_value() && again.has_value());
        EXPECT_NE(again->id, code->id);
        EXPECT_FALSE(code->usedAt.has_value());
        EXPECT_EQ(code->expiresAt, receivedAt + Seconds(90));
        // A stated lifetime out of bounds falls back to the extractor's own.
        const auto tooShort = extractor.extract(message("", "Your code is 4829, it expires in 3 seconds"));
        ASSERT_TRUE(tooShort.has_value());
        EXPECT_EQ(tooShort->expiresAt, receivedAt + Seconds(90));
    }

    TEST(OTPExtractor, cutsTheBodyAfter200000Characters)
    {
        // Two-byte letters: the cut counts characters, not bytes.
        std::string body;
        for (int k = 0; k < 199'980; ++k)
            body += "é";
        EXPECT_EQ(codeIn(message("", body + " code 4829")), "4829");
        EXPECT_EQ(codeIn(message("", body + std::string(20, ' ') + " code 4829")), std::nullopt);
        EXPECT_EQ(codeIn(message("", std::string(199'990, '\n') + " code 4829")), "4829");
    }

    TEST(OTPExtractor, repairsTextThatIsNotUTF8)
    {
        const auto code = OTPExtractor(600).extract(
            message("Code \xFF\xFE", "Your code is \xC3 4829 \xE2\x82", "\"Bad \xC0\xAF Name\" <a@b\xF5.com>"));
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(code->value, "4829");
        EXPECT_EQ(code->issuer, "Bad \uFFFD\uFFFD Name · b\uFFFD.com");
        // A truncated sequence at the very end is never read past.
        EXPECT_EQ(codeIn(message("", "Your code is 4829 \xF0\x9F\x98")), "4829");
    }

} // namespace
} // namespace larkpin
