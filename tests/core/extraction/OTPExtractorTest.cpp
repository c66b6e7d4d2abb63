#include "core/extraction/OTPExtractor.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace larkpin {
namespace {

    const TimePoint receivedAt = timePointFromSecondsSince1970(1'700'000'000);

    EmailContent message(std::string subject, std::string plainText, std::string htmlText = {},
                         std::string sender = "Acme <no-reply@acme.com>")
    {
        return {.subject = std::move(subject),
                .sender = std::move(sender),
                .plainText = std::move(plainText),
                .htmlText = std::move(htmlText),
                .receivedAt = receivedAt,
                .messageID = "18c2f0a1b2c3d4e5",
                .accountEmail = "me@example.com"};
    }

    std::optional<std::string> codeIn(const EmailContent& content)
    {
        const auto code = OTPExtractor(600).extract(content);
        return code ? std::optional<std::string>(code->value) : std::nullopt;
    }

    TEST(OTPExtractor, buildsTheCodeFromTheMessage)
    {
        const OTPExtractor extractor(600);
        const auto content = message("Your verification code", "Use 482913 to sign in. It expires in 10 minutes.");
        const auto code = extractor.extract(content);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(code->value, "482913");
        EXPECT_EQ(code->issuer, "Acme · acme.com");
        EXPECT_EQ(code->accountEmail, "me@example.com");
        EXPECT_EQ(code->messageID, "18c2f0a1b2c3d4e5");
        EXPECT_EQ(code->receivedAt, receivedAt);
        EXPECT_EQ(code->expiresAt, receivedAt + Seconds(600));
        EXPECT_FALSE(code->usedAt.has_value());
        EXPECT_EQ(extractor.lifetime(), 600);

        // Deterministic apart from the identifier.
        const auto again = extractor.extract(content);
        ASSERT_TRUE(again.has_value());
        EXPECT_NE(again->id, code->id);
        EXPECT_EQ(again->value, code->value);
        EXPECT_EQ(again->expiresAt, code->expiresAt);
    }

    TEST(OTPExtractor, fallsBackToItsOwnLifetime)
    {
        const auto code = OTPExtractor(90).extract(message("", "Your code is 4829"));
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(code->expiresAt, receivedAt + Seconds(90));
        const auto tooShort = OTPExtractor(90).extract(message("", "Your code is 4829, it expires in 3 seconds"));
        ASSERT_TRUE(tooShort.has_value());
        EXPECT_EQ(tooShort->expiresAt, receivedAt + Seconds(90));
    }

    TEST(OTPExtractor, bornExpiredCodesAreStillReturned)
    {
        auto old = message("", "Your code is 4829");
        old.receivedAt = timePointFromSecondsSince1970(1000);
        const auto code = OTPExtractor(600).extract(old);
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(secondsSince1970(code->expiresAt), 1600);
    }

    struct WinnerCase {
        const char* name;
        EmailContent content;
        std::optional<std::string> expected;
    };

    void PrintTo(const WinnerCase& c, std::ostream* os) { *os << c.name; }

    class ChoosesTheWinner : public testing::TestWithParam<WinnerCase> {};

    TEST_P(ChoosesTheWinner, byScoreThenPosition) { EXPECT_EQ(codeIn(GetParam().content), GetParam().expected); }

    INSTANTIATE_TEST_SUITE_P(
        Winners, ChoosesTheWinner,
        testing::Values(
            WinnerCase{"keyword nearby", message("", "Your code is 4829"), "4829"},
            WinnerCase{"no keyword", message("", "Your number is 4829"), std::nullopt},
            WinnerCase{"order number", message("", "Order 58213 has shipped"), std::nullopt},
            WinnerCase{"equal scores: subject first", message("Code 111111", "Code 222222"), "111111"},
            WinnerCase{"equal scores: earlier first", message("", "code 111111 code 222222"), "111111"},
            WinnerCase{"higher score later", message("", "Ref 111111. " + std::string(60, 'x') + " Your code: 222222"),
                       "222222"},
            WinnerCase{"grouped beats its tokens", message("", "Your code: 123 456"), "123456"},
            WinnerCase{"year never", message("Code", "Your code 2024"), std::nullopt},
            WinnerCase{"phone never", message("", "Code: call +1 (800) 555-0199"), std::nullopt},
            WinnerCase{"date never", message("", "Code valid until 12/2025"), std::nullopt},
            // Scores move in steps of five around the threshold of 60: 65 is kept, 55 dropped.
            WinnerCase{"65: alphanumeric near a keyword", message("", "Your code: AB12CD"), "AB12CD"},
            WinnerCase{"65: number alone in the subject", message("Ticket 4829", "hello"), "4829"},
            WinnerCase{"55: alphanumeric far from keywords",
                       message("Security alert", "code " + std::string(45, 'x') + " AB12CD"), std::nullopt},
            WinnerCase{"50: number far from keywords", message("", "code " + std::string(41, 'x') + " 4829"), std::nullopt},
            WinnerCase{"alphanumeric", message("", "G-482913 is your Google verification code."), "G-482913"}));

    TEST(OTPExtractor, readsTheHTMLBodyOnlyWithoutAPlainOne)
    {
        const std::string html = "<p>Your code is <b>7391</b></p><blockquote>old code 1111</blockquote>";
        EXPECT_EQ(codeIn(message("", "", html)), "7391");
        EXPECT_EQ(codeIn(message("", "Hello", html)), std::nullopt);
        EXPECT_EQ(codeIn(message("", "", "<blockquote>Your code is 1111</blockquote>")), std::nullopt);
        EXPECT_EQ(codeIn(message("", "Hi\nOn Monday, Acme wrote:\n> Your code is 1111")), std::nullopt);
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
            message("Code \xFF\xFE", "Your code is \xC3 4829 \xE2\x82", {}, "\"Bad \xC0\xAF Name\" <a@b\xF5.com>"));
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(code->value, "4829");
        EXPECT_EQ(code->issuer, "Bad \uFFFD\uFFFD Name · b\uFFFD.com");
        // A truncated sequence at the very end is never read past.
        const std::string truncated = "Your code is 4829 \xF0\x9F\x98";
        EXPECT_EQ(codeIn(message("", truncated.substr(0, truncated.size()))), "4829");
    }

    TEST(OTPExtractor, handlesTextsWithoutAnythingToFind)
    {
        for (const auto& content : {message("", ""), message(" ", "\n\n"), message("<", "&"),
                                    message("", "", "<html><body></body></html>"),
                                    message(std::string(1, '\0'), std::string(3, '\0'))})
            EXPECT_EQ(codeIn(content), std::nullopt);
    }

} // namespace
} // namespace larkpin
