#include "core/extraction/CharacterArray.h"
#include "core/extraction/CharacterSegmenter.h"

#include <gtest/gtest.h>
#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace larkpin {
namespace {

    std::vector<std::string> characters(const std::string& text)
    {
        const CharacterArray array(text);
        std::vector<std::string> result;
        for (std::size_t index = 0; index < array.size(); ++index)
            result.emplace_back(array[index]);
        return result;
    }

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

    struct SegmentationCase {
        std::string text;
        std::vector<std::string> expected;
    };

    void PrintTo(const SegmentationCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

    class Segmentation : public testing::TestWithParam<SegmentationCase> {};

    TEST_P(Segmentation, givesUserPerceivedCharacters) { EXPECT_EQ(characters(GetParam().text), GetParam().expected); }

    INSTANTIATE_TEST_SUITE_P(
        Clusters, Segmentation,
        testing::Values(SegmentationCase{"", {}}, SegmentationCase{"ab", {"a", "b"}},
                        SegmentationCase{"a\r\nb", {"a", "\r\n", "b"}}, SegmentationCase{"\r\r\n\n", {"\r", "\r\n", "\n"}},
                        SegmentationCase{"e\u0301x", {"e\u0301", "x"}}, SegmentationCase{"1\u20E3", {"1\u20E3"}},
                        SegmentationCase{"\u0600" "1", {"\u06001"}}, SegmentationCase{"\u200B\u0301", {"\u200B", "\u0301"}},
                        SegmentationCase{"\U0001F1E9\U0001F1EA\U0001F1EB", {"\U0001F1E9\U0001F1EA", "\U0001F1EB"}},
                        SegmentationCase{"\U0001F468\u200D\U0001F469 x", {"\U0001F468\u200D\U0001F469", " ", "x"}},
                        SegmentationCase{"\u1100\u1161\u11A8a", {"\u1100\u1161\u11A8", "a"}}));

    TEST(CharacterArray, agreesWithICUOnMixedText)
    {
        // ASCII runs are segmented by hand; random mixtures with every kind of joining scalar must
        // come out exactly as ICU alone segments them.
        const std::vector<std::string> pieces{
            "a", "1", " ", "\r", "\n", "-", "&", "<", ";", "\u0301", "\u0308", "\u200D", "\u200B", "\u0600", "\u0903",
            "\U0001F1E9", "\U0001F468", "\u1100", "\u1161", "\u11A8", "é", "日", "\uFE0F", "\U0001F3FB", "\u0E33"};
        std::mt19937 random(20240601);
        for (int round = 0; round < 3000; ++round) {
            std::string text;
            const int length = static_cast<int>(random() % 12);
            for (int k = 0; k < length; ++k)
                text += pieces[random() % pieces.size()];
            const CharacterArray array(text);
            std::vector<std::size_t> boundaries;
            for (std::size_t index = 0; index <= array.size(); ++index)
                boundaries.push_back(array.byteOffset(index));
            ASSERT_EQ(boundaries, icuBoundaries(text)) << testing::PrintToString(text);
            for (std::size_t offset = 0; offset <= text.size(); ++offset) {
                const auto index = array.indexAtByteOffset(offset);
                const bool isBoundary = std::find(boundaries.begin(), boundaries.end(), offset) != boundaries.end();
                ASSERT_EQ(index.has_value(), isBoundary);
                if (index) {
                    ASSERT_EQ(array.byteOffset(*index), offset);
                }
                // An ASCII byte is a character by itself exactly when boundaries fall on both sides.
                if (offset < text.size() && static_cast<unsigned char>(text[offset]) < 0x80) {
                    const bool alone = isBoundary && std::find(boundaries.begin(), boundaries.end(), offset + 1) != boundaries.end();
                    ASSERT_EQ(CharacterSegmenter::isStandaloneASCII(text, offset), alone)
                        << testing::PrintToString(text) << " at " << offset;
                }
            }
        }
    }

    TEST(CharacterArray, prefixLengthCountsCharacters)
    {
        EXPECT_EQ(CharacterArray::prefixLength("abc", 5), 3u);
        EXPECT_EQ(CharacterArray::prefixLength("a\r\nbc", 2), 3u);
        EXPECT_EQ(CharacterArray::prefixLength("e\u0301e\u0301e", 2), 6u);
        EXPECT_EQ(CharacterArray::prefixLength("abc", 0), 0u);
    }

} // namespace
} // namespace larkpin
