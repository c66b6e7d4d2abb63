#include "core/extraction/OTPExtractor.h"

#include "core/extraction/CandidateFinder.h"
#include "core/extraction/CandidateScorer.h"
#include "core/extraction/IssuerInference.h"
#include "core/extraction/LifetimeInference.h"
#include "core/extraction/OTPExtractorInternals.h"
#include "core/extraction/ScoredCandidate.h"
#include "core/extraction/TextNormalizer.h"
#include "core/extraction/UnicodeSupport.h"

#include <algorithm>

namespace larkpin {

std::optional<OTPCode> OTPExtractor::extract(const EmailContent& from) const
{
    using Internals = OTPExtractor::Internals;
    // Text from the network may be ill-formed; every later step relies on valid UTF-8. Valid text,
    // nearly all of it, is read where it lies.
    const auto validUTF8 = [](const std::string& text, std::string& repaired) -> std::string_view {
        if (UnicodeSupport::isASCII(text) || UnicodeSupport::isValidUTF8(text))
            return text;
        repaired = UnicodeSupport::repairedUTF8(text);
        return repaired;
    };
    std::string repairedSubject, repairedBody, repairedSender;
    const std::string subject = TextNormalizer::normalized(validUTF8(from.subject, repairedSubject));
    // The HTML body is never looked at when there is a plain-text one.
    std::string body = from.plainText.empty()
                           ? TextNormalizer::removeBlockQuotes(validUTF8(from.htmlText, repairedBody))
                           : TextNormalizer::stripQuotedPlainText(validUTF8(from.plainText, repairedBody));
    body.resize(CharacterArray::prefixLength(body, Internals::maximumBodyCharacters));
    body = TextNormalizer::normalized(body);

    std::string combined;
    if (subject.empty() || body.empty()) {
        combined = subject.empty() ? std::move(body) : subject;
    } else {
        combined.reserve(subject.size() + 1 + body.size());
        combined.append(subject).append(1, '\n').append(body);
    }

    const CharacterArray characters(combined);
    CandidateFinder finder(characters);
    std::vector<Candidate> candidates = finder.candidates();
    std::erase_if(candidates, [&finder](const Candidate& candidate) { return finder.isFalsePositive(candidate); });
    if (candidates.empty())
        return std::nullopt;

    const std::string lowercased = UnicodeSupport::lowercased(combined);
    const CharacterArray lowercasedCharacters = characters.rebased(lowercased);
    const auto subjectLength = static_cast<std::ptrdiff_t>(
        subject.empty() ? 0 : characters.indexAtByteOffset(subject.size()).value_or(0));
    CandidateScorer scorer(lowercasedCharacters, UnicodeSupport::lowercased(subject), subjectLength);
    scorer.prepare(candidates);

    // Highest score wins; among equals the earliest location, then the earliest in the list.
    std::optional<ScoredCandidate> winner;
    for (auto& candidate : candidates) {
        const int score = scorer.score(candidate);
        if (score < CandidateScorer::acceptanceThreshold)
            continue;
        if (!winner || score > winner->score ||
            (score == winner->score && candidate.location < winner->candidate.location))
            winner = ScoredCandidate{std::move(candidate), score};
    }
    if (!winner)
        return std::nullopt;

    const double lifetime = LifetimeInference::inferredLifetimeOfLowercased(lowercased).value_or(lifetime_);
    return OTPCode{
        .id = Uuid::random(),
        .value = std::move(winner->candidate.value),
        .issuer = IssuerInference::issuer(validUTF8(from.sender, repairedSender)),
        .accountEmail = from.accountEmail,
        .messageID = from.messageID,
        .receivedAt = from.receivedAt,
        .expiresAt = from.receivedAt + Seconds(lifetime),
        .usedAt = std::nullopt,
    };
}

// The steps one by one, each preparing what the pipeline above shares between them.

std::string OTPExtractor::Internals::decodeEntities(std::string_view text)
{
    return TextNormalizer::decodeEntities(text);
}

std::string OTPExtractor::Internals::stripTags(std::string_view text) { return TextNormalizer::stripTags(text); }

std::string OTPExtractor::Internals::normalized(std::string_view text) { return TextNormalizer::normalized(text); }

std::string OTPExtractor::Internals::stripQuotedPlainText(std::string_view text)
{
    return TextNormalizer::stripQuotedPlainText(text);
}

std::string OTPExtractor::Internals::removeBlockQuotes(std::string_view html)
{
    return TextNormalizer::removeBlockQuotes(html);
}

std::vector<Candidate> OTPExtractor::Internals::groupedNumericCandidates(const CharacterArray& characters)
{
    return CandidateFinder(characters).groupedNumericCandidates();
}

std::vector<Candidate> OTPExtractor::Internals::candidates(std::string_view text)
{
    const CharacterArray characters(text);
    return CandidateFinder(characters).candidates();
}

bool OTPExtractor::Internals::isFalsePositive(const Candidate& candidate, std::string_view text)
{
    const CharacterArray characters(text);
    return CandidateFinder(characters).isFalsePositive(candidate);
}

std::string OTPExtractor::Internals::window(const Candidate& candidate, std::string_view text, std::ptrdiff_t radius)
{
    const CharacterArray characters(text);
    const auto count = static_cast<std::ptrdiff_t>(characters.size());
    const std::ptrdiff_t start = std::clamp<std::ptrdiff_t>(candidate.location - radius, 0, count);
    const std::ptrdiff_t end = std::clamp<std::ptrdiff_t>(candidate.location + candidate.length + radius, start, count);
    return std::string(characters.slice(static_cast<std::size_t>(start), static_cast<std::size_t>(end)));
}

std::optional<std::ptrdiff_t> OTPExtractor::Internals::keywordDistance(const Candidate& candidate, std::string_view text)
{
    const CharacterArray characters(text);
    CandidateScorer scorer(characters, {}, 0);
    return scorer.keywordDistance(candidate);
}

int OTPExtractor::Internals::score(const Candidate& candidate, std::string_view subject, std::string_view text)
{
    const std::string lowercased = UnicodeSupport::lowercased(text);
    const CharacterArray characters(lowercased);
    CandidateScorer scorer(characters, UnicodeSupport::lowercased(subject),
                           static_cast<std::ptrdiff_t>(CharacterArray(subject).size()));
    return scorer.score(candidate);
}

std::string OTPExtractor::Internals::issuer(std::string_view sender) { return IssuerInference::issuer(sender); }

std::optional<double> OTPExtractor::Internals::inferredLifetime(std::string_view text)
{
    return LifetimeInference::inferredLifetime(text);
}

} // namespace larkpin
