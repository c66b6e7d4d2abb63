#include "core/extraction/OTPExtractorInternals.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace larkpin {
namespace {

    using Steps = OTPExtractor::Internals;

    /// The candidate for `value` (ASCII), located in characters where it first occurs in `text`.
    Candidate at(const std::string& text, const std::string& value, bool isNumeric = true)
    {
        const CharacterArray characters(text);
        const auto location = characters.indexAtByteOffset(text.find(value));
        EXPECT_TRUE(location.has_value()) << value;
        return {value, static_cast<std::ptrdiff_t>(location.value_or(0)), static_cast<std::ptrdiff_t>(value.size()),
                isNumeric};
    }

    TEST(Window, clipsToTheTextInCharacters)
    {
        const std::string text = "añb 1234 cdé";
        const Candidate candidate{"1234", 4, 4, true};
        EXPECT_EQ(Steps::window(candidate, text, 2), "b 1234 c");
        EXPECT_EQ(Steps::window(candidate, text, 100), text);
        EXPECT_EQ(Steps::window(candidate, text, 0), "1234");
    }

    struct DistanceCase {
        std::string text; ///< lowercased already
        std::string value;
        std::optional<std::ptrdiff_t> expected;
    };

    void PrintTo(const DistanceCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

    class KeywordDistance : public testing::TestWithParam<DistanceCase> {};

    TEST_P(KeywordDistance, measuresToTheNearestKeywordWithin80Characters)
    {
        const auto& [text, value, expected] = GetParam();
        EXPECT_EQ(Steps::keywordDistance(at(text, value), text), expected);
    }

    INSTANTIATE_TEST_SUITE_P(
        Distances, KeywordDistance,
        testing::Values(
            DistanceCase{"your code is 4829", "4829", 4}, DistanceCase{"4829 is your code", "4829", 9},
            DistanceCase{"code4829", "4829", 0}, DistanceCase{"4829code", "4829", 0},
            // Plain substrings, no word boundaries; the nearest of several wins.
            DistanceCase{"barcode 4829", "4829", 1}, DistanceCase{"shipping 4829", "4829", 2},
            DistanceCase{"code " + std::string(70, 'x') + " pin 4829", "4829", 1},
            DistanceCase{"code " + std::string(74, 'x') + " 4829", "4829", 76},
            DistanceCase{"code " + std::string(75, 'x') + " 4829", "4829", std::nullopt},
            DistanceCase{"4829 " + std::string(75, 'x') + "code", "4829", 76},
            DistanceCase{"4829 " + std::string(76, 'x') + "code", "4829", std::nullopt},
            DistanceCase{"votre code de vérification 4829", "4829", 1}, DistanceCase{"验证码4829", "4829", 0},
            DistanceCase{"ваш код подтверждения: 4829", "4829", 2}, DistanceCase{"سيدي رمز التحقق 4829", "4829", 1},
            DistanceCase{"인증 코드 4829", "4829", 1}, DistanceCase{"सत्यापन कोड 4829", "4829", 1},
            DistanceCase{"CODE 4829", "4829", std::nullopt}, DistanceCase{"hello 4829", "4829", std::nullopt}));

    TEST(KeywordDistance, countsCharactersNotBytes)
    {
        // Seventy-four two-byte letters put the keyword 76 characters away: still within reach.
        std::string text = "code ";
        for (int k = 0; k < 74; ++k)
            text += "é";
        text += " 4829";
        const Candidate candidate{"4829", 80, 4, true};
        EXPECT_EQ(Steps::keywordDistance(candidate, text), 76);
    }

    struct ScoreCase {
        std::string subject;
        std::string text;
        std::string value;
        bool isNumeric;
        int expected;
    };

    void PrintTo(const ScoreCase& c, std::ostream* os) { *os << '"' << c.subject << "\" / \"" << c.text << '"'; }

    class Score : public testing::TestWithParam<ScoreCase> {};

    TEST_P(Score, addsPositionKeywordsAndPenalties)
    {
        const auto& [subject, text, value, isNumeric, expected] = GetParam();
        EXPECT_EQ(Steps::score(at(text, value, isNumeric), subject, text), expected);
    }

    const std::string far = std::string(50, 'x');

    INSTANTIATE_TEST_SUITE_P(
        Scores, Score,
        testing::Values(
            ScoreCase{"Your verification code", "Your verification code\nUse 482913 to sign in", "482913", true, 120},
            ScoreCase{"", "Your code is 4829", "4829", true, 90}, ScoreCase{"", "Your number is 4829", "4829", true, 20},
            ScoreCase{"", "Order 58213", "58213", true, -50}, ScoreCase{"", "order 58213 code", "58213", true, 20},
            // In the subject: 65 / 50 base; a keyword there adds 30 once, however many.
            ScoreCase{"4829 code pin", "4829 code pin\nhello", "4829", true, 165},
            ScoreCase{"A1B2C3 is it", "A1B2C3 is it\nhello", "A1B2C3", false, 40},
            ScoreCase{"Shipping", "Shipping\n" + std::string(90, 'x') + " 4829", "4829", true, 50},
            // Distance bands: 16 / 17-40 / 41 and more.
            ScoreCase{"", "code " + std::string(14, 'x') + " 4829", "4829", true, 90},
            ScoreCase{"", "code " + std::string(15, 'x') + " 4829", "4829", true, 70},
            ScoreCase{"", "code " + std::string(38, 'x') + " 4829", "4829", true, 70},
            ScoreCase{"", "code " + std::string(39, 'x') + " 4829", "4829", true, 50},
            // Alphanumeric: 5, minus 10 without a penalty phrase, minus 80 with one.
            ScoreCase{"", "Your code: G-482913", "G-482913", false, 65},
            ScoreCase{"", "tracking code AB12CD34", "AB12CD34", false, -5},
            // Penalty phrases within 24 characters only.
            ScoreCase{"", "invoice " + std::string(15, 'x') + " 4829 code", "4829", true, 20},
            ScoreCase{"", "invoice " + std::string(16, 'x') + " 4829 code", "4829", true, 90},
            ScoreCase{"", "ZIP CODE 90210", "90210", true, 20}));

} // namespace
} // namespace larkpin
