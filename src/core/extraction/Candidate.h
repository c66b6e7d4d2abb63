#pragma once

#include <cstddef>
#include <ostream>
#include <string>

namespace larkpin {

/// One string of the combined text that could be the code. Positions count characters.
struct Candidate {
    std::string value;          ///< digits alone for grouped numbers, the token as written otherwise
    std::ptrdiff_t location = 0; ///< index of its first character
    std::ptrdiff_t length = 0;   ///< characters it spans, separators included
    bool isNumeric = false;      ///< digit runs and digit groups; false for letter-and-digit tokens

    friend bool operator==(const Candidate&, const Candidate&) = default;
    friend std::ostream& operator<<(std::ostream& stream, const Candidate& candidate)
    {
        return stream << '{' << candidate.value << " @" << candidate.location << '+' << candidate.length
                      << (candidate.isNumeric ? " numeric}" : " alphanumeric}");
    }
};

} // namespace larkpin
