#include "core/extraction/CandidateScorer.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace larkpin {
namespace {

    constexpr std::array<std::string_view, 26> codeKeywords{
        "one-time", "one time", "otp", "verification", "security", "passcode", "pin", "code", "código",
        "codigo", "vérification", "bestätigungscode", "codice", "verificatiecode", "doğrulama kodu",
        "kod weryfikacyjny", "код подтверждения", "رمز التحقق", "رمز", "認証コード", "인증 코드",
        "验证码", "驗證碼", "קוד אימות", "kode verifikasi", "सत्यापन कोड",
    };
    constexpr std::array<std::string_view, 7> penaltyPhrases{
        "area code", "postal code", "zip code", "order", "invoice", "tracking", "reference",
    };

    struct Phrase {
        std::string_view bytes;
        bool isKeyword;
    };

    /// Every phrase, ordered by first byte, and where the phrases of each first byte begin, so that
    /// one pass over a stretch tries only the few that can start at each byte.
    struct PhraseIndex {
        std::array<Phrase, codeKeywords.size() + penaltyPhrases.size()> phrases;
        std::array<std::uint8_t, 257> firstOf; ///< phrases starting with byte b: [firstOf[b], firstOf[b + 1])
    };

    constexpr PhraseIndex phraseIndex = [] {
        PhraseIndex index{};
        std::size_t count = 0;
        for (int byte = 0; byte < 256; ++byte) {
            index.firstOf[static_cast<std::size_t>(byte)] = static_cast<std::uint8_t>(count);
            for (const auto keyword : codeKeywords)
                if (static_cast<unsigned char>(keyword[0]) == byte)
                    index.phrases[count++] = {keyword, true};
            for (const auto phrase : penaltyPhrases)
                if (static_cast<unsigned char>(phrase[0]) == byte)
                    index.phrases[count++] = {phrase, false};
        }
        index.firstOf[256] = static_cast<std::uint8_t>(count);
        return index;
    }();

} // namespace

CandidateScorer::CandidateScorer(const CharacterArray& lowercasedText, std::string_view lowercasedSubject,
                                 std::ptrdiff_t subjectLength)
    : text_(lowercasedText)
    , subjectLength_(subjectLength)
    , subjectHasKeyword_(containsKeyword(lowercasedSubject))
{
}

void CandidateScorer::prepare(const std::vector<Candidate>& candidates)
{
    std::vector<Interval> stretches;
    stretches.reserve(candidates.size());
    for (const auto& candidate : candidates)
        if (const auto interval = stretch(candidate, keywordRadius); interval.start < interval.end)
            stretches.push_back(interval);
    std::sort(stretches.begin(), stretches.end(),
              [](const Interval& a, const Interval& b) { return a.start < b.start; });
    covered_.clear();
    for (const auto& interval : stretches) {
        if (!covered_.empty() && interval.start <= covered_.back().end)
            covered_.back().end = std::max(covered_.back().end, interval.end);
        else
            covered_.push_back(interval);
    }
    occurrences_.clear();
    for (const auto& interval : covered_)
        findPhrases(text_, interval, occurrences_);
}

CandidateScorer::Interval CandidateScorer::stretch(const Candidate& candidate, std::ptrdiff_t radius) const
{
    const auto count = static_cast<std::ptrdiff_t>(text_.size());
    const std::ptrdiff_t start = std::clamp<std::ptrdiff_t>(candidate.location - radius, 0, count);
    const std::ptrdiff_t end = std::clamp<std::ptrdiff_t>(candidate.location + candidate.length + radius, 0, count);
    return {static_cast<std::size_t>(start), static_cast<std::size_t>(std::max(start, end))};
}

