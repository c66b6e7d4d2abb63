#pragma once

#include "core/models/EmailContent.h"
#include "core/models/OTPCode.h"

#include <optional>

namespace larkpin {

/// Finds the one-time code in a message, with who issued it and when it stops being valid.
///
/// A plain value: the only state is the fallback lifetime, so one extractor may serve any number
/// of threads. Extraction is deterministic (only the new code's id differs between calls), never
/// fails, and takes time linear in the size of the message; bodies are cut to their first 200,000
/// characters. Bytes that are not valid UTF-8 are read as U+FFFD.
class OTPExtractor {
public:
    /// `lifetime` (seconds) is given to codes whose message states no lifetime of its own.
    explicit OTPExtractor(double lifetime) : lifetime_(lifetime) {}

    double lifetime() const { return lifetime_; }

    /// The code in the message, or nothing when it holds none.
    std::optional<OTPCode> extract(const EmailContent& from) const;

    /// The individual steps, for tests: see OTPExtractorInternals.h.
    struct Internals;

private:
    double lifetime_;
};

} // namespace larkpin
