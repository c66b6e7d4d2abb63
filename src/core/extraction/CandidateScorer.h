#pragma once

#include "core/extraction/Candidate.h"
#include "core/extraction/CharacterArray.h"

#include <optional>
#include <string_view>
#include <vector>

namespace larkpin {

/// Scores candidates of one combined text by where they stand and which keywords surround them.
///
/// Works on the lowercased combined text (a view that must outlive the scorer); candidate
/// locations are used unchanged in it. Keyword and penalty-phrase occurrences are found once, in
/// the stretches the candidates look at (80 characters either side), and then looked up.
class CandidateScorer {
public:
    static constexpr int acceptanceThreshold = 60;
    static constexpr std::ptrdiff_t keywordRadius = 80;
    static constexpr std::ptrdiff_t penaltyRadius = 24;

    /// `subjectLength` is the character count of the normalised subject (0 without one);
    /// `lowercasedSubject` is that subject lowercased.
    CandidateScorer(const CharacterArray& lowercasedText, std::string_view lowercasedSubject,
                    std::ptrdiff_t subjectLength);

    /// Finds the phrases around these candidates; scoring a candidate outside them finds its own.
    void prepare(const std::vector<Candidate>& candidates);

    int score(const Candidate& candidate);
    /// Distance in characters to the nearest code keyword within 80 characters, if any.
    std::optional<std::ptrdiff_t> keywordDistance(const Candidate& candidate);
    bool hasPenaltyPhraseNearby(const Candidate& candidate);

    /// True when the text contains any code keyword.
    static bool containsKeyword(std::string_view lowercasedText);

private:
    struct Occurrence {
        std::size_t start;
        std::size_t end;
        bool isKeyword; ///< else a penalty phrase
    };
    struct Interval {
        std::size_t start;
        std::size_t end;
    };

    /// The stretch a candidate's keyword search looks at, clipped to the text.
    Interval stretch(const Candidate& candidate, std::ptrdiff_t radius) const;
    bool covers(const Interval& interval) const;
    static void findPhrases(const CharacterArray& text, Interval interval, std::vector<Occurrence>& into);

    const CharacterArray& text_;
    std::ptrdiff_t subjectLength_;
    bool subjectHasKeyword_;
    std::vector<Interval> covered_;       ///< ascending, disjoint
    std::vector<Occurrence> occurrences_; ///< ascending by start
};

} // namespace larkpin
