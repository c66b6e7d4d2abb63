#pragma once

#include <cstddef>
#include <memory>
#include <string_view>

#include <unicode/brkiter.h>
#include <unicode/utext.h>

namespace larkpin {

/// Walks a text's user-perceived characters (extended grapheme clusters) from boundary to boundary.
///
/// Between two ASCII scalars the answer is local (a boundary, except inside CR LF); only where a
/// non-ASCII scalar is involved does ICU's character break iterator decide, created on first need.
/// The text must be valid UTF-8 and outlive the segmenter.
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
        return icuNext(offset);
    }

    /// True when the ASCII byte at `offset` is a character by itself: not preceded by a scalar that
    /// joins what follows (prepended concatenation marks) and not followed by one that joins what
    /// precedes (combining marks, joiners, spacing marks). Needs no segmentation of the rest.
    static bool isStandaloneASCII(std::string_view text, std::size_t offset);

private:
    std::size_t icuNext(std::size_t offset);
    std::size_t nextScalarBoundary(std::size_t offset) const;

    std::string_view text_;
    std::unique_ptr<icu::BreakIterator> iterator_;
    UText utext_ = UTEXT_INITIALIZER;
    bool opened_ = false;
};

} // namespace larkpin
