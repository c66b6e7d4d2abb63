#include "core/extraction/CharacterArray.h"

#include "core/extraction/CharacterSegmenter.h"

#include <algorithm>
#include <limits>
#include <memory>
#include <stdexcept>

namespace larkpin {
CharacterArray::CharacterArray(std::string_view text)
    : text_(text)
    , identity_(std::all_of(text.begin(), text.end(), [](char byte) {
        return static_cast<unsigned char>(byte) < 0x80 && byte != '\r';
    }))
{
    if (identity_)
        return;
    starts_.reserve(text.size() + 1);
    CharacterSegmenter segmenter(text);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    for (std::size_t offset = 0; offset < size;) {
        // Runs of ASCII go without asking the segmenter.
        while (offset + 1 < size && bytes[offset] < 0x80 && bytes[offset + 1] < 0x80) {
            starts_.push_back(offset);
            offset += bytes[offset] == '\r' && bytes[offset + 1] == '\n' ? 2 : 1;
        }
        if (offset >= size)
            break;
        starts_.push_back(offset);
        offset = segmenter.next(offset);
    }
    starts_.push_back(size);
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
