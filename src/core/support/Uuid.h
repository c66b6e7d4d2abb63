#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace larkpin {

/// A 128-bit universally unique identifier, written as canonical 36-character text.
class Uuid {
public:
    using Bytes = std::array<std::uint8_t, 16>;

    constexpr Uuid() = default;
    constexpr explicit Uuid(const Bytes& bytes) : bytes_(bytes) {}

    /// A random (version 4) UUID from the secure random generator.
    static Uuid random();

    /// Parses "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX" in either letter case; anything else is absent.
    static std::optional<Uuid> parse(std::string_view text);

    /// The canonical text in upper case.
    std::string toString() const;

    const Bytes& bytes() const { return bytes_; }

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    Bytes bytes_{};
};

} // namespace larkpin

template <> struct std::hash<larkpin::Uuid> {
    std::size_t operator()(const larkpin::Uuid& uuid) const noexcept;
};
