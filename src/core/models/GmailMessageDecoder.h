#pragma once

#include "core/models/GmailMessage.h"

#include <cstddef>
#include <memory>
#include <mutex>
#include <string_view>

namespace larkpin {

/// Reads the JSON of full-format Gmail messages into GmailMessage. Required keys must be present
/// with the right type, optional ones may be missing or null, unknown keys are ignored.
///
/// A decoder keeps its working buffers from one message to the next: allocating them afresh for
/// each message cost more than reading it. So one decoder should serve many messages; callers on
/// different threads may share it and take turns.
class GmailMessageDecoder {
public:
    /// Decoding refuses part trees nested deeper than this, well past anything the walk visits.
    static constexpr int maximumDepth = 100;
    /// Buffers sized for documents up to this many bytes are kept between messages: most messages
    /// fit, and the buffers take well over ten times the size of the document they were grown for.
    static constexpr std::size_t retainedCapacity = 256u * 1024;

    GmailMessageDecoder();
    ~GmailMessageDecoder();
    GmailMessageDecoder(const GmailMessageDecoder&) = delete;
    GmailMessageDecoder& operator=(const GmailMessageDecoder&) = delete;

    /// Throws DecodingError when the text is not JSON, a required key is missing, a value has the
    /// wrong type or the part tree is nested deeper than `maximumDepth`.
    GmailMessage decode(std::string_view json);

private:
    struct Parser;
    std::mutex mutex_;
    std::unique_ptr<Parser> parser_;
};

} // namespace larkpin
