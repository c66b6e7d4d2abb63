#include "core/extraction/CandidateFinder.h"

#include "core/extraction/UnicodeSupport.h"

#include <algorithm>
#include <array>
#include <cstdint>

namespace larkpin {
namespace {

    constexpr std::size_t minimumGroups = 2, maximumGroups = 8;
    constexpr std::size_t minimumDigits = 4, maximumDigits = 8;
    constexpr std::size_t maximumGroupLength = 4;
    constexpr std::size_t minimumTokenLength = 4, maximumTokenLength = 10;
    constexpr std::size_t maximumTokenHyphens = 2;
    constexpr std::size_t phoneDigits = 10, phoneSeparators = 2;

    bool isYear(std::string_view digits)
    {
        if (digits.size() != 4 || !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
            return false;
        const int value = (digits[0] - '0') * 1000 + (digits[1] - '0') * 100 + (digits[2] - '0') * 10 + (digits[3] - '0');
        return value >= 1900 && value <= 2099;
    }

    /// Any numeric character: an ASCII digit, or a character whose first scalar has a numeric type.
    bool isNumericCharacter(const CharacterArray& chars, std::size_t index)
    {
        const auto character = chars[index];
        if (character.size() == 1)
            return character[0] >= '0' && character[0] <= '9';
        return UnicodeSupport::isNumeric(UnicodeSupport::firstScalar(character));
    }

    /// The first index from `index` on whose character is an ASCII digit, or `count`.
    std::size_t nextDigit(const unsigned char* asciiBytes, std::size_t index, std::size_t count)
    {
        while (index < count && static_cast<unsigned char>(asciiBytes[index] - '0') >= 10)
            ++index;
        return index;
    }

} // namespace

std::vector<Candidate> CandidateFinder::groupedNumericCandidates() const
{
    const CharacterArray& chars = characters_;
    const std::size_t count = chars.size();
    const unsigned char* bytes = chars.asciiBytes();
    std::vector<Candidate> found;
    for (std::size_t index = 0; index < count;) {
        index = nextDigit(bytes, index, count);
        if (index == count)
            break;
        // A group glued to a word or to another number is part of that word or number.
        if (index > 0 && (chars.isASCIILetter(index - 1) || isNumericCharacter(chars, index - 1))) {
            ++index;
            continue;
        }
        const std::size_t start = index;
        std::size_t groups = 0, digits = 0, longestGroup = 0;
        std::size_t position = start, end = start;
        for (;;) {
            end = position;
            while (end < count && chars.isASCIIDigit(end))
                ++end;
            ++groups;
            digits += end - position;
            longestGroup = std::max(longestGroup, end - position);
            if (end == count || !(chars.is(end, ' ') || chars.is(end, '-')))
                break;
            if (end + 1 >= count || !chars.isASCIIDigit(end + 1))
                break;
            position = end + 1;
        }
        const bool gluedToWord = end < count && chars.isASCIILetter(end);
        if (!gluedToWord && groups >= minimumGroups && groups <= maximumGroups && digits >= minimumDigits &&
            digits <= maximumDigits && longestGroup <= maximumGroupLength) {
            Candidate candidate{.value = {},
                                .location = static_cast<std::ptrdiff_t>(start),
                                .length = static_cast<std::ptrdiff_t>(end - start),
                                .isNumeric = true};
            for (std::size_t k = start; k < end; ++k)
                if (chars.isASCIIDigit(k))
                    candidate.value.append(chars[k]);
            found.push_back(std::move(candidate));
        }
        index = std::max(start + 1, end);
    }
    return found;
}

namespace {

    enum TokenKind : unsigned char { notToken, letter, digit, hyphen };

