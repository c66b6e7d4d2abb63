#pragma once

#include "core/extraction/Candidate.h"
#include "core/extraction/CharacterArray.h"

#include <map>
#include <vector>

namespace larkpin {

/// Finds the strings of one combined text that could be codes and rules out numbers that are
/// years, phone numbers, dates or fractions.
///
/// Holds a view of the text's characters, which must outlive it. The phone test extends a
/// candidate over the run of digits and phone characters around it; each run is measured once
/// and shared by every candidate inside it, so a text made only of digit groups stays linear.
class CandidateFinder {
public:
    explicit CandidateFinder(const CharacterArray& characters) : characters_(characters) {}

    /// Codes written in groups ("123 456", "12-34-56"), in text order.
    std::vector<Candidate> groupedNumericCandidates() const;
    /// The grouped candidates, then the tokens (digit runs and letter-and-digit mixes), each in text order.
    std::vector<Candidate> candidates() const;
    /// True for a numeric candidate that is a year, contains a year group, belongs to a phone
    /// number, or stands next to "/". Letter-and-digit candidates never are.
    bool isFalsePositive(const Candidate& candidate);

private:
    struct PhoneRun {
        std::size_t end = 0;
        std::size_t digits = 0;
        std::size_t phoneCharacters = 0;
    };

    bool isPhoneCharacter(std::size_t index) const;
    bool isInPhoneNumber(const Candidate& candidate);
    bool containsYearGroup(const Candidate& candidate) const;

    const CharacterArray& characters_;
    std::map<std::size_t, PhoneRun> phoneRuns_; ///< by start index; runs never overlap
};

} // namespace larkpin
