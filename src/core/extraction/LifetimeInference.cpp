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

    double secondsPerUnit(std::string_view unit)
    {
        const auto startsWith = [unit](std::string_view prefix) { return unit.starts_with(prefix); };
        if (startsWith("sec") || startsWith("seg") || startsWith("sek"))
            return 1;
        if (startsWith("min"))
            return 60;
        if (startsWith("hour") || startsWith("hr") || startsWith("heur") || startsWith("hora") || startsWith("stund"))
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

    // The scan. It walks the UTF-8 by code points, as the patterns count, and answers each test the
    // patterns make: \d, \s and \b at ASCII exactly; a non-ASCII scalar that is neither a decimal
    // digit (\d is \p{Nd}) nor white space (\s is \p{White_Space}) fails those tests as well; any
    // other question about a non-ASCII scalar leaves the text undecided.

    enum class Answer { no, yes, undecided };

    Answer either(Answer first, Answer second)
    {
        if (first == Answer::yes || second == Answer::yes)
            return Answer::yes;
        return first == Answer::undecided || second == Answer::undecided ? Answer::undecided : Answer::no;
    }

    std::size_t nextCodePoint(std::string_view text, std::size_t at)
    {
        const auto lead = static_cast<unsigned char>(text[at]);
        const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        return std::min(text.size(), at + length);
    }

    char32_t scalarAt(std::string_view text, std::size_t at) { return UnicodeSupport::nextScalar(text, at); }

    bool isASCIIDigit(unsigned char byte) { return byte >= '0' && byte <= '9'; }
    bool isASCIIWhiteSpace(unsigned char byte) { return (byte >= 0x09 && byte <= 0x0D) || byte == ' '; }

    /// \d at `at`; an ASCII digit is one byte.
    Answer digitAt(std::string_view text, std::size_t at)
    {
        if (at >= text.size())
            return Answer::no;
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x80)
            return isASCIIDigit(byte) ? Answer::yes : Answer::no;
        return u_isdigit(static_cast<UChar32>(scalarAt(text, at))) ? Answer::undecided : Answer::no;
    }

    /// \s at `at`; ASCII white space is one byte.
    Answer whiteSpaceAt(std::string_view text, std::size_t at)
    {
        if (at >= text.size())
            return Answer::no;
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x80)
            return isASCIIWhiteSpace(byte) ? Answer::yes : Answer::no;
        return u_isUWhiteSpace(static_cast<UChar32>(scalarAt(text, at))) ? Answer::undecided : Answer::no;
    }

    /// \b at `at`, right after an ASCII letter: the end of the text, or anything but a word character.
    Answer boundaryAfterLetter(std::string_view text, std::size_t at)
    {
        if (at >= text.size())
            return Answer::yes;
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte >= 0x80)
            return Answer::undecided;
        const bool isWord =
            isASCIIDigit(byte) || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || byte == '_';
        return isWord ? Answer::no : Answer::yes;
    }

    /// `\s*` or `\s+` from `at`: where the run of white space ends. White space is taken greedily,
    /// and what follows it in the patterns is never white space, so only the whole run can match.
    Answer whiteSpaceRun(std::string_view text, std::size_t& at)
    {
        for (;;) {
            const Answer answer = whiteSpaceAt(text, at);
            if (answer != Answer::yes)
                return answer == Answer::undecided ? Answer::undecided : Answer::yes;
            ++at;
        }
    }

    /// Every word the unit group can match, in the patterns' alternatives with and without the last letter.
    constexpr std::array<std::string_view, 36> unitWords{
        "seconds", "second", "secs", "sec", "secondes", "seconde", "segundos", "segundo", "sekunden",
        "sekunde", "minutes", "minute", "mins", "min", "minutos", "minuto", "minuten", "minute",
        "hours", "hour", "hrs", "hr", "heures", "heure", "horas", "hora", "stunden",
        "stunde", "days", "day", "jours", "jour", "dias", "dia", "tage", "tag",
    };

    /// A number of one to three digits, white space, then the start of a unit word.
    struct NumberAndUnit {
        double number = 0;
        std::size_t unitStart = 0;
    };

    /// `(\d{1,3})\s*` at `at`. The digits are taken greedily; fewer would leave a digit where the
    /// white space or the unit must begin, so only the longest run of up to three can match.
    Answer numberAt(std::string_view text, std::size_t at, NumberAndUnit& found)
    {
        std::size_t end = at;
        double number = 0;
        while (end - at < 3) {
            const Answer digit = digitAt(text, end);
            if (digit == Answer::undecided)
                return Answer::undecided;
            if (digit == Answer::no)
                break;
            number = number * 10 + (text[end] - '0');
            ++end;
        }
        if (end == at)
            return Answer::no;
        if (whiteSpaceRun(text, end) == Answer::undecided)
            return Answer::undecided;
        found = {number, end};
        return Answer::yes;
    }

    /// Calls `each(end)` for the end of every unit word at `at`; all of them have the same seconds.
    template <typename Each> void forEachUnitEnd(std::string_view text, std::size_t at, Each each)
    {
        if (at >= text.size())
            return;
        const char first = text[at];
        if (first != 's' && first != 'm' && first != 'h' && first != 'd' && first != 'j' && first != 't')
            return;
        const std::string_view rest = text.substr(at);
        for (const std::string_view word : unitWords)
            if (rest.starts_with(word))
                each(at + word.size());
    }

    /// The first pattern at `at`, the start of one of its leading words: the lifetime of its match.
    Answer firstPatternAt(std::string_view text, std::size_t at, double& lifetime)
    {
        const std::string_view rest = text.substr(at);
        // The alternatives are tried longest first ("expires" before "expire", "validity" before
        // "valid"), and a shorter one can only reach positions the longest one reaches too: the
        // letters between their ends are no digits, and the gap counts from the later end.
        std::size_t gapStart;
        if (rest.starts_with("expir"))
            gapStart = at + (rest.starts_with("expires")                                  ? 7
                             : rest.starts_with("expire") || rest.starts_with("expira") ? 6
                                                                                        : 5);
        else if (rest.starts_with("valid"))
            gapStart = at + (rest.starts_with("validity") ? 8
                             : rest.size() > 5 && (rest[5] == 'o' || rest[5] == 'a' || rest[5] == 'e') ? 6 : 5);
        else if (rest.starts_with("v\u00E1lido") || rest.starts_with("v\u00E1lida"))
            gapStart = at + std::string_view("v\u00E1lido").size();
        else if (rest.starts_with("g\u00FCltig"))
            gapStart = at + std::string_view("g\u00FCltig").size();
        else if (rest.starts_with("caduca"))
            gapStart = at + 6;
        else
            return Answer::no;

        // The gap is lazy: the first position, after 0 to 40 code points other than "." and "\n",
        // where a number and a unit word ending at a boundary follow.
        std::size_t position = gapStart;
        for (int gap = 0;; ++gap) {
            NumberAndUnit found;
            const Answer number = numberAt(text, position, found);
            if (number == Answer::undecided)
                return Answer::undecided;
            if (number == Answer::yes) {
                Answer unit = Answer::no;
                std::size_t unitEnd = 0;
                forEachUnitEnd(text, found.unitStart, [&](std::size_t end) {
                    const Answer boundary = boundaryAfterLetter(text, end);
                    if (boundary == Answer::yes && unit != Answer::yes)
                        unitEnd = end;
                    unit = either(unit, boundary);
                });
                if (unit == Answer::undecided)
                    return Answer::undecided;
                if (unit == Answer::yes) {
                    lifetime = found.number * secondsPerUnit(text.substr(found.unitStart, unitEnd - found.unitStart));
                    return Answer::yes;
                }
            }
            if (gap == 40 || position >= text.size() || text[position] == '.' || text[position] == '\n')
                return Answer::no;
            position = nextCodePoint(text, position);
        }
    }

    /// "expires?\b" at `at`.
    Answer expiresAt(std::string_view text, std::size_t at)
    {
        const std::string_view rest = text.substr(at);
        if (!rest.starts_with("expire"))
            return Answer::no;
        const Answer withS = rest.starts_with("expires") ? boundaryAfterLetter(text, at + 7) : Answer::no;
        return either(withS, boundaryAfterLetter(text, at + 6));
    }

    /// "(?:valid(?:ity)?|before\s+(?:it\s+)?expires?)\b" at `at`.
    Answer closingWordsAt(std::string_view text, std::size_t at)
    {
        const std::string_view rest = text.substr(at);
        if (rest.starts_with("valid")) {
            const Answer validity = rest.starts_with("validity") ? boundaryAfterLetter(text, at + 8) : Answer::no;
            return either(validity, boundaryAfterLetter(text, at + 5));
        }
        if (!rest.starts_with("before"))
            return Answer::no;
        std::size_t afterBefore = at + 6;
        if (whiteSpaceRun(text, afterBefore) == Answer::undecided)
            return Answer::undecided;
        if (afterBefore == at + 6)
            return Answer::no;
        Answer withIt = Answer::no;
        if (text.substr(afterBefore).starts_with("it")) {
            std::size_t afterIt = afterBefore + 2;
            if (whiteSpaceRun(text, afterIt) == Answer::undecided)
                return Answer::undecided;
            if (afterIt > afterBefore + 2)
                withIt = expiresAt(text, afterIt);
        }
        return either(withIt, expiresAt(text, afterBefore));
    }

    /// The second pattern at `at`, a decimal digit. Every way of matching from here captures the
    /// same number and a unit of the same length, so only whether one exists matters.
    Answer secondPatternAt(std::string_view text, std::size_t at, double& lifetime)
    {
        NumberAndUnit found;
        const Answer number = numberAt(text, at, found);
        if (number != Answer::yes)
            return number;
        Answer match = Answer::no;
        std::size_t someUnitEnd = 0;
        forEachUnitEnd(text, found.unitStart, [&](std::size_t unitEnd) {
            if (match == Answer::yes)
                return;
            std::size_t position = unitEnd;
            for (int gap = 0;; ++gap) {
                match = either(match, closingWordsAt(text, position));
                if (match == Answer::yes) {
                    someUnitEnd = unitEnd;
                    return;
                }
                if (gap == 32 || position >= text.size() || text[position] == '.' || text[position] == '\n')
                    return;
                position = nextCodePoint(text, position);
            }
        });
        if (match == Answer::yes)
            lifetime = found.number * secondsPerUnit(text.substr(found.unitStart, someUnitEnd - found.unitStart));
        return match;
    }

    /// The starts of the first pattern's leading words, in text order. Each word is found by memchr
    /// on a byte of it that is rare in text (the "x" of "expir" rather than its "e").
    std::vector<std::size_t> leadingWordStarts(std::string_view text)
    {
        std::vector<std::size_t> starts;
        constexpr std::array<std::pair<std::string_view, std::size_t>, 5> words{{
            {"expir", 1}, {"valid", 0}, {"v\u00E1lid", 0}, {"g\u00FCltig", 2}, {"caduca", 0}}};
        for (const auto& [word, rare] : words) {
            for (std::size_t at = text.find(word[rare], rare); at != std::string_view::npos;
                 at = text.find(word[rare], at + 1))
                if (text.substr(at - rare).starts_with(word))
                    starts.push_back(at - rare);
        }
        std::sort(starts.begin(), starts.end());
        return starts;
    }

    bool withinBounds(double lifetime)
    {
        return lifetime >= LifetimeInference::minimumLifetime && lifetime <= LifetimeInference::maximumLifetime;
    }

} // namespace

