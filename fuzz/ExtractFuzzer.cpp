// libFuzzer target: arbitrary bytes as subject, sender and both bodies of a message.

#include "FuzzInput.h"

#include "core/extraction/OTPExtractor.h"
#include "core/extraction/OTPExtractorInternals.h"
#include "core/extraction/UnicodeSupport.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using larkpin::OTPExtractor;
    const auto content = larkpin::fuzz::FuzzInput::decode(data, size);
    const OTPExtractor extractor(600);
    const auto first = extractor.extract(content);
    // Extraction is deterministic: the same message gives the same code and expiry.
    const auto second = extractor.extract(content);
    if (first.has_value() != second.has_value() ||
        (first && (first->value != second->value || first->issuer != second->issuer ||
                   first->expiresAt != second->expiresAt)))
        std::abort();

    // The steps on their own, on the repaired raw text rather than on prepared text.
    const std::string text = larkpin::UnicodeSupport::repairedUTF8(content.htmlText);
    (void)OTPExtractor::Internals::stripQuotedPlainText(text);
    const std::string normalized = OTPExtractor::Internals::normalized(text);
    for (const auto& candidate : OTPExtractor::Internals::candidates(text)) {
        (void)OTPExtractor::Internals::isFalsePositive(candidate, text);
        (void)OTPExtractor::Internals::score(candidate, content.subject.empty() ? normalized : text, text);
    }
    (void)OTPExtractor::Internals::inferredLifetime(text);
    return 0;
}
