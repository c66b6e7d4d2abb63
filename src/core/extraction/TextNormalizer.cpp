#include "core/extraction/TextNormalizer.h"

#include "core/extraction/CharacterArray.h"
#include "core/extraction/CharacterSegmenter.h"
#include "core/extraction/UnicodeSupport.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <array>
#include <charconv>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

namespace larkpin {
namespace {

    constexpr std::size_t maximumEntityDistance = 10; ///< characters from "&" to ";"

    std::optional<std::uint32_t> parseNumber(std::string_view digits, int base)
    {
        if (digits.empty())
            return std::nullopt;
        std::uint32_t value = 0;
        const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
        // from_chars accepts a leading "-" for no unsigned type, but it does accept nothing else either:
        // the whole text must be digits of the base.
        if (error != std::errc() || end != digits.data() + digits.size())
            return std::nullopt;
        return value;
    }

    /// The replacement of an entity body (the text between "&" and ";", only ASCII letters, digits
    /// and "#" as decodeEntities passes it), or nothing when it is not one.
    std::optional<std::string> entityReplacement(std::string_view body)
    {
        std::optional<std::uint32_t> number;
        if (body.size() >= 2 && body[0] == '#' && (body[1] == 'x' || body[1] == 'X'))
            number = parseNumber(body.substr(2), 16);
        else if (!body.empty() && body[0] == '#')
            number = parseNumber(body.substr(1), 10);
        else {
            // An ASCII name: lowercasing it is the ASCII table.
            static constexpr std::array<std::pair<std::string_view, std::string_view>, 6> names{{
                {"amp", "&"}, {"lt", "<"}, {"gt", ">"}, {"quot", "\""}, {"apos", "'"}, {"nbsp", " "},
            }};
            const auto lowercase = [](char byte) {
                return byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
            };
            const auto isNamed = [body, lowercase](std::string_view entity) {
                return body.size() == entity.size() &&
                       std::equal(body.begin(), body.end(), entity.begin(),
                                  [lowercase](char written, char name) { return lowercase(written) == name; });
            };
            for (const auto& [entity, replacement] : names)
                if (isNamed(entity))
                    return std::string(replacement);
            return std::nullopt;
        }
        if (!number || *number > 0x10FFFF || (*number >= 0xD800 && *number <= 0xDFFF))
            return std::nullopt;
        std::string scalar;
        UnicodeSupport::appendScalar(scalar, *number);
        return scalar;
    }

    /// True when the characters of `chars` from `index` on spell `marker` (ASCII, lower case) ignoring case.
    bool matchesIgnoringCase(const CharacterArray& chars, std::size_t index, std::string_view marker)
    {
        if (index + marker.size() > chars.size())
            return false;
        for (std::size_t k = 0; k < marker.size(); ++k)
            if (!UnicodeSupport::equalsIgnoringCase(chars[index + k], marker[k]))
                return false;
        return true;
    }

    /// Index of the first occurrence of `marker` that begins in [from, limit - marker length].
    std::optional<std::size_t> findIgnoringCase(const CharacterArray& chars, std::string_view marker,
                                                std::size_t from, std::size_t limit)
    {
        for (std::size_t index = from; index + marker.size() <= limit; ++index)
            if (matchesIgnoringCase(chars, index, marker))
                return index;
        return std::nullopt;
    }

    /// Index of the first occurrence of a marker that begins with a line feed: only a line-feed
    /// byte can start one, and only when it is a character of its own (not the end of CR LF).
    std::optional<std::size_t> findLineMarker(const CharacterArray& chars, std::string_view marker)
    {
        const std::string_view text = chars.text();
        for (std::size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1)) {
            const auto index = chars.indexAtByteOffset(at);
            if (index && chars.is(*index, '\n') && matchesIgnoringCase(chars, *index, marker))
                return index;
        }
        return std::nullopt;
    }

} // namespace

// Entities and tags are found byte by byte: "&", ";", "<" and ">" are ASCII, and one of them is a
// character of its own unless a joining scalar sits next to it, which isStandaloneASCII tells from
// its two neighbours. Everything else is copied (or dropped) byte for byte, which treats every
// character as a whole because nothing changes state inside one.

