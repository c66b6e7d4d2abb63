#include "core/extraction/CharacterSegmenter.h"

#include "core/extraction/UnicodeSupport.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace larkpin {
namespace {

    const icu::BreakIterator& prototype()
    {
        // Built once and never iterated itself; every segmenter iterates a clone.
        static const std::unique_ptr<const icu::BreakIterator> instance = [] {
            UErrorCode status = U_ZERO_ERROR;
            std::unique_ptr<icu::BreakIterator> iterator(
                icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
            if (U_FAILURE(status) || !iterator)
                throw std::runtime_error("ICU character break iterator is unavailable");
            return std::unique_ptr<const icu::BreakIterator>(std::move(iterator));
        }();
        return *instance;
    }

} // namespace

CharacterSegmenter::CharacterSegmenter(std::string_view text) : text_(text) {}

CharacterSegmenter::~CharacterSegmenter()
{
    if (opened_)
        utext_close(&utext_);
}

std::size_t CharacterSegmenter::icuNext(std::size_t offset)
{
    // ICU's break iterator counts in 32 bits; beyond that (no real message comes close) every
    // scalar stands alone.
    if (offset >= static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()) - 8)
        return nextScalarBoundary(offset);
    if (!iterator_) {
        UErrorCode status = U_ZERO_ERROR;
        iterator_.reset(prototype().clone());
        utext_openUTF8(&utext_, text_.data(), static_cast<std::int64_t>(text_.size()), &status);
        opened_ = U_SUCCESS(status);
        if (iterator_ && opened_)
            iterator_->setText(&utext_, status);
        if (!iterator_ || U_FAILURE(status))
            iterator_.reset();
    }
    if (iterator_) {
        const std::int32_t boundary = iterator_->following(static_cast<std::int32_t>(offset));
        if (boundary != icu::BreakIterator::DONE && static_cast<std::size_t>(boundary) > offset)
            return static_cast<std::size_t>(boundary);
    }
    return nextScalarBoundary(offset); // only without a working ICU
}

std::size_t CharacterSegmenter::nextScalarBoundary(std::size_t offset) const
{
    do
        ++offset;
    while (offset < text_.size() && (static_cast<unsigned char>(text_[offset]) & 0xC0) == 0x80);
    return offset;
}

bool CharacterSegmenter::isStandaloneASCII(std::string_view text, std::size_t offset)
{
    const auto byte = static_cast<unsigned char>(text[offset]);
    if (offset + 1 < text.size()) {
        const auto following = static_cast<unsigned char>(text[offset + 1]);
        if (byte == '\r' && following == '\n')
            return false;
        if (following >= 0x80 && byte != '\r' && byte != '\n') {
            std::size_t next = offset + 1;
            const auto breakClass = u_getIntPropertyValue(
                static_cast<UChar32>(UnicodeSupport::nextScalar(text, next)), UCHAR_GRAPHEME_CLUSTER_BREAK);
            if (breakClass == U_GCB_EXTEND || breakClass == U_GCB_ZWJ || breakClass == U_GCB_SPACING_MARK)
                return false;
        }
    }
    if (offset > 0) {
        const auto previous = static_cast<unsigned char>(text[offset - 1]);
        if (byte == '\n' && previous == '\r')
            return false;
        if (previous >= 0x80 && byte != '\r' && byte != '\n') {
            std::size_t start = offset - 1;
            while (start > 0 && (static_cast<unsigned char>(text[start]) & 0xC0) == 0x80)
                --start;
            std::size_t scalarEnd = start;
            const auto scalar = UnicodeSupport::nextScalar(text, scalarEnd);
            if (u_getIntPropertyValue(static_cast<UChar32>(scalar), UCHAR_GRAPHEME_CLUSTER_BREAK) == U_GCB_PREPEND)
                return false;
        }
    }
    return true;
}

} // namespace larkpin
