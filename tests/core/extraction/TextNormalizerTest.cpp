#include "core/extraction/OTPExtractorInternals.h"

#include "core/extraction/UnicodeSupport.h"

#include <gtest/gtest.h>
#include <unicode/brkiter.h>
#include <unicode/normalizer2.h>
#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/utext.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace larkpin {
namespace {

    using Steps = OTPExtractor::Internals;

    struct TextCase {
        std::string input;
        std::string expected;
    };

    void PrintTo(const TextCase& c, std::ostream* os) { *os << '"' << c.input << '"'; }

    class DecodeEntities : public testing::TestWithParam<TextCase> {};

    TEST_P(DecodeEntities, replacesOnlyWellFormedEntities)
    {
        EXPECT_EQ(Steps::decodeEntities(GetParam().input), GetParam().expected);
    }

    INSTANTIATE_TEST_SUITE_P(
        Entities, DecodeEntities,
        testing::Values(TextCase{"", ""}, TextCase{"&#x41;", "A"}, TextCase{"&#X41;", "A"}, TextCase{"&#65;", "A"},
                        TextCase{"&#x;", "&#x;"}, TextCase{"&#;", "&#;"}, TextCase{"&#xD800;", "&#xD800;"},
                        TextCase{"&#x110000;", "&#x110000;"}, TextCase{"&#x10FFFF;", "\U0010FFFF"},
                        TextCase{"&AMP;", "&"}, TextCase{"&Lt;b&GT;", "<b>"}, TextCase{"&quot;&apos;", "\"'"},
                        TextCase{"a&nbsp;b", "a b"},
                        // The ";" must lie at most 10 characters after the "&".
                        TextCase{"&verylongname;", "&verylongname;"}, TextCase{"&#00000065;", "A"},
                        TextCase{"&#000000065;", "&#000000065;"},
                        // Values beyond U+10FFFF, signs and foreign digits are not accepted.
                        TextCase{"&#99999999;", "&#99999999;"}, TextCase{"&#x1000000;", "&#x1000000;"},
                        TextCase{"&#+65;", "&#+65;"}, TextCase{"&#-65;", "&#-65;"}, TextCase{"&#x-41;", "&#x-41;"},
                        TextCase{"&#١;", "&#١;"}, TextCase{"&#0;", std::string(1, '\0')},
                        // Only one level per call; a failed entity leaves the rest as ordinary text.
                        TextCase{"&amp;lt;", "&lt;"}, TextCase{"&&amp;", "&&"}, TextCase{"&bogus;&amp;", "&bogus;&"},
                        TextCase{"AT&T; &amp", "AT&T; &amp"},
                        // Characters, not bytes: a combining mark makes ";" another character.
                        TextCase{"&amp;\u0301", "&amp;\u0301"}, TextCase{"&amp\u0301;", "&amp\u0301;"},
                        TextCase{"&#x301;", "\u0301"}, TextCase{"&日本語の長い名前;", "&日本語の長い名前;"}));

    class StripTags : public testing::TestWithParam<TextCase> {};

    TEST_P(StripTags, replacesEveryTagWithSpaces) { EXPECT_EQ(Steps::stripTags(GetParam().input), GetParam().expected); }

    INSTANTIATE_TEST_SUITE_P(Tags, StripTags,
                             testing::Values(TextCase{"<b>123</b>", "  123  "}, TextCase{"a > b", "a > b"},
                                             TextCase{"a < b", "a  "}, TextCase{"<<b>x", "   x"},
                                             TextCase{"<style>p{}</style>x", "  p{}  x"},
                                             TextCase{"x<br\r\n/>y", "x  y"}, TextCase{"", ""}));

    class Normalized : public testing::TestWithParam<TextCase> {};

    TEST_P(Normalized, givesOneCleanLine) { EXPECT_EQ(Steps::normalized(GetParam().input), GetParam().expected); }

    INSTANTIATE_TEST_SUITE_P(
        Normalisation, Normalized,
        testing::Values(
            TextCase{"&amp;lt;b&amp;gt;", ""}, TextCase{"1 &lt; 2 and 3 &gt; 2", "1 2"},
            TextCase{"a&nbsp; &nbsp;b", "a b"}, TextCase{"Code:\n\n  123\t456", "Code: 123 456"},
            TextCase{"\u0661\u0662\u0663", "123"}, TextCase{"\uFF11\uFF12\uFF13", "123"},
            TextCase{"12\u201334", "12-34"}, TextCase{"a \u200B b", "a b"}, TextCase{"a\u200Bb\uFEFF", "ab"},
            TextCase{"  \r\n x \u2028\u3000y\u0085 ", "x y"}, TextCase{"\u4E94", "5"}, TextCase{"\u2460\u00B2", "12"},
            TextCase{"1\u2212\uFE63\uFF0D2", "1---2"}, TextCase{"\u00BD", "1\u20442"},
            // A digit carrying a mark is not a digit; a mark after white space stays with it.
            TextCase{"\u0661\u0301", "\u0661\u0301"}, TextCase{"a\n\u0301b", "a \u0301b"},
            TextCase{"&#x0661;&#x0662;&#x0663;&#x0664;", "1234"}, TextCase{"&amp;#x41;", "A"},
            TextCase{"<p>Your code</p>\n<p>&nbsp;</p><b>4821</b>", "Your code 4821"}, TextCase{"", ""}));

