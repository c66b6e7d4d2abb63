#include "core/extraction/OTPExtractorInternals.h"

#include "core/extraction/UnicodeSupport.h"

#include <gtest/gtest.h>
#include <unicode/normalizer2.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace larkpin {
namespace {

    using Steps = OTPExtractor::Internals;

    struct TextCase {
        std::string (*step)(std::string_view);
        std::string input;
        std::string expected;
    };

    void PrintTo(const TextCase& c, std::ostream* os) { *os << testing::PrintToString(c.input); }

    class TextPreparation : public testing::TestWithParam<TextCase> {};

    TEST_P(TextPreparation, givesTheExpectedText) { EXPECT_EQ(GetParam().step(GetParam().input), GetParam().expected); }

    constexpr auto decode = &Steps::decodeEntities;
    constexpr auto normalize = &Steps::normalized;
    constexpr auto unquote = &Steps::stripQuotedPlainText;
    constexpr auto unblock = &Steps::removeBlockQuotes;
    const std::string farWrote = "\nOn Monday " + std::string(300, 'x') + " wrote:\n> old 9999";
    const std::string onTooFar = "a\nOn time " + std::string(300, 'y') + "\nOn x wrote:\nc";
    const std::string wroteLast = "a\nOn " + std::string(290, 'x') + "wrote:";
    const std::string wroteBeyond = "a\nOn x" + wroteLast.substr(5);

    INSTANTIATE_TEST_SUITE_P(
        Cases, TextPreparation,
        testing::Values(
            // Numbers must be scalars that fit in 32 bits, the ";" at most 10 characters after the "&".
            TextCase{decode, "&#X41;&#x10FFFF;&#0;", "A\U0010FFFF" + std::string(1, '\0')},
            TextCase{decode, "&#xD800;&#x110000;&#99999999;&#x;&#-65;&#x-41;&#١;",
                     "&#xD800;&#x110000;&#99999999;&#x;&#-65;&#x-41;&#١;"},
            TextCase{decode, "&#00000065;&#000000065;&verylongname;", "A&#000000065;&verylongname;"},
            TextCase{decode, "&Lt;&quot;&apos;&nbsp;&amp;lt;&&amp;AT&T; &amp", "<\"' &lt;&&AT&T; &amp"},
            TextCase{Steps::stripTags, "<b>1</b> a > b <<i>x < y", "  1   a > b    x  "},
            TextCase{normalize, "&amp;lt;b&amp;gt;", ""}, TextCase{normalize, "1 &lt; 2 and 3 &gt; 2", "1 2"},
            TextCase{normalize, "Code:\n\n  123\t456&nbsp; &nbsp;x", "Code: 123 456 x"},
            TextCase{normalize, "\u0661\u0662\u0663 \uFF11\uFF12\uFF13 12\u201334 \u4E94\u2460", "123 123 12-34 51"},
            TextCase{normalize, "a \u200B b\u2028\u3000c\u0085\uFEFF", "a b c"},
            TextCase{normalize, "<p>Your code</p>\n<p>&nbsp;</p><b>4821</b>", "Your code 4821"},
            TextCase{unquote, "Your code is 1234\nOn Mon, Jan 1, the sender wrote:\n> old 9999", "Your code is 1234"},
            TextCase{unquote, "Your code is 1234" + farWrote,
                     "Your code is 1234" + farWrote.substr(0, farWrote.size() - 11)},
            TextCase{unquote, "Code 1234\n-----ORIGINAL MESSAGE-----\nCode 9999", "Code 1234"},
            TextCase{unquote, "Code 1234\nfrom: a@b.c\nCode 9999\nOn x wrote:", "Code 1234"},
            TextCase{unquote, "From: a@b.c\nCode 1234", "From: a@b.c\nCode 1234"},
            // "wrote:" may follow on a later line, but only the first "\nOn " is examined.
            TextCase{unquote, "a\nOn time\nb\nOn x wrote:\nc", "a"}, TextCase{unquote, onTooFar, onTooFar},
            // "wrote:" must end within the 300 characters from the line feed of "\nOn ".
            TextCase{unquote, wroteLast, "a"}, TextCase{unquote, wroteBeyond, wroteBeyond},
            TextCase{unquote, "a\n  > quoted\nb\n\t>x\na > b\n\n", "a\nb\na > b\n\n"},
            // Mail bodies end lines with CR LF: it ends a line and starts a marker like a line feed.
            TextCase{unquote, "Code 1234\r\n> old 9999\r\nFrom: x", "Code 1234"},
            TextCase{unquote, "a\r\n  > quoted\r\nb\r", "a\nb\r"},
            // Caseless without locale: the long s folds to "s".
            TextCase{unquote, "a\n-----Original Meſſage-----\nb", "a"},
            TextCase{unblock, "a<BLOCKQUOTE type=\"cite\">x\ny</BlockQuote>b<blockquote>z</blockquote>c", "a b c"},
            // Lazy: a nested quote ends at the first closing tag.
            TextCase{unblock, "<blockquote>a<blockquote>b</blockquote>c</blockquote>d", " c</blockquote>d"},
            TextCase{unblock, "<blockquotes>x</blockquote><blockquote>never closed",
                     "<blockquotes>x</blockquote><blockquote>never closed"}));