std::string TextNormalizer::decodeEntities(std::string_view text)
{
    std::size_t ampersand = text.find('&');
    if (ampersand == std::string_view::npos)
        return std::string(text);
    const auto isEntityByte = [](char byte) {
        return (byte >= '0' && byte <= '9') || (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || byte == '#';
    };
    std::string result;
    result.reserve(text.size());
    std::size_t copiedUpTo = 0;
    for (; ampersand != std::string_view::npos; ampersand = text.find('&', copiedUpTo)) {
        result.append(text.substr(copiedUpTo, ampersand - copiedUpTo));
        copiedUpTo = ampersand + 1;
        result.push_back('&');
        if (!CharacterSegmenter::isStandaloneASCII(text, ampersand))
            continue;
        // Every accepted body is ASCII letters, digits and "#", one character per byte; any other
        // byte before the ";" means the entity cannot be accepted, and so does a ";" beyond reach.
        std::size_t semicolon = ampersand + 1;
        while (semicolon < text.size() && semicolon - ampersand <= maximumEntityDistance && isEntityByte(text[semicolon]))
            ++semicolon;
        if (semicolon >= text.size() || semicolon - ampersand > maximumEntityDistance || text[semicolon] != ';' ||
            !CharacterSegmenter::isStandaloneASCII(text, semicolon))
            continue;
        if (const auto replacement = entityReplacement(text.substr(ampersand + 1, semicolon - ampersand - 1))) {
            result.pop_back();
            result.append(*replacement);
            copiedUpTo = semicolon + 1;
        }
    }
    result.append(text.substr(copiedUpTo));
    return result;
}

std::string TextNormalizer::stripTags(std::string_view text)
{
    std::string result;
    result.reserve(text.size());
    std::size_t copiedUpTo = 0;
    // Outside a tag only "<" changes anything (">" is kept as it is); inside one, everything up to
    // the next "<" or ">" is dropped.
    for (std::size_t at = text.find('<'); at != std::string_view::npos;) {
        if (!CharacterSegmenter::isStandaloneASCII(text, at)) {
            at = text.find('<', at + 1);
            continue;
        }
        result.append(text.substr(copiedUpTo, at - copiedUpTo));
        result.push_back(' ');
        std::size_t inside = at + 1;
        for (;;) {
            const std::size_t greater = text.find('>', inside);
            const std::size_t less = text.substr(0, greater).find('<', inside);
            const std::size_t next = std::min(greater, less);
            if (next == std::string_view::npos) {
                inside = text.size(); // an unterminated tag swallows the rest
                break;
            }
            inside = next + 1;
            if (!CharacterSegmenter::isStandaloneASCII(text, next))
                continue;
            result.push_back(' ');
            if (next == greater)
                break;
        }
        copiedUpTo = inside;
        at = inside < text.size() ? text.find('<', inside) : std::string_view::npos;
    }
    result.append(text.substr(std::min(copiedUpTo, text.size())));
    return result;
}

namespace {

    /// ASCII bytes that normalisation copies as they are: everything but white space.
    constexpr std::array<bool, 256> plainASCII = [] {
        std::array<bool, 256> table{};
        for (int byte = 0; byte < 0x80; ++byte)
            table[static_cast<std::size_t>(byte)] = !((byte >= 0x09 && byte <= 0x0D) || byte == ' ');
        return table;
    }();

    constexpr bool isASCIIWhiteSpace(unsigned char byte) { return (byte >= 0x09 && byte <= 0x0D) || byte == ' '; }

} // namespace

std::string TextNormalizer::normalized(std::string_view text)
{
    // Each preparing step is skipped when it cannot change anything, which saves its copy.
    std::string composed, decoded, stripped;
    std::string_view prepared = text;
    if (!UnicodeSupport::isASCII(prepared))
        prepared = composed = UnicodeSupport::nfkc(prepared);
    if (prepared.find('&') != std::string_view::npos)
        prepared = decoded = decodeEntities(decodeEntities(prepared));
    if (prepared.find('<') != std::string_view::npos)
        prepared = stripped = stripTags(prepared);

    const auto* bytes = reinterpret_cast<const unsigned char*>(prepared.data());
    const std::size_t size = prepared.size();
    if (UnicodeSupport::isASCII(prepared)) {
        // Most mail: every character is one byte, nothing is invisible, a dash or a foreign digit,
        // so runs of white space become one space and the ends are trimmed, in one pass.
        std::string result;
        result.reserve(size);
        bool spaceDue = false;
        for (std::size_t offset = 0; offset < size; ++offset) {
            if (isASCIIWhiteSpace(bytes[offset])) {
                spaceDue = !result.empty();
                continue;
            }
            if (spaceDue)
                result.push_back(' ');
            spaceDue = false;
            result.push_back(static_cast<char>(bytes[offset]));
        }
        return result;
    }
    CharacterSegmenter segmenter(prepared);
    std::string result;
    result.reserve(size);
    bool lastWasCollapsedSpace = false;
    const auto appendSpace = [&] {
        if (!lastWasCollapsedSpace)
            result.push_back(' ');
        lastWasCollapsedSpace = true;
    };
    for (std::size_t offset = 0; offset < size;) {
        // A run of ASCII characters other than white space is copied as it is (no invisible
        // characters or dashes among them, and digits stay), and a run of ASCII white space becomes
        // one space. An ASCII byte right before a non-ASCII one may be joined to it and is left to
        // the segmenter below.
        std::size_t end = offset;
        while (end < size && plainASCII[bytes[end]])
            ++end;
        if (end < size && bytes[end] >= 0x80 && end > offset)
            --end;
        if (end > offset) {
            result.append(prepared.substr(offset, end - offset));
            lastWasCollapsedSpace = false;
            offset = end;
            continue;
        }
        while (end < size && isASCIIWhiteSpace(bytes[end]))
            ++end;
        if (end < size && bytes[end] >= 0x80 && end > offset) {
            --end;
            if (end > offset && bytes[end] == '\n' && bytes[end - 1] == '\r')
                --end; // CR LF is one character
        }
        if (end > offset) {
            appendSpace();
            offset = end;
            continue;
        }

        const std::size_t next = segmenter.next(offset);
        const std::string_view character = prepared.substr(offset, next - offset);
        offset = next;
        if (UnicodeSupport::everyScalar(character, UnicodeSupport::isWhiteSpace)) {
            appendSpace();
            continue;
        }
        if (UnicodeSupport::everyScalar(character, UnicodeSupport::isInvisible))
            continue;
        lastWasCollapsedSpace = false;
        if (UnicodeSupport::isSingleScalar(character)) {
            if (const int digit = UnicodeSupport::digitValue(UnicodeSupport::firstScalar(character)); digit >= 0) {
                result.push_back(static_cast<char>('0' + digit));
                continue;
            }
        }
        if (UnicodeSupport::everyScalar(character, UnicodeSupport::isDash))
            result.push_back('-');
        else
            result.append(character);
    }

    // The only all-white-space characters left are the single spaces written above; a space joined
    // to a combining mark or a prepended mark is part of another character and stays.
    std::size_t last = result.size();
    while (last > 0 && result[last - 1] == ' ' && CharacterSegmenter::isStandaloneASCII(result, last - 1))
        --last;
    result.resize(last);
    std::size_t first = 0;
    while (first < result.size() && result[first] == ' ' && CharacterSegmenter::isStandaloneASCII(result, first))
        ++first;
    result.erase(0, first);
    return result;
}

std::string TextNormalizer::stripQuotedPlainText(std::string_view text)
{
    if (text.find('>') == std::string_view::npos && text.find('\n') == std::string_view::npos)
        return std::string(text); // one line, not quoted, no marker
    // Mail bodies end their lines with CR LF, which is one character and so never equals the line
    // feed that markers and quoted lines are recognised by. Read it as a line feed: it is one
    // character either way, so no position or count changes, and normalisation makes both a space.
    std::string unixLines;
    if (text.find("\r\n") != std::string_view::npos) {
        unixLines.reserve(text.size());
        for (std::size_t i = 0; i < text.size(); ++i)
            if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
                unixLines.push_back(text[i]);
        text = unixLines;
    }
    const CharacterArray chars(text);
    std::optional<std::size_t> cut;
    const auto consider = [&cut](std::size_t position) {
        if (!cut || position < *cut)
            cut = position;
    };
    for (const std::string_view marker : {std::string_view("\n-----original message-----"), std::string_view("\nfrom:")})
        if (const auto found = findLineMarker(chars, marker))
            consider(*found);
    // Only the first "\nOn " counts, and only when "wrote:" follows within 300 characters of its start.
    if (const auto on = findLineMarker(chars, "\non ")) {
        const std::size_t windowEnd = std::min(chars.size(), *on + 300);
        if (findIgnoringCase(chars, "wrote:", *on, windowEnd))
            consider(*on);
    }
    const std::size_t end = cut.value_or(chars.size());

    std::string result;
    result.reserve(chars.byteOffset(end));
    bool firstLine = true;
    for (std::size_t lineStart = 0;;) {
        std::size_t lineEnd = lineStart;
        while (lineEnd < end && !chars.is(lineEnd, '\n'))
            ++lineEnd;
        std::size_t firstVisible = lineStart;
        while (firstVisible < lineEnd &&
               UnicodeSupport::everyScalar(chars[firstVisible], UnicodeSupport::isHorizontalWhiteSpace))
            ++firstVisible;
        const bool quoted = firstVisible < lineEnd && chars.is(firstVisible, '>');
        if (!quoted) {
            if (!firstLine)
                result.push_back('\n');
            result.append(chars.slice(lineStart, lineEnd));
            firstLine = false;
        }
        if (lineEnd >= end)
            break;
        lineStart = lineEnd + 1;
    }
    return result;
}

namespace {

    const icu::RegexPattern& blockQuotePattern()
    {
        static const std::unique_ptr<const icu::RegexPattern> pattern = [] {
            UErrorCode status = U_ZERO_ERROR;
            std::unique_ptr<icu::RegexPattern> compiled(icu::RegexPattern::compile(
                icu::UnicodeString::fromUTF8("(?is)<blockquote\\b[^>]*>.*?<\\/blockquote>"), 0, status));
            if (U_FAILURE(status) || !compiled)
                throw std::logic_error("the block-quote pattern does not compile");
            return std::unique_ptr<const icu::RegexPattern>(std::move(compiled));
        }();
        return *pattern;
    }

    /// Case-insensitive match of an ASCII word in UTF-16 the way ICU's case-insensitive literals
    /// match it: ASCII letters in either case, and the Kelvin sign for "k" (the only other scalar
    /// whose case folding lands in "<blockquote>" or "</blockquote>").
    bool matchesLiteral(const icu::UnicodeString& text, std::int32_t at, std::string_view word)
    {
        if (at + static_cast<std::int32_t>(word.size()) > text.length())
            return false;
        for (std::size_t k = 0; k < word.size(); ++k) {
            char16_t unit = text.charAt(at + static_cast<std::int32_t>(k));
            if (unit >= u'A' && unit <= u'Z')
                unit = static_cast<char16_t>(unit - u'A' + u'a');
            if (unit == u'\u212A')
                unit = u'k';
            if (unit != static_cast<char16_t>(word[k]))
                return false;
        }
        return true;
    }

    /// True when the ASCII letters "quote" occur in any case: every block quote contains them.
    bool mayHoldBlockQuote(std::string_view html)
    {
        // Each case of "q" on its own: memchr finds the few there are much faster than a set search.
        for (const char q : {'q', 'Q'}) {
            for (std::size_t at = html.find(q); at != std::string_view::npos && at + 5 <= html.size();
                 at = html.find(q, at + 1)) {
                bool matches = true;
                for (std::size_t k = 1; k < 5 && matches; ++k)
                    matches = (html[at + k] | 0x20) == "quote"[k];
                if (matches)
                    return true;
            }
        }
        return false;
    }

} // namespace

std::string TextNormalizer::removeBlockQuotes(std::string_view html)
{
    if (!mayHoldBlockQuote(html))
        return std::string(html);
    const auto text = icu::UnicodeString::fromUTF8(icu::StringPiece(html.data(), static_cast<std::int32_t>(html.size())));
    const std::int32_t length = text.length();

    // A lazy regular-expression search restarted at every "<blockquote" would rescan to the end of
    // the text for each opening without a closing tag. So the openings, the next ">" and the closing
    // tags are located in one pass each, and the pattern itself only confirms a match on the exact
    // stretch it can cover, which keeps the whole removal linear.
    std::vector<std::int32_t> closings; // starts of "</blockquote>", ascending
    for (std::int32_t at = text.indexOf(u'<'); at >= 0; at = text.indexOf(u'<', at + 1))
        if (matchesLiteral(text, at, "</blockquote>"))
            closings.push_back(at);
    if (closings.empty())
        return std::string(html);
    std::vector<std::int32_t> nextGreater(static_cast<std::size_t>(length) + 1, -1);
    for (std::int32_t at = length - 1; at >= 0; --at)
        nextGreater[static_cast<std::size_t>(at)] = text.charAt(at) == u'>' ? at : nextGreater[static_cast<std::size_t>(at) + 1];

    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<icu::RegexMatcher> matcher(blockQuotePattern().matcher(text, status));
    if (U_FAILURE(status))
        return std::string(html);
    matcher->useTransparentBounds(true);
    matcher->useAnchoringBounds(false);

    icu::UnicodeString result;
    std::int32_t copiedUpTo = 0;
    constexpr std::int32_t openingLength = 11; // "<blockquote"
    for (std::int32_t at = text.indexOf(u'<'); at >= 0 && at < length; at = text.indexOf(u'<', at + 1)) {
        if (!matchesLiteral(text, at, "<blockquote") || at + openingLength >= length)
            continue;
        const std::int32_t greater = nextGreater[static_cast<std::size_t>(at + openingLength)];
        if (greater < 0)
            break; // no later opening can be closed either
        const auto closing = std::lower_bound(closings.begin(), closings.end(), greater + 1);
        if (closing == closings.end())
            break;
        const std::int32_t end = *closing + 13;
        matcher->region(at, end, status);
        if (U_FAILURE(status))
            break;
        if (!matcher->lookingAt(status) || U_FAILURE(status)) {
            status = U_ZERO_ERROR;
            continue; // the word boundary after "blockquote" did not hold
        }
        const std::int32_t matchEnd = matcher->end(status);
        result.append(text, copiedUpTo, at - copiedUpTo);
        result.append(u' ');
        copiedUpTo = matchEnd;
        at = matchEnd - 1;
    }
    if (copiedUpTo == 0)
        return std::string(html);
    result.append(text, copiedUpTo, length - copiedUpTo);
    std::string converted;
    result.toUTF8String(converted);
    return converted;
}

} // namespace larkpin
