#pragma once

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

namespace larkpin {

/// A text seen as its user-perceived characters (extended grapheme clusters): a carriage return
/// followed by a line feed is one character, so is a letter with its combining marks.
///
/// The array is a view: it keeps the text's address, so the text must outlive it and stay unchanged.
/// The text must be valid UTF-8. ASCII runs are segmented by hand (every byte is a character except
/// CR LF); ICU's character break iterator decides only around non-ASCII scalars. An ASCII text
/// without carriage returns needs no table at all: character i is byte i.
class CharacterArray {
public:
    explicit CharacterArray(std::string_view text);

    /// The number of bytes taken by the first `count` characters of `text` (all of it when shorter).
    static std::size_t prefixLength(std::string_view text, std::size_t count);

    std::size_t size() const { return identity_ ? text_.size() : starts_.size() - 1; }
    bool empty() const { return text_.empty(); }
    std::string_view text() const { return text_; }

    std::size_t byteOffset(std::size_t index) const { return identity_ ? index : starts_[index]; }
    std::string_view operator[](std::size_t index) const
    {
        if (identity_)
            return text_.substr(index, 1);
        return text_.substr(starts_[index], starts_[index + 1] - starts_[index]);
    }
    /// Characters [from, to) as text.
    std::string_view slice(std::size_t from, std::size_t to) const
    {
        return text_.substr(byteOffset(from), byteOffset(to) - byteOffset(from));
    }

    /// The byte of character `index` when it is one ASCII character, else -1.
    int asciiAt(std::size_t index) const
    {
        if (identity_)
            return static_cast<unsigned char>(text_[index]);
        return starts_[index + 1] - starts_[index] == 1 && static_cast<unsigned char>(text_[starts_[index]]) < 0x80
                   ? static_cast<unsigned char>(text_[starts_[index]])
                   : -1;
    }

    /// True when character `index` is exactly the one ASCII character `ascii`.
    bool is(std::size_t index, char ascii) const { return asciiAt(index) == static_cast<unsigned char>(ascii); }
    bool isASCIIDigit(std::size_t index) const
    {
        const int byte = asciiAt(index);
        return byte >= '0' && byte <= '9';
    }
    bool isASCIILetter(std::size_t index) const
    {
        const int byte = asciiAt(index) | 0x20;
        return byte >= 'a' && byte <= 'z';
    }

    /// The index of the character that starts at byte `offset`, or nothing when a character
    /// boundary does not fall there. The end of the text is index `size()`.
    std::optional<std::size_t> indexAtByteOffset(std::size_t offset) const;

private:
    std::string_view text_;
    bool identity_;
    std::vector<std::size_t> starts_; ///< start of every character, then the end; unused when identity_
};

} // namespace larkpin
