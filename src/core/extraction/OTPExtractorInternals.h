#pragma once

// The steps of OTPExtractor, one by one. Only tests and tools include this header.

#include "core/extraction/Candidate.h"
#include "core/extraction/CharacterArray.h"
#include "core/extraction/OTPExtractor.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace larkpin {

struct OTPExtractor::Internals {
    static constexpr std::size_t maximumBodyCharacters = 200000;

    // Text preparation.
    static std::string decodeEntities(std::string_view text);
    static std::string stripTags(std::string_view text);
    static std::string normalized(std::string_view text);
    static std::string stripQuotedPlainText(std::string_view text);
    static std::string removeBlockQuotes(std::string_view html);

    // Candidates and scoring; `text` is the combined text (normalised subject, line feed, normalised body).
    static std::vector<Candidate> groupedNumericCandidates(const CharacterArray& characters);
    static std::vector<Candidate> candidates(std::string_view text);
    static bool isFalsePositive(const Candidate& candidate, std::string_view text);
    static std::string window(const Candidate& candidate, std::string_view text, std::ptrdiff_t radius);
    static std::optional<std::ptrdiff_t> keywordDistance(const Candidate& candidate, std::string_view text);
    static int score(const Candidate& candidate, std::string_view subject, std::string_view text);

    // Issuer and lifetime.
    static std::string issuer(std::string_view sender);
    static std::optional<double> inferredLifetime(std::string_view text);
};

} // namespace larkpin
