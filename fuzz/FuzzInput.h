#pragma once

#include "core/models/EmailContent.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace larkpin::fuzz {

/// The byte layout fuzz inputs use for a message: subject, sender and plain-text body, each as a
/// two-byte little-endian length and that many bytes (fewer when the input ends), then the HTML
/// body as all remaining bytes. Every byte sequence is a message.
struct FuzzInput {
    static EmailContent decode(const std::uint8_t* data, std::size_t size)
    {
        std::size_t offset = 0;
        const auto field = [&]() {
            if (size - offset < 2) {
                offset = size;
                return std::string();
            }
            std::size_t length = data[offset] | (static_cast<std::size_t>(data[offset + 1]) << 8);
            offset += 2;
            length = std::min(length, size - offset);
            std::string text(reinterpret_cast<const char*>(data) + offset, length);
            offset += length;
            return text;
        };
        EmailContent content;
        content.subject = field();
        content.sender = field();
        content.plainText = field();
        content.htmlText.assign(reinterpret_cast<const char*>(data) + offset, size - offset);
        content.receivedAt = timePointFromSecondsSince1970(1'700'000'000);
        return content;
    }

    static std::string encode(const EmailContent& content)
    {
        std::string bytes;
        for (const std::string* text : {&content.subject, &content.sender, &content.plainText}) {
            const std::size_t length = std::min<std::size_t>(text->size(), 0xFFFF);
            bytes.push_back(static_cast<char>(length & 0xFF));
            bytes.push_back(static_cast<char>(length >> 8));
            bytes.append(*text, 0, length);
        }
        return bytes + content.htmlText;
    }
};

} // namespace larkpin::fuzz
