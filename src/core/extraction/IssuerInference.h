#pragma once

#include <string>
#include <string_view>

namespace larkpin {

/// Who issued a code, derived from the message's sender header alone.
class IssuerInference {
public:
    /// "Display Name · domain" for `"Display Name" <user@domain>`; the domain alone for a bare
    /// address; the trimmed sender itself when no domain can be found. The domain is lowercased,
    /// the display name keeps its case.
    static std::string issuer(std::string_view sender);
    /// The same, reading the sender character by character; issuer() reads ASCII senders byte by
    /// byte, which gives the same result because no ASCII character of several bytes (only CR LF)
    /// is a delimiter.
    static std::string issuerByCharacters(std::string_view sender);
};

} // namespace larkpin
