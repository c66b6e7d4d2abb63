#include "core/extraction/LifetimeInference.h"

#include "core/extraction/UnicodeSupport.h"

#include <unicode/regex.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <memory>
#include <stdexcept>
#include <vector>

namespace larkpin {
namespace {

    /// A compiled lifetime pattern and the literal words every one of its matches contains: at the
    /// start of the match (the first pattern) or at most a bounded distance after it (the second).
    struct LifetimePattern {
        std::unique_ptr<const icu::RegexPattern> pattern;
        std::vector<icu::UnicodeString> anchors;
    };

    std::unique_ptr<const icu::RegexPattern> compile(const char* text)
    {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::RegexPattern> compiled(
            icu::RegexPattern::compile(icu::UnicodeString::fromUTF8(text), 0, status));
        // A pattern that fails to compile is passed over; these two always compile.
        if (U_FAILURE(status))
            return nullptr;
        return std::unique_ptr<const icu::RegexPattern>(std::move(compiled));
    }

    const std::array<LifetimePattern, 2>& lifetimePatterns()
    {
        static const std::array<LifetimePattern, 2> patterns{{
            {compile("(?:expires?|expir(?:e|es|a)?|valid(?:ity|o|a|e)?|válid[oa]|gültig|caduca)[^.\\n]{0,40}?"
                     "(\\d{1,3})\\s*(seconds?|secs?|secondes?|segundos?|sekunden?|minutes?|mins?|minutos?|"
                     "minuten?|hours?|hrs?|heures?|horas?|stunden?|days?|jours?|dias?|tage?)\\b"),
             {icu::UnicodeString::fromUTF8("expir"), icu::UnicodeString::fromUTF8("valid"),
              icu::UnicodeString::fromUTF8("válid"), icu::UnicodeString::fromUTF8("gültig"),
              icu::UnicodeString::fromUTF8("caduca")}},
            {compile("(\\d{1,3})\\s*(seconds?|secs?|secondes?|segundos?|sekunden?|minutes?|mins?|minutos?|"
                     "minuten?|hours?|hrs?|heures?|horas?|stunden?|days?|jours?|dias?|tage?)[^.\\n]{0,32}?"
                     "(?:valid(?:ity)?|before\\s+(?:it\\s+)?expires?)\\b"),
             {icu::UnicodeString::fromUTF8("valid"), icu::UnicodeString::fromUTF8("before")}},
        }};
        return patterns;
    }

    double secondsPerUnit(const icu::UnicodeString& unit)
    {
        const auto startsWith = [&unit](const char16_t* prefix) { return unit.startsWith(icu::UnicodeString(prefix)); };
        if (startsWith(u"sec") || startsWith(u"seg") || startsWith(u"sek"))
            return 1;
        if (startsWith(u"min"))
            return 60;
        if (startsWith(u"hour") || startsWith(u"hr") || startsWith(u"heur") || startsWith(u"hora") || startsWith(u"stund"))
            return 3600;
        return 86400;
    }

    /// Sorted, distinct start positions of every anchor word in the text.
    std::vector<std::int32_t> anchorPositions(const icu::UnicodeString& text, const std::vector<icu::UnicodeString>& anchors)
    {
        std::vector<std::int32_t> positions;
        for (const auto& anchor : anchors)
            for (std::int32_t at = text.indexOf(anchor); at >= 0; at = text.indexOf(anchor, at + 1))
                positions.push_back(at);
        std::sort(positions.begin(), positions.end());
        positions.erase(std::unique(positions.begin(), positions.end()), positions.end());
        return positions;
    }

    /// The longest run of white space in the text, in UTF-16 units: how far `\s*` can reach.
    std::int32_t longestWhiteSpaceRun(const icu::UnicodeString& text)
    {
        std::int32_t longest = 0, current = 0;
        for (std::int32_t at = 0; at < text.length(); ++at) {
            current = u_isUWhiteSpace(text.charAt(at)) ? current + 1 : 0;
            longest = std::max(longest, current);
        }
        return longest;
    }

