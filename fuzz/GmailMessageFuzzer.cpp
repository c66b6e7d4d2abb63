// libFuzzer target: a full-format message as Gmail's answer, decoded and converted into the text
// the extractor reads. The answer comes from the network, so every input must end in a message or
// a DecodingError, and a decoded message must convert into valid UTF-8 whatever its bodies hold.
// One decoder serves every input, as one serves a whole sync, so reused buffers are explored too.

#include "core/models/DecodingError.h"
#include "core/models/GmailMessageDecoder.h"
#include "core/support/Utf8.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static larkpin::GmailMessageDecoder decoder;
    const std::string_view json(reinterpret_cast<const char*>(data), size);
    try {
        const auto message = decoder.decode(json);
        const auto content = message.content("me@example.com", larkpin::TimePoint{});
        for (const auto* text : {&content.subject, &content.sender, &content.plainText, &content.htmlText})
            if (!larkpin::Utf8::isValid(*text))
                std::abort();
        if (content.messageID != message.id)
            std::abort();
    } catch (const larkpin::DecodingError&) {
    }
    return 0;
}
