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

    class Candidates : public testing::TestWithParam<CandidatesCase> {};

    TEST_P(Candidates, listsGroupedNumbersThenTokens)
    {
        EXPECT_EQ(Steps::candidates(GetParam().text), GetParam().expected);
    }

    INSTANTIATE_TEST_SUITE_P(
        Texts, Candidates,
        testing::Values(
            // Groups of 1 to 4 digits, 2 to 8 of them, 4 to 8 digits in all; the span ends with the last group.
            CandidatesCase{"482 913, 48-29-13, 4829 13-",
                           {numeric("482913", 0, 7), numeric("482913", 9, 8), numeric("482913", 19, 7)}},
            CandidatesCase{"1 2 3 4 5 6 7 8, 1 2 3 4 5 6 7 8 9", {numeric("12345678", 0, 15)}},
            CandidatesCase{"48291 3", {numeric("48291", 0, 5)}},
            CandidatesCase{"12345678 9", {numeric("12345678", 0, 8)}},
            CandidatesCase{"12  34 x 12 34 56 78 90", {}},
            // A group glued to a word or a number is part of it; its tokens are then judged alone.
            CandidatesCase{"123 456ABC", {mixed("456ABC", 4, 6)}},
            CandidatesCase{"a12 34, \u00B212 34, 12 34\u0301", {}},
            CandidatesCase{"12 34ab", {mixed("34ab", 3, 4)}}, CandidatesCase{"x12 34 5678", {numeric("345678", 4, 7)}},
            CandidatesCase{"12 34-ab12", {numeric("1234", 0, 5)}},
            CandidatesCase{"123 1234 123456789 12-34", {numeric("1234", 4, 4)}},
            CandidatesCase{"code 482913, then 55 66 77", {numeric("556677", 18, 8), numeric("482913", 5, 6)}},
            // Tokens mixing letters and digits: 4 to 10 of them, at most 2 hyphens, none at an end or doubled.
            CandidatesCase{"G-482913 -AB12 AB12- A--B12 A1-B2-C3-D4 ABCDEFGHIJ1", {mixed("G-482913", 0, 8)}},
            CandidatesCase{"A1-B2-C3 ABCDEFGHI1 ab12 XYZ a12",
                           {mixed("A1-B2-C3", 0, 8), mixed("ABCDEFGHI1", 9, 10), mixed("ab12", 20, 4)}},
            // Positions count characters: the combined "é" is one.
            CandidatesCase{"e\u0301 12 34 ünï 4821 côdé", {numeric("1234", 2, 5), numeric("4821", 12, 4)}}));

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