    /// The kind of every byte that asciiBytes() gives: non-ASCII characters are no token characters.
    constexpr std::array<TokenKind, 256> tokenKinds = [] {
        std::array<TokenKind, 256> kinds{};
        for (int byte = 'a'; byte <= 'z'; ++byte)
            kinds[static_cast<std::size_t>(byte)] = kinds[static_cast<std::size_t>(byte - 'a' + 'A')] = letter;
        for (int byte = '0'; byte <= '9'; ++byte)
            kinds[static_cast<std::size_t>(byte)] = digit;
        kinds['-'] = hyphen;
        return kinds;
    }();

} // namespace

std::vector<Candidate> CandidateFinder::candidates() const
{
    const CharacterArray& chars = characters_;
    std::vector<Candidate> found = groupedNumericCandidates();
    const std::size_t groupedCount = found.size();
    const unsigned char* bytes = chars.asciiBytes();
    const std::size_t count = chars.size();

    std::size_t nextGrouped = 0; // grouped candidates are in text order and never overlap
    for (std::size_t index = 0; index < count;) {
        // Only tokens with a digit can be candidates: from the next digit, back to where its token starts.
        const std::size_t digitAt = nextDigit(bytes, index, count);
        if (digitAt == count)
            break;
        std::size_t start = digitAt;
        while (start > index && tokenKinds[bytes[start - 1]] != notToken)
            --start;
        index = start;
        std::size_t letters = 0, digits = 0, hyphens = 0;
        bool doubleHyphen = false;
        for (; index < count; ++index) {
            const TokenKind kind = tokenKinds[bytes[index]];
            if (kind == notToken)
                break;
            letters += kind == letter;
            digits += kind == digit;
            if (kind == hyphen) {
                ++hyphens;
                doubleHyphen = doubleHyphen || (index > start && bytes[index - 1] == '-');
            }
        }
        const std::size_t end = index;
        const std::size_t length = end - start;
        // Short runs are no candidates, whatever they hold.
        if (letters + digits < minimumTokenLength)
            continue;

        while (nextGrouped < groupedCount &&
               static_cast<std::size_t>(found[nextGrouped].location + found[nextGrouped].length) <= start)
            ++nextGrouped;
        if (nextGrouped < groupedCount && static_cast<std::size_t>(found[nextGrouped].location) < end)
            continue; // overlaps a grouped number

        const auto add = [&](bool isNumeric) {
            found.push_back({.value = std::string(chars.slice(start, end)),
                             .location = static_cast<std::ptrdiff_t>(start),
                             .length = static_cast<std::ptrdiff_t>(length),
                             .isNumeric = isNumeric});
        };
        if (digits == length) {
            if (length <= maximumDigits)
                add(true);
            continue;
        }
        if (letters == 0 || digits == 0)
            continue;
        const std::size_t alphanumerics = letters + digits;
        if (alphanumerics <= maximumTokenLength && hyphens <= maximumTokenHyphens && bytes[start] != '-' &&
            bytes[end - 1] != '-' && !doubleHyphen)
            add(false);
    }
    return found;
}

bool CandidateFinder::isFalsePositive(const Candidate& candidate)
{
    if (!candidate.isNumeric)
        return false;
    const std::size_t count = characters_.size();
    const auto start = static_cast<std::size_t>(std::max<std::ptrdiff_t>(candidate.location, 0));
    const auto end = std::min(count, static_cast<std::size_t>(std::max<std::ptrdiff_t>(candidate.location + candidate.length, 0)));
    if (isYear(candidate.value) || containsYearGroup(candidate))
        return true;
    if (isInPhoneNumber(candidate))
        return true;
    return (start > 0 && start <= count && characters_.is(start - 1, '/')) || (end < count && characters_.is(end, '/'));
}

bool CandidateFinder::containsYearGroup(const Candidate& candidate) const
{
    const std::size_t count = characters_.size();
    const auto start = std::min(count, static_cast<std::size_t>(std::max<std::ptrdiff_t>(candidate.location, 0)));
    const auto end = std::min(count, static_cast<std::size_t>(std::max<std::ptrdiff_t>(candidate.location + candidate.length, 0)));
    std::size_t pieces = 0;
    bool anyYear = false;
    for (std::size_t index = start; index < end;) {
        while (index < end && (characters_.is(index, ' ') || characters_.is(index, '-')))
            ++index;
        const std::size_t pieceStart = index;
        while (index < end && !(characters_.is(index, ' ') || characters_.is(index, '-')))
            ++index;
        if (index > pieceStart) {
            ++pieces;
            // A piece counts by its characters: a digit carrying a combining mark is a character of its own.
            anyYear = anyYear || isYear(characters_.slice(pieceStart, index));
        }
    }
    return pieces >= 2 && anyYear;
}

bool CandidateFinder::isPhoneCharacter(std::size_t index) const
{
    // Every scalar of the character must be one of these ASCII ones, and the only character of
    // several ASCII scalars is CR LF: so it is a single ASCII byte.
    const int byte = characters_.asciiAt(index);
    return byte == '+' || byte == '(' || byte == ')' || byte == '.' || byte == ' ' || byte == '-';
}

bool CandidateFinder::isInPhoneNumber(const Candidate& candidate)
{
    const std::size_t count = characters_.size();
    const auto start = std::min(count, static_cast<std::size_t>(std::max<std::ptrdiff_t>(candidate.location, 0)));
    const auto end = std::min(count, static_cast<std::size_t>(std::max<std::ptrdiff_t>(candidate.location + candidate.length, start)));
    const auto belongs = [this](std::size_t index) {
        return characters_.isASCIIDigit(index) || isPhoneCharacter(index);
    };
    const auto isPhone = [](const PhoneRun& run) {
        return run.digits >= phoneDigits && run.phoneCharacters >= phoneSeparators;
    };
    // A span made only of digits and phone characters extends to the whole run around it, which
    // may have been measured for an earlier candidate already.
    bool spanBelongs = start < end;
    for (std::size_t index = start; index < end && spanBelongs; ++index)
        spanBelongs = belongs(index);
    if (spanBelongs) {
        auto known = phoneRuns_.upper_bound(start);
        if (known != phoneRuns_.begin() && start < std::prev(known)->second.end)
            return isPhone(std::prev(known)->second);
    }

    std::size_t runStart = start;
    while (runStart > 0 && belongs(runStart - 1))
        --runStart;
    PhoneRun run;
    const auto tally = [&](std::size_t index) {
        if (characters_.isASCIIDigit(index))
            ++run.digits;
        else if (isPhoneCharacter(index))
            ++run.phoneCharacters;
    };
    for (std::size_t index = runStart; index < end; ++index)
        tally(index);
    run.end = end;
    while (run.end < count && belongs(run.end))
        tally(run.end++);
    if (spanBelongs && run.end > runStart)
        phoneRuns_.emplace(runStart, run);
    return isPhone(run);
}

} // namespace larkpin
