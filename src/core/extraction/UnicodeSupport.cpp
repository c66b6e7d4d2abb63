#include "core/extraction/UnicodeSupport.h"

#include "core/support/Utf8.h"

#include <unicode/bytestream.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstring>

namespace larkpin {

bool UnicodeSupport::isValidUTF8(std::string_view bytes) { return Utf8::isValid(bytes); }

std::string UnicodeSupport::repairedUTF8(std::string_view bytes)
{
    // Almost every text is valid already (most of it ASCII, checked a word at a time) and comes
    // back as it is.
    if (isASCII(bytes) || isValidUTF8(bytes))
        return std::string(bytes);

    std::string repaired;
    repaired.reserve(bytes.size() + 16);
    for (std::size_t offset = 0; offset < bytes.size();) {
        const std::size_t begin = offset;
        if (decodeNext(bytes, offset) < 0)
            appendScalar(repaired, 0xFFFD);
        else
            repaired.append(bytes.substr(begin, offset - begin));
    }
    return repaired;
}

std::int32_t UnicodeSupport::decodeNext(std::string_view text, std::size_t& offset)
{
    // A window of at most four bytes keeps the index in range for texts of any size; U8_NEXT never
    // reads beyond it and consumes one maximal ill-formed subpart at a time.
    const auto* data = reinterpret_cast<const std::uint8_t*>(text.data()) + offset;
    const auto window = static_cast<std::int32_t>(std::min<std::size_t>(text.size() - offset, 4));
    std::int32_t position = 0;
    UChar32 scalar;
    U8_NEXT(data, position, window, scalar);
    offset += static_cast<std::size_t>(position);
    return scalar;
}

bool UnicodeSupport::isASCII(std::string_view text)
{
    // Words at a time: every text is checked, most are ASCII, and some are 200,000 bytes long.
    constexpr std::uint64_t highBits = 0x8080808080808080;
    const char* data = text.data();
    const std::size_t size = text.size();
    std::size_t at = 0;
    for (; at + 64 <= size; at += 64) {
        std::uint64_t block[8];
        std::memcpy(block, data + at, sizeof block);
        if (((block[0] | block[1] | block[2] | block[3] | block[4] | block[5] | block[6] | block[7]) & highBits) != 0)
            return false;
    }
    for (; at + 8 <= size; at += 8) {
        std::uint64_t word;
        std::memcpy(&word, data + at, sizeof word);
        if ((word & highBits) != 0)
            return false;
    }
    for (; at < size; ++at)
        if (static_cast<unsigned char>(data[at]) >= 0x80)
            return false;
    return true;
}

std::string UnicodeSupport::nfkc(std::string_view text)
{
    if (isASCII(text))
        return std::string(text);
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* normalizer = icu::Normalizer2::getNFKCInstance(status);
    if (U_FAILURE(status))
        return std::string(text);
    std::string result;
    icu::StringByteSink<std::string> sink(&result, static_cast<std::int32_t>(text.size()));
    normalizer->normalizeUTF8(0, icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())), sink,
                              nullptr, status);
    return U_SUCCESS(status) ? result : std::string(text);
}

namespace {

    /// Eight ASCII bytes with their capitals made small: a byte's high bit marks it as at least "A"
    /// and not above "Z", and moved down it is the 0x20 that makes it small.
    std::uint64_t lowercasedWord(std::uint64_t word)
    {
        constexpr std::uint64_t ones = 0x0101010101010101;
        const std::uint64_t atLeastA = word + ones * (0x80 - 'A');
        const std::uint64_t aboveZ = word + ones * (0x80 - 'Z' - 1);
        return word | ((atLeastA & ~aboveZ & ones * 0x80) >> 2);
    }

} // namespace

std::string UnicodeSupport::lowercased(std::string_view text)
{
    // Most text is ASCII, or has only non-ASCII scalars without case (punctuation, CJK, marks):
    // then lowercasing is the ASCII table alone. Root lowercasing maps a scalar to something other
    // than its simple lowercase only for U+0130 and, depending on its context, for U+03A3; both have
    // a simple lowercase other than themselves. So a scalar whose simple lowercase is itself stays
    // unchanged in any context, and one pass both checks that and lowercases the rest.
    std::string result(text.size(), '\0');
    const char* from = text.data();
    char* to = result.data();
    for (std::size_t offset = 0; offset < text.size();) {
        if (offset + 8 <= text.size()) {
            std::uint64_t word;
            std::memcpy(&word, from + offset, sizeof word);
            if ((word & 0x8080808080808080) == 0) {
                word = lowercasedWord(word);
                std::memcpy(to + offset, &word, sizeof word);
                offset += 8;
                continue;
            }
        }
        const char byte = from[offset];
        if (static_cast<unsigned char>(byte) < 0x80) {
            to[offset++] = byte >= 'A' && byte <= 'Z' ? static_cast<char>(byte - 'A' + 'a') : byte;
            continue;
        }
        const std::size_t start = offset;
        const auto scalar = static_cast<UChar32>(nextScalar(text, offset));
        if (u_tolower(scalar) != scalar)
            return lowercasedByICU(text);
        std::memcpy(to + start, from + start, offset - start);
    }
    return result;
}

