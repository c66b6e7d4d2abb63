#include "core/models/GmailMessage.h"

#include "core/support/NumberParsing.h"
#include "core/support/Utf8.h"

#include <array>

namespace larkpin {
namespace {

using Payload = GmailMessage::Payload;

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i]))
            return false;
    }
    return true;
}

std::optional<std::string> firstHeader(const std::vector<Payload::Header>& headers, std::string_view name)
{
    for (const auto& header : headers)
        if (equalsIgnoringASCIICase(header.name, name))
            return header.value;
    return std::nullopt;
}

std::string joined(std::vector<std::string>&& texts)
{
    if (texts.size() == 1)
        return std::move(texts.front()); // the usual case: one part of each kind
    std::string result;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i > 0)
            result += '\n';
        result += texts[i];
    }
    return result;
}

// The values of base64 digits, already shifted to their place in a group of four characters. Both
// alphabets are read: base64url's "-" and "_" stand for standard base64's "+" and "/", and a body
// may use either or both. Anything else sets the top byte, which no valid group reaches.
constexpr std::uint32_t notBase64 = 0xFF000000;
constexpr std::array<std::array<std::uint32_t, 256>, 4> base64Values = [] {
    std::array<std::array<std::uint32_t, 256>, 4> values{};
    for (auto& shifted : values)
        shifted.fill(notBase64);
    const auto set = [&values](std::string_view alphabet) {
        for (std::size_t i = 0; i < alphabet.size(); ++i)
            for (std::size_t place = 0; place < 4; ++place)
                values[place][static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint32_t>(i)
                                                                         << (18 - 6 * place);
    };
    set("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
    set("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_");
    return values;
}();

} // namespace

EmailContent GmailMessage::content(const std::string& accountEmail, TimePoint now) const
{
    static const std::vector<Payload::Header> noHeaders;
    const auto& headers = payload && payload->headers ? *payload->headers : noHeaders;

    Bodies bodies;
    if (payload) {
        std::int64_t remainingParts = maximumParts;
        std::int64_t remainingBytes = maximumBodyBytes;
        bodies = collectBodies(*payload, 0, remainingParts, remainingBytes);
    }

    const auto milliseconds = internalDate ? parseFiniteDouble(*internalDate) : std::nullopt;
    return EmailContent{
        .subject = firstHeader(headers, "Subject").value_or(""),
        .sender = firstHeader(headers, "From").value_or("Unknown sender"),
        .plainText = joined(std::move(bodies.plain)),
        .htmlText = joined(std::move(bodies.html)),
        .receivedAt = milliseconds ? timePointFromSecondsSince1970(*milliseconds / 1000) : now,
        .messageID = id,
        .accountEmail = accountEmail,
    };
}

GmailMessage::Bodies GmailMessage::collectBodies(const Payload& payload, int depth, std::int64_t& remainingParts,
                                                 std::int64_t& remainingBytes)
{
    Bodies bodies;
    if (depth > maximumDepth || remainingParts < 1 || remainingBytes < 1)
        return bodies;
    --remainingParts;

    const bool plain = payload.mimeType == "text/plain";
    const bool html = payload.mimeType == "text/html";
    if ((plain || html) && payload.body && payload.body->data) {
        if (auto text = decodeBase64URL(*payload.body->data, remainingBytes)) {
            remainingBytes -= static_cast<std::int64_t>(text->size());
            (plain ? bodies.plain : bodies.html).push_back(std::move(*text));
        }
    }
    if (payload.parts)
        for (const auto& part : *payload.parts) {
            auto child = collectBodies(part, depth + 1, remainingParts, remainingBytes);
            std::move(child.plain.begin(), child.plain.end(), std::back_inserter(bodies.plain));
            std::move(child.html.begin(), child.html.end(), std::back_inserter(bodies.html));
        }
    return bodies;
}

std::optional<std::string> GmailMessage::decodeBase64URL(std::string_view text, std::int64_t maximumBytes)
{
    // Missing padding is supplied; padding that is given may not exceed what the length calls for.
    // A length that leaves a remainder of one can never be padded into a valid text.
    std::size_t padding = 0;
    while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=')
        ++padding;
    const std::string_view digits = text.substr(0, text.size() - padding);
    if (digits.size() % 4 == 1 || padding > (4 - digits.size() % 4) % 4)
        return std::nullopt;
    const std::size_t decodedSize = digits.size() / 4 * 3 + (digits.size() % 4 == 0 ? 0 : digits.size() % 4 - 1);
    if (static_cast<std::int64_t>(decodedSize) > maximumBytes)
        return std::nullopt;

    std::string bytes(decodedSize, '\0');
    // One check after the loop instead of one per group: bodies are almost always valid.
    char* out = bytes.data();
    std::uint32_t seen = 0;
    std::size_t i = 0;
    const auto value = [&](std::size_t place, std::size_t at) {
        return base64Values[place][static_cast<unsigned char>(digits[at])];
    };
    for (; i + 4 <= digits.size(); i += 4) {
        const std::uint32_t group = value(0, i) | value(1, i + 1) | value(2, i + 2) | value(3, i + 3);
        seen |= group;
        *out++ = static_cast<char>(group >> 16);
        *out++ = static_cast<char>(group >> 8);
        *out++ = static_cast<char>(group);
    }
    if (const std::size_t rest = digits.size() - i; rest > 0) {
        std::uint32_t group = 0;
        for (std::size_t k = 0; k < rest; ++k)
            group |= value(k, i + k);
        seen |= group;
        for (std::size_t k = 0; k + 1 < rest; ++k)
            *out++ = static_cast<char>(group >> (16 - 8 * k));
    }
    if ((seen & notBase64) != 0)
        return std::nullopt;
    if (Utf8::isValid(bytes))
        return bytes;
    return Utf8::fromLatin1(bytes);
}

} // namespace larkpin
