#pragma once

#include "core/extraction/Candidate.h"

namespace larkpin {

struct ScoredCandidate {
    Candidate candidate;
    int score = 0;

    friend bool operator==(const ScoredCandidate&, const ScoredCandidate&) = default;
};

} // namespace larkpin
