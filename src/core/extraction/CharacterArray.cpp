#include "core/extraction/CharacterArray.h"

#include <unicode/brkiter.h>
#include <unicode/utext.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <stdexcept>

namespace larkpin {
namespace {

    /// Finds character boundaries; ASCII is decided locally, everything else asks ICU.
    class Segmenter {
    public:
        explicit Segmenter(std::string_view text) : text_(text) {}
        ~Segmenter()
        {
            if (opened_)
                utext_close(&utext_);
        }
        Segmenter(const Segmenter&) = delete;
        Segmenter& operator=(const Segmenter&) = delete;

        /// The boundary after the one at `offset` (which must be a boundary).
        std::size_t next(std::size_t offset)
        {
            const auto byte = static_cast<unsigned char>(text_[offset]);
            if (byte < 0x80) {
                if (offset + 1 == text_.size())
                    return offset + 1;
                const auto following = static_cast<unsigned char>(text_[offset + 1]);
                // A non-ASCII scalar after an ASCII one may extend its cluster (combining marks,
                // joiners, spacing marks): only ICU knows.
                if (following < 0x80)
                    return byte == '\r' && following == '\n' ? offset + 2 : offset + 1;
            }
            return icuNext(offset);
        }

    private:
        std::size_t icuNext(std::size_t offset)
        {
            // ICU's break iterator counts in 32 bits; beyond that (no real message comes close)
            // every scalar stands alone.
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

        std::size_t nextScalarBoundary(std::size_t offset) const
        {
            do
                ++offset;
            while (offset < text_.size() && (static_cast<unsigned char>(text_[offset]) & 0xC0) == 0x80);
            return offset;
        }

        static const icu::BreakIterator& prototype()
        {
            // Built once and never iterated itself; every segmentation iterates a clone.
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

        std::string_view text_;
        std::unique_ptr<icu::BreakIterator> iterator_;
        UText utext_ = UTEXT_INITIALIZER;
        bool opened_ = false;
    };

} // namespace

CharacterArray::CharacterArray(std::string_view text)
    : text_(text)
    , identity_(std::all_of(text.begin(), text.end(), [](char byte) {
        return static_cast<unsigned char>(byte) < 0x80 && byte != '\r';
    }))
{
    if (identity_)
        return;
    starts_.reserve(text.size() + 1);
    starts_.push_back(0);
    Segmenter segmenter(text);
    for (std::size_t offset = 0; offset < text.size();) {
        offset = segmenter.next(offset);
        starts_.push_back(offset);
    }
}

std::size_t CharacterArray::prefixLength(std::string_view text, std::size_t count)
{
    if (text.size() <= count)
        return text.size();
    Segmenter segmenter(text);
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
