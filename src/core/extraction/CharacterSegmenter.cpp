#include "core/extraction/CharacterSegmenter.h"

#include "core/extraction/UnicodeSupport.h"

#include <unicode/brkiter.h>
#include <unicode/uchar.h>
#include <unicode/uscript.h>
#include <unicode/uvernum.h>

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

    // The pairwise rules below are those of the ICU versions they were checked against; a later
    // version may add rules that look further, so it decides everything itself.
    constexpr bool pairwiseRulesHold = U_ICU_VERSION_MAJOR_NUM >= 64 && U_ICU_VERSION_MAJOR_NUM <= 74;

    enum class Join { no, yes, unknown };

    int breakClass(UChar32 scalar)
    {
        if (scalar < 0x80) {
            if (scalar == '\r')
                return U_GCB_CR;
            if (scalar == '\n')
                return U_GCB_LF;
            return scalar < 0x20 || scalar == 0x7F ? U_GCB_CONTROL : U_GCB_OTHER;
        }
        return u_getIntPropertyValue(scalar, UCHAR_GRAPHEME_CLUSTER_BREAK);
    }

    bool isControl(int breakClass)
    {
        return breakClass == U_GCB_CR || breakClass == U_GCB_LF || breakClass == U_GCB_CONTROL;
    }

    bool isHangul(int breakClass)
    {
        return breakClass == U_GCB_L || breakClass == U_GCB_V || breakClass == U_GCB_T || breakClass == U_GCB_LV ||
               breakClass == U_GCB_LVT;
    }

    /// The scripts whose conjuncts (consonant, virama, consonant) ICU keeps in one character.
    bool mayJoinAsConjunct(UChar32 scalar)
    {
        UErrorCode status = U_ZERO_ERROR;
        const UScriptCode script = uscript_getScript(scalar, &status);
        return U_FAILURE(status) || script == USCRIPT_DEVANAGARI || script == USCRIPT_BENGALI ||
               script == USCRIPT_GUJARATI || script == USCRIPT_ORIYA || script == USCRIPT_TELUGU ||
               script == USCRIPT_MALAYALAM;
    }

    /// Whether `next` continues the character that a scalar of `previousClass` is in.
    Join joins(int previousClass, UChar32 next, int nextClass)
    {
        if (previousClass == U_GCB_CR && nextClass == U_GCB_LF)
            return Join::yes;
        if (isControl(previousClass) || isControl(nextClass))
            return Join::no;
        if (isHangul(previousClass) || isHangul(nextClass))
            return Join::unknown;
        if (nextClass == U_GCB_EXTEND || nextClass == U_GCB_ZWJ || nextClass == U_GCB_SPACING_MARK ||
            previousClass == U_GCB_PREPEND)
            return Join::yes;
        if (previousClass == U_GCB_REGIONAL_INDICATOR && nextClass == U_GCB_REGIONAL_INDICATOR)
            return Join::unknown;
        if (previousClass == U_GCB_ZWJ && u_hasBinaryProperty(next, UCHAR_EXTENDED_PICTOGRAPHIC))
            return Join::unknown;
        if ((previousClass == U_GCB_EXTEND || previousClass == U_GCB_ZWJ) && next >= 0x80 && mayJoinAsConjunct(next))
            return Join::unknown;
        return Join::no;
    }

} // namespace

std::size_t CharacterSegmenter::pairwiseNext(std::size_t offset) const
{
    if constexpr (!pairwiseRulesHold)
        return 0;
    std::size_t at = offset;
    int previousClass = breakClass(static_cast<UChar32>(UnicodeSupport::nextScalar(text_, at)));
    while (at < text_.size()) {
        std::size_t after = at;
        const auto next = static_cast<UChar32>(UnicodeSupport::nextScalar(text_, after));
        const int nextClass = breakClass(next);
        switch (joins(previousClass, next, nextClass)) {
        case Join::no:
            return at;
        case Join::unknown:
            return 0;
        case Join::yes:
            break;
        }
        previousClass = nextClass;
        at = after;
    }
    return at;
}

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

bool CharacterSegmenter::isStandaloneASCIIAmongOthers(std::string_view text, std::size_t offset)
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
