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
/// CR LF); only around non-ASCII scalars is the segmenter asked. An ASCII text without CR LF needs
/// no table at all: character i is byte i. Otherwise a second table holds, per character, its byte
/// when it is a single ASCII byte and 0x80 when not, so that the classification the candidate walk
/// does on every character is one load.
class CharacterArray {
public:
    explicit CharacterArray(std::string_view text);

    CharacterArray(const CharacterArray&) = delete;
    CharacterArray& operator=(const CharacterArray&) = delete;
    CharacterArray(CharacterArray&&) = default;
    CharacterArray& operator=(CharacterArray&&) = default;

    /// The characters of `text`: this array's boundaries when `text` differs from this array's text
    /// only in the case of ASCII letters (as a lowercased copy mostly does), else segmented anew.
    CharacterArray rebased(std::string_view text) const;

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
        const unsigned char byte = asciiBytes()[index];
        return byte < 0x80 ? byte : -1;
    }

    /// True when character `index` is exactly the one ASCII character `ascii`.
    bool is(std::size_t index, char ascii) const { return asciiBytes()[index] == static_cast<unsigned char>(ascii); }
    bool isASCIIDigit(std::size_t index) const
    {
        return static_cast<unsigned char>(asciiBytes()[index] - '0') < 10;
    }
    bool isASCIILetter(std::size_t index) const
    {
        return static_cast<unsigned char>((asciiBytes()[index] | 0x20) - 'a') < 26;
    }

    /// The index of the character that starts at byte `offset`, or nothing when a character
    /// boundary does not fall there. The end of the text is index `size()`.
    std::optional<std::size_t> indexAtByteOffset(std::size_t offset) const;

    /// Per character (`size()` of them): its byte when it is a single ASCII byte, else a byte of
    /// 0x80 or above. For walks that classify every character.
    const unsigned char* asciiBytes() const
    {
        return identity_ ? reinterpret_cast<const unsigned char*>(text_.data()) : ascii_.data();
    }

private:
    CharacterArray() = default;

    std::string_view text_;
    bool identity_ = true;
    std::vector<std::size_t> starts_;   ///< start of every character, then the end; unused when identity_
    std::vector<unsigned char> ascii_; ///< see asciiBytes(); unused when identity_
};

} // namespace larkpin