    /// The first match of `pattern` over the whole text, found by trying only the positions where a
    /// match can begin: the same match a left-to-right search returns, in linear time.
    bool firstMatch(icu::RegexMatcher& matcher, const icu::UnicodeString& text, const std::vector<std::int32_t>& starts)
    {
        for (const std::int32_t start : starts) {
            UErrorCode status = U_ZERO_ERROR;
            matcher.region(start, text.length(), status);
            if (U_SUCCESS(status) && matcher.lookingAt(status) && U_SUCCESS(status))
                return true;
        }
        return false;
    }

    /// Where a match of the second pattern can begin: at a decimal digit close enough before "valid"
    /// or "before" (three digits, white space, an eight-letter unit and 32 code points of gap).
    std::vector<std::int32_t> digitStartsBefore(const icu::UnicodeString& text, const std::vector<std::int32_t>& words)
    {
        const std::int32_t reach = 3 + longestWhiteSpaceRun(text) + 8 + 2 * 32 + 4;
        std::vector<std::int32_t> starts;
        std::int32_t nextUnchecked = 0;
        for (const std::int32_t word : words) {
            for (std::int32_t at = std::max(nextUnchecked, word - reach); at <= word && at < text.length(); ++at) {
                if (U16_IS_TRAIL(text.charAt(at)) && at > 0 && U16_IS_LEAD(text.charAt(at - 1)))
                    continue; // never inside a surrogate pair
                if (u_isdigit(text.char32At(at)))
                    starts.push_back(at);
            }
            nextUnchecked = std::max(nextUnchecked, word + 1);
        }
        return starts;
    }

    bool mentionsLifetime(std::string_view lowercasedText)
    {
        for (const std::string_view word : {"expir", "valid", "válid", "gültig", "caduca", "before"})
            if (lowercasedText.find(word) != std::string_view::npos)
                return true;
        return false;
    }

} // namespace

std::optional<double> LifetimeInference::inferredLifetime(std::string_view text)
{
    return inferredLifetimeOfLowercased(UnicodeSupport::lowercased(text));
}

std::optional<double> LifetimeInference::inferredLifetimeOfLowercased(std::string_view lowercasedText)
{
    // Every match contains one of these words; most messages hold none and need no regex at all.
    if (!mentionsLifetime(lowercasedText))
        return std::nullopt;
    const auto text = icu::UnicodeString::fromUTF8(
        icu::StringPiece(lowercasedText.data(), static_cast<std::int32_t>(lowercasedText.size())));

    const auto& patterns = lifetimePatterns();
    for (std::size_t index = 0; index < patterns.size(); ++index) {
        const LifetimePattern& lifetimePattern = patterns[index];
        if (!lifetimePattern.pattern)
            continue;
        const std::vector<std::int32_t> words = anchorPositions(text, lifetimePattern.anchors);
        if (words.empty())
            continue;
        UErrorCode status = U_ZERO_ERROR;
        const std::unique_ptr<icu::RegexMatcher> matcher(lifetimePattern.pattern->matcher(text, status));
        if (U_FAILURE(status))
            continue;
        // Transparent bounds let the pattern see past the region's start and end, exactly as a
        // search over the whole text does.
        matcher->useTransparentBounds(true);
        matcher->useAnchoringBounds(false);
        if (!firstMatch(*matcher, text, index == 0 ? words : digitStartsBefore(text, words)))
            continue;

        status = U_ZERO_ERROR;
        const std::int32_t numberStart = matcher->start(1, status);
        const std::int32_t unitStart = matcher->start(2, status);
        if (U_FAILURE(status) || numberStart < 0 || unitStart < 0)
            continue;
        const icu::UnicodeString number = matcher->group(1, status);
        const icu::UnicodeString unit = matcher->group(2, status);
        if (U_FAILURE(status))
            continue;
        // Only ASCII digits read as a decimal number; other scripts' digits make the pattern give nothing.
        double value = 0;
        bool readable = number.length() > 0;
        for (std::int32_t k = 0; k < number.length() && readable; ++k) {
            const char16_t unitChar = number.charAt(k);
            readable = unitChar >= u'0' && unitChar <= u'9';
            value = value * 10 + (unitChar - u'0');
        }
        if (!readable)
            continue;
        const double lifetime = value * secondsPerUnit(unit);
        if (lifetime >= minimumLifetime && lifetime <= maximumLifetime)
            return lifetime;
    }
    return std::nullopt;
}

} // namespace larkpin
