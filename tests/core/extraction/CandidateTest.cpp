#include "core/extraction/OTPExtractorInternals.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace larkpin {
namespace {

    using Steps = OTPExtractor::Internals;

    struct CandidatesCase {
        std::string text;
        std::vector<Candidate> expected;
    };

    void PrintTo(const CandidatesCase& c, std::ostream* os) { *os << '"' << c.text << '"'; }

    Candidate numeric(std::string value, std::ptrdiff_t location, std::ptrdiff_t length)
    {
        return {std::move(value), location, length, true};
    }
    Candidate mixed(std::string value, std::ptrdiff_t location, std::ptrdiff_t length)
    {
        return {std::move(value), location, length, false};
    }

    class GroupedNumericCandidates : public testing::TestWithParam<CandidatesCase> {};

    TEST_P(GroupedNumericCandidates, findsCodesWrittenInGroups)
    {
        const CharacterArray characters(GetParam().text);
        EXPECT_EQ(Steps::groupedNumericCandidates(characters), GetParam().expected);
    }

    INSTANTIATE_TEST_SUITE_P(
        GroupedNumbers, GroupedNumericCandidates,
        testing::Values(
            CandidatesCase{"482 913", {numeric("482913", 0, 7)}}, CandidatesCase{"48-29-13", {numeric("482913", 0, 8)}},
            CandidatesCase{"4829 13", {numeric("482913", 0, 7)}}, CandidatesCase{"48291 3", {}},
            CandidatesCase{"1 2 3 4", {numeric("1234", 0, 7)}}, CandidatesCase{"12345678 9", {}},
            CandidatesCase{"123 456ABC", {}}, CandidatesCase{"482913", {}},
            // Separators only count between digits; the span ends with the last group.
            CandidatesCase{"code: 123 456 - x", {numeric("123456", 6, 7)}},
            CandidatesCase{"123 456-", {numeric("123456", 0, 7)}}, CandidatesCase{"12  34", {}},
            CandidatesCase{"a12 34", {}}, CandidatesCase{"\u00B212 34", {}}, CandidatesCase{"x 12 34 56 78 90", {}},
            CandidatesCase{"1 2 3 4 5 6 7 8", {numeric("12345678", 0, 15)}}, CandidatesCase{"1 2 3 4 5 6 7 8 9", {}},
            CandidatesCase{"12 34 then 56 78", {numeric("1234", 0, 5), numeric("5678", 11, 5)}},
            // Positions count characters: the combined "é" before is one.
            CandidatesCase{"e\u0301 12 34", {numeric("1234", 2, 5)}}, CandidatesCase{"12 34\u0301", {}}));

    class Candidates : public testing::TestWithParam<CandidatesCase> {};

    TEST_P(Candidates, listsGroupedNumbersThenTokens) { EXPECT_EQ(Steps::candidates(GetParam().text), GetParam().expected); }

    INSTANTIATE_TEST_SUITE_P(
        Tokens, Candidates,
        testing::Values(
            CandidatesCase{"48291 3", {numeric("48291", 0, 5)}},
            CandidatesCase{"12345678 9", {numeric("12345678", 0, 8)}},
            CandidatesCase{"123 456ABC", {mixed("456ABC", 4, 6)}}, CandidatesCase{"G-482913", {mixed("G-482913", 0, 8)}},
            CandidatesCase{"-AB12 AB12- A--B12 A1-B2-C3-D4 ABCDEFGHIJ1", {}},
            CandidatesCase{"A1-B2-C3 ABCDEFGHI1", {mixed("A1-B2-C3", 0, 8), mixed("ABCDEFGHI1", 9, 10)}},
            // One run of groups too long to be a code; its tokens are then judged alone.
            CandidatesCase{"123 1234 123456789 12-34", {numeric("1234", 4, 4)}},
            CandidatesCase{"word words 12-3456", {numeric("123456", 11, 7)}},
            CandidatesCase{"ab12 a1b2c3 XYZ a12", {mixed("ab12", 0, 4), mixed("a1b2c3", 5, 6)}},
            CandidatesCase{"code 482913, then 55 66 77", {numeric("556677", 18, 8), numeric("482913", 5, 6)}},
            // A rejected group leaves its tokens; a token overlapping an accepted group is skipped.
            CandidatesCase{"12 34ab", {mixed("34ab", 3, 4)}}, CandidatesCase{"x12 34 5678", {numeric("345678", 4, 7)}},
            CandidatesCase{"12 34-ab12", {numeric("1234", 0, 5)}},
            CandidatesCase{"ünï 4821 côdé", {numeric("4821", 4, 4)}}, CandidatesCase{"", {}}));

    struct FalsePositiveCase {
        std::string text;
        Candidate candidate;
        bool expected;
    };

    void PrintTo(const FalsePositiveCase& c, std::ostream* os) { *os << '"' << c.text << "\" " << c.candidate; }

    class IsFalsePositive : public testing::TestWithParam<FalsePositiveCase> {};

    TEST_P(IsFalsePositive, rulesOutYearsPhoneNumbersAndDates)
    {
        EXPECT_EQ(Steps::isFalsePositive(GetParam().candidate, GetParam().text), GetParam().expected);
    }

    INSTANTIATE_TEST_SUITE_P(
        FalsePositives, IsFalsePositive,
        testing::Values(
            FalsePositiveCase{"in 2024", numeric("2024", 3, 4), true},
            FalsePositiveCase{"in 1999", numeric("1999", 3, 4), true},
            FalsePositiveCase{"in 1900", numeric("1900", 3, 4), true},
            FalsePositiveCase{"in 2099", numeric("2099", 3, 4), true},
            FalsePositiveCase{"in 2100", numeric("2100", 3, 4), false},
            FalsePositiveCase{"in 1899", numeric("1899", 3, 4), false},
            FalsePositiveCase{"12 2024", numeric("122024", 0, 7), true},
            FalsePositiveCase{"2024-5678", numeric("20245678", 0, 9), true},
            FalsePositiveCase{"1234 5678", numeric("12345678", 0, 9), false},
            FalsePositiveCase{"+1 (800) 555-0199", numeric("5550199", 9, 8), true},
            FalsePositiveCase{"123456 555 1234", numeric("123456", 0, 6), true},
            FalsePositiveCase{"call 555 1234 now", numeric("5551234", 5, 8), false},
            FalsePositiveCase{"code 12345678 (99)", numeric("12345678", 5, 8), true},
            FalsePositiveCase{"code 12345678 .", numeric("12345678", 5, 8), false},
            FalsePositiveCase{"12/2025", numeric("2025", 3, 4), true},
            FalsePositiveCase{"3/4567", numeric("4567", 2, 4), true},
            FalsePositiveCase{"4567/8", numeric("4567", 0, 4), true},
            FalsePositiveCase{"4567 / 8", numeric("4567", 0, 4), false},
            FalsePositiveCase{"2024 A1B2", mixed("2024", 0, 4), false},
            FalsePositiveCase{"1/A1B2", mixed("A1B2", 2, 4), false}));

    TEST(CandidateFinder, sharesOnePhoneRunBetweenItsCandidates)
    {
        // Thousands of digit groups form one run of digits and spaces: every group belongs to it.
        std::string table;
        for (int row = 0; row < 5000; ++row)
            table += std::to_string(1000 + row % 9000) + ' ';
        const auto candidates = Steps::candidates(table);
        ASSERT_EQ(candidates.size(), 5000u);
        for (const auto& candidate : candidates)
            EXPECT_TRUE(Steps::isFalsePositive(candidate, table)) << candidate;
    }

} // namespace
} // namespace larkpin