    // The preparation read literally, one character at a time, with white space and digits judged
    // by ICU: the reference for the shortcuts the normaliser takes on ASCII runs, on single bytes
    // and on steps with nothing to do. Entity bodies are decided by the table above.
    namespace literal {

        std::vector<std::string> characters(const std::string& text)
        {
            const CharacterArray array(text);
            std::vector<std::string> result;
            for (std::size_t index = 0; index < array.size(); ++index)
                result.emplace_back(array[index]);
            return result;
        }

        std::string decodeEntities(const std::string& text)
        {
            const auto chars = characters(text);
            std::string result;
            for (std::size_t index = 0; index < chars.size(); ++index) {
                const auto semicolon = std::find(chars.begin() + static_cast<std::ptrdiff_t>(index), chars.end(), ";");
                const auto distance = static_cast<std::size_t>(semicolon - chars.begin()) - index;
                std::string body;
                const bool closed = chars[index] == "&" && semicolon != chars.end();
                for (std::size_t k = index + 1; closed && k < index + distance; ++k)
                    body += chars[k];
                const bool plain =
                    std::all_of(body.begin(), body.end(), [](unsigned char c) { return std::isalnum(c) || c == '#'; });
                const std::string entity = "&" + body + ";";
                const std::string replaced = plain && distance <= 10 ? Steps::decodeEntities(entity) : entity;
                if (!closed || body.empty() || replaced == entity) {
                    result += chars[index];
                    continue;
                }
                result += replaced;
                index += distance;
            }
            return result;
        }

        std::string stripTags(const std::string& text)
        {
            std::string result;
            bool inside = false;
            for (const auto& character : characters(text)) {
                if (character == "<" || (character == ">" && inside))
                    result += ' ';
                else if (!inside)
                    result += character;
                inside = character == "<" || (inside && character != ">");
            }
            return result;
        }

        std::string normalized(const std::string& text)
        {
            UErrorCode status = U_ZERO_ERROR;
            std::string composed;
            const icu::Normalizer2* nfkc = icu::Normalizer2::getNFKCInstance(status);
            nfkc->normalize(icu::UnicodeString::fromUTF8(text), status).toUTF8String(composed);
            const auto isWhiteSpace = [](char32_t c) {
                const auto type = u_charType(static_cast<UChar32>(c));
                return (c >= 0x09 && c <= 0x0D) || c == 0x85 || type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR ||
                       type == U_PARAGRAPH_SEPARATOR;
            };
            std::string joined;
            bool collapsed = false;
            for (const auto& character : characters(stripTags(decodeEntities(decodeEntities(composed))))) {
                if (UnicodeSupport::everyScalar(character, isWhiteSpace)) {
                    joined += collapsed ? "" : " ";
                    collapsed = true;
                    continue;
                }
                if (UnicodeSupport::everyScalar(character, UnicodeSupport::isInvisible))
                    continue;
                collapsed = false;
                const auto scalar = static_cast<UChar32>(UnicodeSupport::firstScalar(character));
                const double value =
                    UnicodeSupport::isSingleScalar(character) ? u_getNumericValue(scalar) : U_NO_NUMERIC_VALUE;
                if (value != U_NO_NUMERIC_VALUE && value >= 0 && value <= 9 && value == static_cast<int>(value))
                    joined += static_cast<char>('0' + static_cast<int>(value));
                else
                    joined += UnicodeSupport::everyScalar(character, UnicodeSupport::isDash) ? "-" : character;
            }
            // Trimmed of the characters that are a lone space: a space before a mark joins it.
            auto trimmed = characters(joined);
            while (!trimmed.empty() && trimmed.back() == " ")
                trimmed.pop_back();
            std::string result;
            for (std::size_t k = 0; k < trimmed.size(); ++k)
                result += result.empty() && trimmed[k] == " " ? "" : trimmed[k];
            return result;
        }

    } // namespace literal

