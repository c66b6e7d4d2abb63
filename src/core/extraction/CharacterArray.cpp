#include "core/extraction/CharacterArray.h"

#include "core/extraction/CharacterSegmenter.h"
#include "core/extraction/UnicodeSupport.h"

#include <algorithm>
#include <cstring>

namespace larkpin {
namespace {

    /// True when no byte is "\r" followed by "\n".
    bool hasNoCRLF(std::string_view text)
    {
        for (std::size_t at = text.find('\r'); at != std::string_view::npos; at = text.find('\r', at + 1))
            if (at + 1 < text.size() && text[at + 1] == '\n')
                return false;
        return true;
    }

    bool isASCIILetter(unsigned char byte) { return static_cast<unsigned char>((byte | 0x20) - 'a') < 26; }

    /// True when the texts have the same bytes except for the case of ASCII letters.
    bool differOnlyInASCIICase(std::string_view first, std::string_view second)
    {
        if (first.size() != second.size())
            return false;
        const auto sameExceptCase = [&](std::size_t from, std::size_t to) {
            for (std::size_t at = from; at < to; ++at) {
                const auto a = static_cast<unsigned char>(first[at]);
                const auto b = static_cast<unsigned char>(second[at]);
                if (a != b && !(isASCIILetter(a) && isASCIILetter(b) && (a | 0x20) == (b | 0x20)))
                    return false;
            }
            return true;
        };
        // Eight bytes at a time; only words that differ are looked at byte by byte.
        std::size_t at = 0;
        for (; at + 8 <= first.size(); at += 8)
            if (std::memcmp(first.data() + at, second.data() + at, 8) != 0 && !sameExceptCase(at, at + 8))
                return false;
        return sameExceptCase(at, first.size());
    }

} // namespace

CharacterArray::CharacterArray(std::string_view text)
    : text_(text)
    , identity_(UnicodeSupport::isASCII(text) && hasNoCRLF(text))
{
    if (identity_)
        return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    // Sized for the most characters there can be, filled through pointers, then cut to the count.
    starts_.resize(size + 1);
    ascii_.resize(size + 1);
    std::size_t* starts = starts_.data();
    unsigned char* ascii = ascii_.data();
    std::size_t count = 0;
    CharacterSegmenter segmenter(text);
    for (std::size_t offset = 0; offset < size;) {
        // A run of ASCII bytes other than CR, each followed by ASCII or the end, is a run of
        // one-byte characters: copied whole, without asking the segmenter.
        std::size_t end = offset;
        while (end < size && bytes[end] < 0x80 && bytes[end] != '\r')
            ++end;
        if (end < size && bytes[end] >= 0x80 && end > offset)
            --end; // may be joined to what follows
        if (end > offset) {
            std::memcpy(ascii + count, bytes + offset, end - offset);
            for (std::size_t at = offset; at < end; ++at)
                starts[count++] = at;
            offset = end;
            continue;
        }
        starts[count] = offset;
        if (bytes[offset] == '\r' && offset + 1 < size && bytes[offset + 1] < 0x80) {
            const bool crlf = bytes[offset + 1] == '\n';
            ascii[count++] = crlf ? 0x80 : '\r';
            offset += crlf ? 2 : 1;
            continue;
        }
        const std::size_t next = segmenter.next(offset);
        ascii[count++] = next == offset + 1 && bytes[offset] < 0x80 ? bytes[offset] : 0x80;
        offset = next;
    }
    starts[count] = size;
    starts_.resize(count + 1);
    ascii_.resize(count + 1);
    ascii_[count] = 0x80; // past the end: no character
}

CharacterArray CharacterArray::rebased(std::string_view text) const
{
    // ASCII letters of either case are characters of their own wherever they stand, and join nothing.
    if (!differOnlyInASCIICase(text_, text))
        return CharacterArray(text);
    CharacterArray result;
    result.text_ = text;
    result.identity_ = identity_;
    if (identity_)
        return result;
    result.starts_ = starts_;
    result.ascii_ = ascii_;
    for (std::size_t index = 0; index + 1 < starts_.size(); ++index)
        if (ascii_[index] < 0x80)
            result.ascii_[index] = static_cast<unsigned char>(text[starts_[index]]);
    return result;
}

std::size_t CharacterArray::prefixLength(std::string_view text, std::size_t count)
{
    if (text.size() <= count)
        return text.size();
    CharacterSegmenter segmenter(text);
    std::size_t offset = 0;
    for (std::size_t taken = 0; taken < count && offset < text.size(); ++taken)
        offset = segmenter.next(offset);
    return offset;
}

std::optional<std::size_t> CharacterArray::indexAtByteOffset(std::size_t offset) const
{
    if (identity_)
        return offset <= text_.size() ? std::optional<std::size_t>(offset) : std::nullopt;
    const auto found = std::lower_bound(starts_.begin(), starts_.end(), offset);
    if (found == starts_.end() || *found != offset)
        return std::nullopt;
    return static_cast<std::size_t>(found - starts_.begin());
}

} // namespace larkpin