    // The preparation read literally, one character at a time and every test through ICU: the
    // reference for the shortcuts the normaliser takes on ASCII runs and on steps with nothing to do.
    namespace literal {

        std::vector<std::string> characters(const std::string& text)
        {
            UErrorCode status = U_ZERO_ERROR;
            std::unique_ptr<icu::BreakIterator> iterator(
                icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
            UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<std::int64_t>(text.size()), &status);
            iterator->setText(utext, status);
            std::vector<std::string> result;
            for (std::int32_t at = iterator->first(), next = iterator->next(); next != icu::BreakIterator::DONE;
                 at = next, next = iterator->next())
                result.push_back(text.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(next - at)));
            utext_close(utext);
            return result;
        }

        std::vector<UChar32> scalars(const std::string& character)
        {
            std::vector<UChar32> result;
            const auto unicode = icu::UnicodeString::fromUTF8(character);
            for (std::int32_t at = 0; at < unicode.length(); at = unicode.moveIndex32(at, 1))
                result.push_back(unicode.char32At(at));
            return result;
        }

        template <typename Test> bool everyScalar(const std::string& character, Test test)
        {
            const auto all = scalars(character);
            return !all.empty() && std::all_of(all.begin(), all.end(), test);
        }

        std::optional<std::string> entity(const std::string& body)
        {
            const auto number = [](std::string_view digits, int base) -> std::optional<std::uint32_t> {
                std::uint32_t value = 0;
                const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
                if (digits.empty() || error != std::errc() || end != digits.data() + digits.size())
                    return std::nullopt;
                return value;
            };
            std::optional<std::uint32_t> value;
            if (body.starts_with("#x") || body.starts_with("#X"))
                value = number(std::string_view(body).substr(2), 16);
            else if (body.starts_with("#"))
                value = number(std::string_view(body).substr(1), 10);
            else {
                auto name = icu::UnicodeString::fromUTF8(body);
                std::string lowered;
                name.toLower(icu::Locale::getRoot()).toUTF8String(lowered);
                const std::array<std::pair<std::string, std::string>, 6> names{
                    {{"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}, {"nbsp", " "}}};
                for (const auto& [known, replacement] : names)
                    if (lowered == known)
                        return replacement;
                return std::nullopt;
            }
            if (!value || *value > 0x10FFFF || (*value >= 0xD800 && *value <= 0xDFFF))
                return std::nullopt;
            std::string scalar;
            UnicodeSupport::appendScalar(scalar, *value);
            return scalar;
        }

        std::string decodeEntities(const std::string& text)
        {
            const auto chars = characters(text);
            std::string result;
            for (std::size_t index = 0; index < chars.size(); ++index) {
                if (chars[index] != "&") {
                    result += chars[index];
                    continue;
                }
                const auto from = chars.begin() + static_cast<std::ptrdiff_t>(index) + 1;
                const auto semicolon = std::find(from, chars.end(), ";");
                const auto distance = static_cast<std::size_t>(semicolon - chars.begin()) - index;
                std::optional<std::string> replacement;
                if (semicolon != chars.end() && distance <= 10) {
                    std::string body;
                    for (std::size_t k = index + 1; k < index + distance; ++k)
                        body += chars[k];
                    replacement = entity(body);
                }
                if (replacement) {
                    result += *replacement;
                    index += distance;
                } else {
                    result += "&";
                }
            }
            return result;
        }

        std::string stripTags(const std::string& text)
        {
            std::string result;
            bool inside = false;
            for (const auto& character : characters(text)) {
                if (character == "<") {
                    result += ' ';
                    inside = true;
                } else if (character == ">") {
                    result += inside ? ' ' : '>';
                    inside = false;
                } else if (!inside) {
                    result += character;
                }
            }
            return result;
        }

        std::string normalized(const std::string& text)
        {
            UErrorCode status = U_ZERO_ERROR;
            std::string composed;
            const icu::Normalizer2* nfkc = icu::Normalizer2::getNFKCInstance(status);
            nfkc->normalize(icu::UnicodeString::fromUTF8(text), status).toUTF8String(composed);
            const auto isWhiteSpace = [](UChar32 c) {
                const auto type = u_charType(c);
                return (c >= 0x09 && c <= 0x0D) || c == 0x85 || type == U_SPACE_SEPARATOR ||
                       type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
            };
            const auto isInvisible = [](UChar32 c) {
                return c == 0x200B || c == 0x200C || c == 0x200D || c == 0x2060 || c == 0xFEFF;
            };
            const auto isDash = [](UChar32 c) {
                return (c >= 0x2010 && c <= 0x2015) || c == 0x2212 || c == 0xFE58 || c == 0xFE63 || c == 0xFF0D;
            };
            std::vector<std::string> output;
            bool collapsed = false;
            for (const auto& character : characters(stripTags(decodeEntities(decodeEntities(composed))))) {
                const auto all = scalars(character);
                if (everyScalar(character, isWhiteSpace)) {
                    if (!collapsed)
                        output.push_back(" ");
                    collapsed = true;
                    continue;
                }
                if (everyScalar(character, isInvisible))
                    continue;
                collapsed = false;
                const double value = all.size() == 1 ? u_getNumericValue(all[0]) : U_NO_NUMERIC_VALUE;
                if (value != U_NO_NUMERIC_VALUE && value >= 0 && value <= 9 && value == static_cast<int>(value))
                    output.push_back(std::string(1, static_cast<char>('0' + static_cast<int>(value))));
                else if (everyScalar(character, isDash))
                    output.push_back("-");
                else
                    output.push_back(character);
            }
            // Trimmed of the characters of the result that are a lone space: a space that comes to
            // stand before a mark joins it, and the pair is another character.
            std::string joined;
            for (const auto& piece : output)
                joined += piece;
            auto trimmed = characters(joined);
            while (!trimmed.empty() && trimmed.back() == " ")
                trimmed.pop_back();
            std::size_t first = 0;
            while (first < trimmed.size() && trimmed[first] == " ")
                ++first;
            std::string result;
            for (std::size_t k = first; k < trimmed.size(); ++k)
                result += trimmed[k];
            return result;
        }

    } // namespace literal

    TEST(Normalized, agreesWithALiteralCharacterByCharacterReading)
    {
        // ASCII runs, entities and tags mixed with scalars that join their neighbours, change under
        // NFKC, count as digits, dashes, white space or nothing.
        const std::vector<std::string> pieces{
            "a", "Z", "7", " ", "  ", "\t", "\r", "\n", "\r\n", "\v", "-", "&", ";", "#", "<", ">", "/", "x",
            "&amp;", "&lt;", "&gt;", "&AMP;lt;", "&#65;", "&#x41;", "&#x0661;", "&nbsp;", "&#;", "&bogus;", "<b>",
            "</p>", "\u0301", "\u0600", "\u0903", "\u200D", "\u200B", "\uFEFF", "\u00A0", "\u3000", "\u2028",
            "\u0085", "\u2013", "\u2212", "\uFF0D", "\uFF11", "\u0663", "\u2460", "\u00BD", "\u4E94", "\uFB01",
            "\u00E9",
            "e\u0301", "\U0001F468", "\U0001F1E9", "\u1100", "\u1161", "\u0E33", "\u00B7", "\u2019", "\u212B"};
        std::mt19937 random(53);
        for (int round = 0; round < 3000; ++round) {
            std::string text;
            const int length = static_cast<int>(random() % 14);
            for (int k = 0; k < length; ++k)
                text += pieces[random() % pieces.size()];
            ASSERT_EQ(Steps::decodeEntities(text), literal::decodeEntities(text)) << testing::PrintToString(text);
            ASSERT_EQ(Steps::stripTags(text), literal::stripTags(text)) << testing::PrintToString(text);
            ASSERT_EQ(Steps::normalized(text), literal::normalized(text)) << testing::PrintToString(text);
        }
    }

    class StripQuotedPlainText : public testing::TestWithParam<TextCase> {};

    TEST_P(StripQuotedPlainText, dropsTheQuotedEarlierMessage)
    {
        EXPECT_EQ(Steps::stripQuotedPlainText(GetParam().input), GetParam().expected);
    }

    const std::string onTooFar = "a\nOn time " + std::string(300, 'y') + "\nOn x wrote:\nc";
    const std::string farWrote = "\nOn Monday " + std::string(300, 'x') + " wrote:\n> old 9999";

    INSTANTIATE_TEST_SUITE_P(
        QuotedReplies, StripQuotedPlainText,
        testing::Values(
            TextCase{"Your code is 1234\nOn Mon, Jan 1, the sender wrote:\n> old 9999", "Your code is 1234"},
            TextCase{"Your code is 1234" + farWrote, "Your code is 1234" + farWrote.substr(0, farWrote.size() - 11)},
            TextCase{"Code 1234\n-----ORIGINAL MESSAGE-----\nCode 9999", "Code 1234"},
            TextCase{"Code 1234\nfrom: a@b.c\nCode 9999\nOn x wrote:", "Code 1234"},
            TextCase{"From: a@b.c\nCode 1234", "From: a@b.c\nCode 1234"},
            // "wrote:" may follow a later line; but only the first "\nOn " is examined.
            TextCase{"a\nOn time\nb\nOn x wrote:\nc", "a"}, TextCase{onTooFar, onTooFar},
            TextCase{"a\n  > quoted\nb\n\t>x\na > b", "a\nb\na > b"}, TextCase{"> all\n> quoted", ""},
            TextCase{"a\n\nb\n", "a\n\nb\n"},
            // Mail bodies end lines with CR LF: it ends a line and starts a marker like a line feed.
            TextCase{"Code 1234\r\n> old 9999\r\nFrom: x", "Code 1234"},
            TextCase{"Code 1234\r\n\r\nOn Mon, Acme wrote:\r\n> 9999", "Code 1234\n"},
            TextCase{"a\r\n  > quoted\r\nb\r", "a\nb\r"},
            // Caseless without locale: the long s folds to "s".
            TextCase{"a\n-----Original Meſſage-----\nb", "a"}, TextCase{"", ""}));

    class RemoveBlockQuotes : public testing::TestWithParam<TextCase> {};

    TEST_P(RemoveBlockQuotes, replacesEachBlockQuoteWithOneSpace)
    {
        EXPECT_EQ(Steps::removeBlockQuotes(GetParam().input), GetParam().expected);
    }

    INSTANTIATE_TEST_SUITE_P(
        BlockQuotes, RemoveBlockQuotes,
        testing::Values(
            TextCase{"<p>1234</p><blockquote type=\"cite\">9999</blockquote>", "<p>1234</p> "},
            TextCase{"a<BLOCKQUOTE>x\ny</BlockQuote>b<blockquote>z</blockquote>c", "a b c"},
            // Lazy: a nested quote ends at the first closing tag.
            TextCase{"<blockquote>a<blockquote>b</blockquote>c</blockquote>d", " c</blockquote>d"},
            TextCase{"<blockquotes>x</blockquote>", "<blockquotes>x</blockquote>"},
            TextCase{"<blockquote>never closed", "<blockquote>never closed"},
            TextCase{"<blockquote </blockquote>", "<blockquote </blockquote>"},
            TextCase{"<blockquote </blockquote></blockquote>", " "}, TextCase{"</blockquote><blockquote>", "</blockquote><blockquote>"},
            TextCase{"<blocKquote>\u212A</bloc\u212Aquote>", " "}, TextCase{"é<blockquote>ü</blockquote>ß", "é ß"},
            TextCase{"no quotes here", "no quotes here"}));

    TEST(RemoveBlockQuotes, replacesWhatTheWholeTextPatternReplaces)
    {
        // The removal confirms each match on a bounded stretch; on random tag soup it must agree
        // with the pattern replacing every match over the whole text.
        const std::vector<std::string> pieces{"<blockquote", "<BlockQuote", "</blockquote>", "</BLOCKQUOTE>",
                                              ">", "<", "/", " ", "\n", "x", "s", "é", "\u0301", "\u212A",
                                              "<blockquote>", "</blockquote", "quote"};
        UErrorCode status = U_ZERO_ERROR;
        icu::RegexPattern* pattern = icu::RegexPattern::compile(
            icu::UnicodeString::fromUTF8("(?is)<blockquote\\b[^>]*>.*?<\\/blockquote>"), 0, status);
        ASSERT_TRUE(U_SUCCESS(status));
        const std::unique_ptr<icu::RegexPattern> owned(pattern);
        std::mt19937 random(11);
        for (int round = 0; round < 4000; ++round) {
            std::string text;
            const int length = static_cast<int>(random() % 14);
            for (int k = 0; k < length; ++k)
                text += pieces[random() % pieces.size()];
            const auto input = icu::UnicodeString::fromUTF8(text);
            const std::unique_ptr<icu::RegexMatcher> matcher(pattern->matcher(input, status));
            std::string expected;
            matcher->replaceAll(" ", status).toUTF8String(expected);
            ASSERT_EQ(Steps::removeBlockQuotes(text), expected) << testing::PrintToString(text);
        }
    }

} // namespace
} // namespace larkpin
