#include "core/support/Uuid.h"

#include <sys/random.h>

#include <cerrno>
#include <system_error>

namespace larkpin {
namespace {

constexpr std::array<std::size_t, 4> hyphenPositions{8, 13, 18, 23};

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

Uuid Uuid::random()
{
    // The kernel's generator: sixteen bytes never come back short once it is seeded, and a
    // library generator costs several times more per call.
    Bytes bytes;
    ssize_t got = 0;
    do {
        got = getrandom(bytes.data(), bytes.size(), 0);
    } while (got < 0 && errno == EINTR);
    if (got != static_cast<ssize_t>(bytes.size()))
        throw std::system_error(got < 0 ? errno : EIO, std::generic_category(), "Could not generate a random identifier");
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    return Uuid(bytes);
}

std::optional<Uuid> Uuid::parse(std::string_view text)
{
    if (text.size() != 36)
        return std::nullopt;
    Bytes bytes{};
    std::size_t nibble = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool hyphenHere = i == hyphenPositions[0] || i == hyphenPositions[1] || i == hyphenPositions[2]
                                || i == hyphenPositions[3];
        if (hyphenHere) {
            if (text[i] != '-')
                return std::nullopt;
            continue;
        }
        const int value = hexValue(text[i]);
        if (value < 0)
            return std::nullopt;
        bytes[nibble / 2] = static_cast<std::uint8_t>(bytes[nibble / 2] | (nibble % 2 == 0 ? value << 4 : value));
        ++nibble;
    }
    return Uuid(bytes);
}

std::string Uuid::toString() const
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < bytes_.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += '-';
        text += digits[bytes_[i] >> 4];
        text += digits[bytes_[i] & 0x0F];
    }
    return text;
}

} // namespace larkpin

std::size_t std::hash<larkpin::Uuid>::operator()(const larkpin::Uuid& uuid) const noexcept
{
    // The bytes are random already; fold them into one word.
    std::size_t value = 0;
    for (const auto byte : uuid.bytes())
        value = value * 131 + byte;
    return value;
}
