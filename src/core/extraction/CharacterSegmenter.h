#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include <unicode/brkiter.h>
#include <unicode/utext.h>

namespace larkpin {

/// Walks a text's user-perceived characters (extended grapheme clusters) from boundary to boundary.
///
/// Between two ASCII scalars the answer is local (a boundary, except inside CR LF). Around
/// non-ASCII scalars the rules that look at two neighbouring scalars alone (controls, marks,
/// spacing marks, prepended marks) are applied from their break classes; what needs more context
/// (Hangul syllables, emoji joined by U+200D, regional-indicator pairs, Indic conjuncts) is left to
/// ICU's character break iterator, created on first need. The text must be valid UTF-8 and outlive
/// the segmenter.
class CharacterSegmenter {
public:
    explicit CharacterSegmenter(std::string_view text);
    ~CharacterSegmenter();
    CharacterSegmenter(const CharacterSegmenter&) = delete;
    CharacterSegmenter& operator=(const CharacterSegmenter&) = delete;

    /// The boundary after the one at `offset`, which must be a boundary before the end.
    std::size_t next(std::size_t offset)
    {
        const auto byte = static_cast<unsigned char>(text_[offset]);
        if (byte < 0x80) {
            if (offset + 1 == text_.size())
                return offset + 1;
            const auto following = static_cast<unsigned char>(text_[offset + 1]);
            if (following < 0x80)
                return byte == '\r' && following == '\n' ? offset + 2 : offset + 1;
        }
        if (const std::size_t boundary = pairwiseNext(offset))
            return boundary;
        return icuNext(offset);
    }

    /// True when the ASCII byte at `offset` is a character by itself: not preceded by a scalar that
    /// joins what follows (prepended concatenation marks) and not followed by one that joins what
    /// precedes (combining marks, joiners, spacing marks). Needs no segmentation of the rest.
    static bool isStandaloneASCII(std::string_view text, std::size_t offset)
    {
        // Between ASCII neighbours only CR LF joins.
        const auto byte = static_cast<unsigned char>(text[offset]);
        const bool asciiAfter = offset + 1 >= text.size() || static_cast<unsigned char>(text[offset + 1]) < 0x80;
        const bool asciiBefore = offset == 0 || static_cast<unsigned char>(text[offset - 1]) < 0x80;
        if (byte != '\r' && byte != '\n' && asciiAfter && asciiBefore)
            return true;
        return isStandaloneASCIIAmongOthers(text, offset);
    }

private:
    static bool isStandaloneASCIIAmongOthers(std::string_view text, std::size_t offset);
    /// The next boundary by the rules between two scalars, or 0 when they cannot tell.
    std::size_t pairwiseNext(std::size_t offset) const;
    std::size_t icuNext(std::size_t offset);
    std::size_t nextScalarBoundary(std::size_t offset) const;

    std::string_view text_;
    std::unique_ptr<icu::BreakIterator> iterator_;
    UText utext_ = UTEXT_INITIALIZER;
    bool opened_ = false;
};

} // namespace larkpin