void CandidateScorer::findPhrases(const CharacterArray& text, Interval interval, std::vector<Occurrence>& into)
{
    const std::string_view bytes = text.text();
    const std::size_t first = text.byteOffset(interval.start);
    const std::size_t last = text.byteOffset(interval.end);
    for (std::size_t at = first; at < last; ++at) {
        const auto byte = static_cast<unsigned char>(bytes[at]);
        for (std::size_t k = phraseIndex.firstOf[byte]; k < phraseIndex.firstOf[byte + 1u]; ++k) {
            const Phrase& phrase = phraseIndex.phrases[k];
            // Every phrase has at least two bytes; the second rules out nearly every other start.
            if (at + phrase.bytes.size() > last || bytes[at + 1] != phrase.bytes[1] ||
                std::memcmp(bytes.data() + at, phrase.bytes.data(), phrase.bytes.size()) != 0)
                continue;
            // Matching characters means matching whole characters: both ends must be boundaries.
            // Inside, the phrases hold nothing whose segmentation depends on its neighbours (no
            // regional indicators, no emoji), so their own boundaries are the text's too.
            const auto start = text.indexAtByteOffset(at);
            const auto end = text.indexAtByteOffset(at + phrase.bytes.size());
            if (start && end)
                into.push_back({*start, *end, phrase.isKeyword});
        }
    }
}

bool CandidateScorer::covers(const Interval& interval) const
{
    auto after = std::upper_bound(covered_.begin(), covered_.end(), interval.start,
                                  [](std::size_t start, const Interval& known) { return start < known.start; });
    return after != covered_.begin() && interval.end <= std::prev(after)->end;
}

bool CandidateScorer::containsKeyword(std::string_view lowercasedText)
{
    if (lowercasedText.empty())
        return false;
    const CharacterArray text(lowercasedText);
    std::vector<Occurrence> found;
    findPhrases(text, {0, text.size()}, found);
    return std::any_of(found.begin(), found.end(), [](const Occurrence& occurrence) { return occurrence.isKeyword; });
}

std::optional<std::ptrdiff_t> CandidateScorer::keywordDistance(const Candidate& candidate)
{
    const Interval around = stretch(candidate, keywordRadius);
    const bool isCovered = covers(around);
    std::vector<Occurrence> ownOccurrences;
    if (!isCovered && around.start < around.end)
        findPhrases(text_, around, ownOccurrences);
    const std::vector<Occurrence>& occurrences = isCovered ? occurrences_ : ownOccurrences;

    std::optional<std::ptrdiff_t> nearest;
    auto at = std::lower_bound(occurrences.begin(), occurrences.end(), around.start,
                               [](const Occurrence& occurrence, std::size_t start) { return occurrence.start < start; });
    for (; at != occurrences.end() && at->start < around.end; ++at) {
        if (!at->isKeyword || at->end > around.end)
            continue;
        const auto keywordStart = static_cast<std::ptrdiff_t>(at->start);
        const auto keywordEnd = static_cast<std::ptrdiff_t>(at->end);
        const std::ptrdiff_t distance = std::max({keywordStart - (candidate.location + candidate.length),
                                                  candidate.location - keywordEnd, std::ptrdiff_t{0}});
        if (!nearest || distance < *nearest)
            nearest = distance;
    }
    return nearest;
}

bool CandidateScorer::hasPenaltyPhraseNearby(const Candidate& candidate)
{
    const Interval around = stretch(candidate, penaltyRadius);
    const Interval keywordStretch = stretch(candidate, keywordRadius);
    const bool isCovered = covers(keywordStretch);
    std::vector<Occurrence> ownOccurrences;
    if (!isCovered && around.start < around.end)
        findPhrases(text_, around, ownOccurrences);
    const std::vector<Occurrence>& occurrences = isCovered ? occurrences_ : ownOccurrences;

    auto at = std::lower_bound(occurrences.begin(), occurrences.end(), around.start,
                               [](const Occurrence& occurrence, std::size_t start) { return occurrence.start < start; });
    for (; at != occurrences.end() && at->start < around.end; ++at)
        if (!at->isKeyword && at->end <= around.end)
            return true;
    return false;
}

int CandidateScorer::score(const Candidate& candidate)
{
    int score = candidate.location < subjectLength_ ? (candidate.isNumeric ? 65 : 50) : (candidate.isNumeric ? 20 : 5);
    if (subjectHasKeyword_)
        score += 30;
    if (const auto distance = keywordDistance(candidate)) {
        if (*distance <= 16)
            score += 70;
        else if (*distance <= 40)
            score += 50;
        else
            score += 30;
    }
    if (hasPenaltyPhraseNearby(candidate))
        score -= candidate.isNumeric ? 70 : 80;
    else if (!candidate.isNumeric)
        score -= 10;
    return score;
}

} // namespace larkpin