std::optional<double> LifetimeInference::inferredLifetime(std::string_view text)
{
    return inferredLifetimeOfLowercased(UnicodeSupport::lowercased(text));
}

std::optional<double> LifetimeInference::inferredLifetimeOfLowercased(std::string_view lowercasedText)
{
    // The scan finds the words every match contains; most messages hold none and are decided at once.
    const ScanResult scanned = scannedLifetime(lowercasedText);
    return scanned.decided ? scanned.lifetime : lifetimeByRegularExpressions(lowercasedText);
}

LifetimeInference::ScanResult LifetimeInference::scannedLifetime(std::string_view text)
{
    // The first pattern's leftmost match, then the second's; an out-of-range lifetime from the
    // first lets the second be tried.
    for (const std::size_t start : leadingWordStarts(text)) {
        double lifetime = 0;
        const Answer answer = firstPatternAt(text, start, lifetime);
        if (answer == Answer::undecided)
            return {};
        if (answer == Answer::yes) {
            if (withinBounds(lifetime))
                return {true, lifetime};
            break;
        }
    }
    if (text.find("valid") == std::string_view::npos && text.find("before") == std::string_view::npos)
        return {true, std::nullopt};
    for (std::size_t at = 0; at < text.size(); at = nextCodePoint(text, at)) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x80 && !isASCIIDigit(byte))
            continue;
        double lifetime = 0;
        const Answer answer = byte < 0x80 ? secondPatternAt(text, at, lifetime) : digitAt(text, at);
        if (answer == Answer::undecided)
            return {};
        if (answer == Answer::yes)
            return {true, withinBounds(lifetime) ? std::optional<double>(lifetime) : std::nullopt};
    }
    return {true, std::nullopt};
}

std::optional<double> LifetimeInference::lifetimeByRegularExpressions(std::string_view lowercasedText)
{
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
        std::string unitText;
        unit.toUTF8String(unitText);
        const double lifetime = value * secondsPerUnit(unitText);
        if (lifetime >= minimumLifetime && lifetime <= maximumLifetime)
            return lifetime;
    }
    return std::nullopt;
}

} // namespace larkpin