    /// Random texts of up to `most` pieces.
    std::string randomText(std::mt19937& random, const std::vector<std::string>& pieces, int most)
    {
        std::string text;
        for (int k = static_cast<int>(random() % static_cast<unsigned>(most + 1)); k > 0; --k)
            text += pieces[random() % pieces.size()];
        return text;
    }

    TEST(Normalized, agreesWithALiteralCharacterByCharacterReading)
    {
        // ASCII runs, entities and tags mixed with scalars that join their neighbours, change under
        // NFKC, count as digits, dashes, white space or nothing.
        const std::vector<std::string> pieces{
            "a", "Z", "7", " ", "  ", "\t", "\r", "\n", "\r\n", "\v", "-", "&", ";", "#", "<", ">", "/", "x",
            "&amp;", "&lt;", "&gt;", "&AMP;lt;", "&#65;", "&#x41;", "&#x0661;", "&nbsp;", "&#;", "&bogus;", "<b>",
            "</p>", "\u0301", "\u0600", "\u0903", "\u200D", "\u200B", "\uFEFF", "\u00A0", "\u3000", "\u2028",
            "\u0085", "\u2013", "\u2212", "\uFF0D", "\uFF11", "\u0663", "\u2460", "\u00BD", "\u4E94", "\uFB01",
            "\u00E9", "e\u0301", "\U0001F468", "\U0001F1E9", "\u1100", "\u1161", "\u0E33", "\u00B7", "\u2019",
            "\u212B"};
        std::mt19937 random(53);
        for (int round = 0; round < 3000; ++round) {
            const std::string text = randomText(random, pieces, 13);
            ASSERT_EQ(Steps::decodeEntities(text), literal::decodeEntities(text)) << testing::PrintToString(text);
            ASSERT_EQ(Steps::stripTags(text), literal::stripTags(text)) << testing::PrintToString(text);
            ASSERT_EQ(Steps::normalized(text), literal::normalized(text)) << testing::PrintToString(text);
        }
    }

    TEST(RemoveBlockQuotes, replacesWhatTheWholeTextPatternReplaces)
    {
        // The removal confirms each match on a bounded stretch; on random tag soup it must agree
        // with the pattern replacing every match over the whole text.
        const std::vector<std::string> pieces{"<blockquote", "<BlockQuote", "</blockquote>", "</BLOCKQUOTE>", ">",
                                              "<", "/", " ", "\n", "x", "s", "é", "\u0301", "\u212A", "<blockquote>",
                                              "</blockquote", "quote", "</bloc\u212Aquote>"};
        UErrorCode status = U_ZERO_ERROR;
        const std::unique_ptr<icu::RegexPattern> pattern(icu::RegexPattern::compile(
            icu::UnicodeString::fromUTF8("(?is)<blockquote\\b[^>]*>.*?<\\/blockquote>"), 0, status));
        ASSERT_TRUE(U_SUCCESS(status));
        std::mt19937 random(11);
        for (int round = 0; round < 4000; ++round) {
            const std::string text = randomText(random, pieces, 13);
            const auto input = icu::UnicodeString::fromUTF8(text);
            const std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(input, status));
            std::string expected;
            matcher->replaceAll(" ", status).toUTF8String(expected);
            ASSERT_EQ(Steps::removeBlockQuotes(text), expected) << testing::PrintToString(text);
        }
    }

} // namespace
} // namespace larkpin
