#include "core/extraction/CharacterArray.h"
#include "core/extraction/CharacterSegmenter.h"
#include "core/extraction/UnicodeSupport.h"

#include <gtest/gtest.h>
#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/uscript.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace larkpin {
namespace {

    /// Boundaries as ICU's character break iterator alone finds them.
    std::vector<std::size_t> icuBoundaries(const std::string& text)
    {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> iterator(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        UText* utext = utext_openUTF8(nullptr, text.data(), static_cast<std::int64_t>(text.size()), &status);
        iterator->setText(utext, status);
        std::vector<std::size_t> boundaries;
        for (std::int32_t at = iterator->first(); at != icu::BreakIterator::DONE; at = iterator->next())
            boundaries.push_back(static_cast<std::size_t>(at));
        utext_close(utext);
        return boundaries;
    }

    std::vector<std::size_t> boundariesOf(const CharacterArray& array)
    {
        std::vector<std::size_t> boundaries;
        for (std::size_t index = 0; index <= array.size(); ++index)
            boundaries.push_back(array.byteOffset(index));
        return boundaries;
    }

    std::string encoded(UChar32 scalar)
    {
        std::string text;
        UnicodeSupport::appendScalar(text, static_cast<char32_t>(scalar));
        return text;
    }

    /// Random texts of up to `most` pieces.
    std::string randomText(std::mt19937& random, const std::vector<std::string>& pieces, int most)
    {
        std::string text;
        for (int k = static_cast<int>(random() % static_cast<unsigned>(most + 1)); k > 0; --k)
            text += pieces[random() % pieces.size()];
        return text;
    }

    TEST(CharacterArray, agreesWithICUOnMixedText)
    {
        // ASCII runs are segmented by hand; random mixtures with every kind of joining scalar must
        // come out exactly as ICU alone segments them.
        const std::vector<std::string> pieces{
            "a", "1", " ", "\r", "\n", "-", "&", "<", ";", "\u0301", "\u0308", "\u200D", "\u200B", "\u0600", "\u0903",
            "\U0001F1E9", "\U0001F468", "\u1100", "\u1161", "\u11A8", "é", "日", "\uFE0F", "\U0001F3FB", "\u0E33"};
        std::mt19937 random(20240601);
        for (int round = 0; round < 3000; ++round) {
            const std::string text = randomText(random, pieces, 11);
            const CharacterArray array(text);
            const std::vector<std::size_t> boundaries = boundariesOf(array);
            ASSERT_EQ(boundaries, icuBoundaries(text)) << testing::PrintToString(text);
            for (std::size_t count = 0; count <= array.size() + 1; ++count)
                ASSERT_EQ(CharacterArray::prefixLength(text, count), boundaries[std::min(count, array.size())]);
            for (std::size_t offset = 0; offset <= text.size(); ++offset) {
                const auto index = array.indexAtByteOffset(offset);
                const bool isBoundary = std::find(boundaries.begin(), boundaries.end(), offset) != boundaries.end();
                ASSERT_EQ(index.has_value(), isBoundary);
                if (index) {
                    ASSERT_EQ(array.byteOffset(*index), offset);
                }
                // An ASCII byte is a character by itself exactly when boundaries fall on both sides.
                if (offset < text.size() && static_cast<unsigned char>(text[offset]) < 0x80) {
                    const bool alone =
                        isBoundary && std::find(boundaries.begin(), boundaries.end(), offset + 1) != boundaries.end();
                    ASSERT_EQ(CharacterSegmenter::isStandaloneASCII(text, offset), alone)
                        << testing::PrintToString(text) << " at " << offset;
                }
            }
        }
    }

    TEST(CharacterArray, agreesWithICUOnEveryScalarBetweenNeighbours)
    {
        // Every scalar after and before a letter, after itself and before a mark: the pairwise
        // rules must give ICU's answer for each, or leave the decision to it.
        std::string text;
        for (UChar32 scalar = 0; scalar <= 0x10FFFF; ++scalar) {
            if (scalar >= 0xD800 && scalar <= 0xDFFF)
                continue;
            const std::string character = encoded(scalar);
            text += "a" + character + "b" + character + character + "\u0301\n";
            if (text.size() > 60000 || scalar == 0x10FFFF) {
                ASSERT_EQ(boundariesOf(CharacterArray(text)), icuBoundaries(text)) << "up to U+" << std::hex << scalar;
                text.clear();
            }
        }
    }

    TEST(CharacterArray, agreesWithICUOnEveryPairOfBreakClasses)
    {
        // A scalar of every break class, refined by what ICU's own rules add (pictographs, the
        // scripts with conjuncts and the role of a scalar in them), in every order, in twos and threes.
        std::map<std::tuple<int, bool, int, int>, std::string> byClass;
        for (UChar32 scalar = 0; scalar <= 0x10FFFF; ++scalar) {
            if (scalar >= 0xD800 && scalar <= 0xDFFF)
                continue;
            UErrorCode status = U_ZERO_ERROR;
            byClass.try_emplace({u_getIntPropertyValue(scalar, UCHAR_GRAPHEME_CLUSTER_BREAK),
                                 u_hasBinaryProperty(scalar, UCHAR_EXTENDED_PICTOGRAPHIC) != 0,
                                 uscript_getScript(scalar, &status),
                                 u_getIntPropertyValue(scalar, UCHAR_INDIC_SYLLABIC_CATEGORY)},
                                encoded(scalar));
        }
        for (const auto& [firstClass, first] : byClass) {
            std::string text;
            for (const auto& [secondClass, second] : byClass)
                text += first + second + "\n" + first + second + first + "\n";
            ASSERT_EQ(boundariesOf(CharacterArray(text)), icuBoundaries(text)) << testing::PrintToString(first);
        }
    }

    std::string icuLowercased(const std::string& text)
    {
        auto unicode = icu::UnicodeString::fromUTF8(text);
        unicode.toLower(icu::Locale::getRoot());
        std::string result;
        unicode.toUTF8String(result);
        return result;
    }

    // Scalars whose lowercasing depends on context or changes their length, case-less ones, and
    // ones whose lowercase joins differently (a circled capital is pictographic, its small form not).
    const std::vector<std::string> casePieces{
        "A", "z", "Q", "1", " ", ".", "'", "\r\n", "\u03A3", "\u0391\u03A3", "\u03C3", "\u0130", "\u212A", "\u1E9E",
        "\u01C5", "\uFB00", "\u0390", "\u00C9", "e\u0301", "\u0301", "\u2019", "\u65E5", "\u00B7", "\u200D",
        "\u24C2", "\u24C2\u200D\u24C2", "\U0001F468", "\U0001F1E9", "\u0600", "\u10A0", "\U00010400",
        // Long ASCII runs, with the bytes on either side of the capitals, are lowercased eight at a time.
        "ABCDEFGHIJKLMNOPQRSTUVWXYZ", "@[`{\x7F\x01?Hello World", "Your CODE is 4821."};

    TEST(Lowercasing, agreesWithICUOnMixedText)
    {
        std::mt19937 random(41);
        int unchangedOutsideASCII = 0;
        for (int round = 0; round < 4000; ++round) {
            const std::string text = randomText(random, casePieces, 9);
            const std::string lowercased = UnicodeSupport::lowercased(text);
            ASSERT_EQ(lowercased, icuLowercased(text)) << testing::PrintToString(text);
            unchangedOutsideASCII += lowercased.size() == text.size() && !UnicodeSupport::isASCII(text);
            // Boundaries are kept for the lowercased text only where case alone differs.
            const CharacterArray rebased = CharacterArray(text).rebased(lowercased), segmented(lowercased);
            ASSERT_EQ(boundariesOf(rebased), boundariesOf(segmented)) << testing::PrintToString(text);
            ASSERT_EQ(rebased.text(), lowercased);
            for (std::size_t index = 0; index < segmented.size(); ++index)
                ASSERT_EQ(rebased.asciiAt(index), segmented.asciiAt(index)) << testing::PrintToString(text);
        }
        EXPECT_GT(unchangedOutsideASCII, 500);
    }

    TEST(Lowercasing, leavesEveryScalarWithoutSimpleLowercaseAsItIs)
    {
        // Between cased letters, so that no context rule could apply that the table path would miss.
        std::string text, expected;
        for (UChar32 scalar = 0x80; scalar <= 0x10FFFF; ++scalar) {
            if ((scalar >= 0xD800 && scalar <= 0xDFFF) || u_tolower(scalar) != scalar)
                continue;
            text += "A" + encoded(scalar) + "B";
            expected += "a" + encoded(scalar) + "b";
        }
        EXPECT_EQ(icuLowercased(text), expected);
        EXPECT_EQ(UnicodeSupport::lowercased(text), expected);
    }

    TEST(Repair, leavesExactlyTheValidTextsAlone)
    {
        // Valid sequences of every length next to truncated, overlong, surrogate and out-of-range ones.
        const std::vector<std::string> pieces{"a", "\u00E9", "\u20AC", "\U0001F600", "\xC3", "\xE2\x82", "\xF0\x9F\x98",
                                              "\x80", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF",
                                              "0123456789abcdef"};
        std::mt19937 random(47);
        for (int round = 0; round < 3000; ++round) {
            const std::string text = randomText(random, pieces, 9);
            const std::string repaired = UnicodeSupport::repairedUTF8(text);
            ASSERT_EQ(UnicodeSupport::isValidUTF8(text), repaired == text) << testing::PrintToString(text);
            ASSERT_TRUE(UnicodeSupport::isValidUTF8(repaired)) << testing::PrintToString(text);
        }
    }

} // namespace
} // namespace larkpin
