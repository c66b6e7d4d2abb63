#include "core/support/CharacterCount.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <memory>

namespace larkpin {

std::size_t characterCount(std::string_view utf8)
{
    // Codes are nearly always ASCII, where only CR LF joins two bytes into one character; the
    // break iterator (and loading its rules) is kept for everything else.
    if (std::all_of(utf8.begin(), utf8.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        std::size_t count = utf8.size();
        for (std::size_t i = 1; i < utf8.size(); ++i)
            if (utf8[i - 1] == '\r' && utf8[i] == '\n')
                --count;
        return count;
    }

    const auto text = icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<int32_t>(utf8.size())));
    UErrorCode status = U_ZERO_ERROR;
    const std::unique_ptr<icu::BreakIterator> characters(
        icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
    if (U_FAILURE(status) || !characters)
        return static_cast<std::size_t>(text.countChar32());
    characters->setText(text);
    std::size_t count = 0;
    characters->first();
    while (characters->next() != icu::BreakIterator::DONE)
        ++count;
    return count;
}

} // namespace larkpin
