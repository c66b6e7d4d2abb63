#pragma once

#include <string>
#include <string_view>

namespace larkpin {

/// SHA-256 (FIPS 180-4) through OpenSSL.
class Sha256 {
public:
    /// The digest of the bytes as 64 lower-case hexadecimal characters.
    static std::string hex(std::string_view bytes);
};

} // namespace larkpin