std::string UnicodeSupport::lowercasedByICU(std::string_view text)
{
    auto unicode = icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())));
    unicode.toLower(icu::Locale::getRoot());
    std::string result;
    unicode.toUTF8String(result);
    return result;
}

bool UnicodeSupport::equalsIgnoringCase(std::string_view character, char lowercaseASCII)
{
    if (character.size() == 1) {
        char byte = character[0];
        if (byte >= 'A' && byte <= 'Z')
            byte = static_cast<char>(byte - 'A' + 'a');
        return byte == lowercaseASCII;
    }
    // Folding never empties a scalar, so a character of several scalars cannot fold to one.
    if (!isSingleScalar(character))
        return false;
    return u_foldCase(static_cast<UChar32>(firstScalar(character)), U_FOLD_CASE_DEFAULT) ==
           static_cast<UChar32>(lowercaseASCII);
}

bool UnicodeSupport::isWhiteSpace(char32_t scalar)
{
    if (scalar < 0x80)
        return (scalar >= 0x09 && scalar <= 0x0D) || scalar == 0x20;
    if (scalar == 0x85)
        return true;
    const auto type = u_charType(static_cast<UChar32>(scalar));
    return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
}

bool UnicodeSupport::isHorizontalWhiteSpace(char32_t scalar)
{
    if (scalar < 0x80)
        return scalar == 0x09 || scalar == 0x20;
    return u_charType(static_cast<UChar32>(scalar)) == U_SPACE_SEPARATOR;
}

bool UnicodeSupport::isInvisible(char32_t scalar)
{
    return scalar == 0x200B || scalar == 0x200C || scalar == 0x200D || scalar == 0x2060 || scalar == 0xFEFF;
}

bool UnicodeSupport::isDash(char32_t scalar)
{
    return (scalar >= 0x2010 && scalar <= 0x2015) || scalar == 0x2212 || scalar == 0xFE58 || scalar == 0xFE63 ||
           scalar == 0xFF0D;
}

int UnicodeSupport::digitValue(char32_t scalar)
{
    if (scalar < 0x80)
        return scalar >= '0' && scalar <= '9' ? static_cast<int>(scalar - '0') : -1;
    const double value = u_getNumericValue(static_cast<UChar32>(scalar));
    if (value == U_NO_NUMERIC_VALUE || value < 0 || value > 9)
        return -1;
    const int whole = static_cast<int>(value);
    return whole == value ? whole : -1;
}

bool UnicodeSupport::isNumeric(char32_t scalar)
{
    if (scalar < 0x80)
        return scalar >= '0' && scalar <= '9';
    return u_getIntPropertyValue(static_cast<UChar32>(scalar), UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

char32_t UnicodeSupport::nextScalar(std::string_view text, std::size_t& offset)
{
    if (static_cast<unsigned char>(text[offset]) < 0x80)
        return static_cast<unsigned char>(text[offset++]);
    const std::int32_t scalar = decodeNext(text, offset);
    return scalar < 0 ? U'\uFFFD' : static_cast<char32_t>(scalar);
}

bool UnicodeSupport::isSingleScalar(std::string_view character)
{
    if (character.empty())
        return false;
    std::size_t offset = 0;
    nextScalar(character, offset);
    return offset == character.size();
}

char32_t UnicodeSupport::firstScalar(std::string_view character)
{
    std::size_t offset = 0;
    return character.empty() ? U'\0' : nextScalar(character, offset);
}

void UnicodeSupport::appendScalar(std::string& text, char32_t scalar)
{
    if (scalar < 0x80) {
        text.push_back(static_cast<char>(scalar));
        return;
    }
    std::uint8_t buffer[4];
    std::int32_t length = 0;
    UBool error = false;
    U8_APPEND(buffer, length, 4, static_cast<UChar32>(scalar), error);
    if (error) {
        appendScalar(text, 0xFFFD);
        return;
    }
    text.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(length));
}

} // namespace larkpin
