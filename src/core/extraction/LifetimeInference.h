#pragma once

#include <optional>
#include <string_view>

namespace larkpin {

/// Reads how long a code stays valid from phrases such as "expires in 10 minutes" or
/// "caduca en 5 minutos", in the languages the two lifetime patterns cover.
///
/// The patterns are ICU regular expressions. Most texts are read by a scan over their UTF-8 that
/// finds what the patterns find; it hands a text over to the regular expressions when a decision
/// would need the Unicode properties of a non-ASCII scalar (a digit of another script, white space
/// beyond ASCII, a word boundary next to a non-ASCII scalar).
class LifetimeInference {
public:
    static constexpr double minimumLifetime = 5;      ///< seconds
    static constexpr double maximumLifetime = 604800; ///< seconds (7 days)

    /// The lifetime in seconds stated in the text, if any lies within the accepted bounds.
    static std::optional<double> inferredLifetime(std::string_view text);
    /// The same for text that is lowercased already.
    static std::optional<double> inferredLifetimeOfLowercased(std::string_view lowercasedText);

    /// What the scan alone concludes; `decided` is false when only the regular expressions can tell.
    struct ScanResult {
        bool decided = false;
        std::optional<double> lifetime;
    };
    /// The two ways of reading lowercased text, which must agree whenever the scan decides.
    static ScanResult scannedLifetime(std::string_view lowercasedText);
    static std::optional<double> lifetimeByRegularExpressions(std::string_view lowercasedText);
};

} // namespace larkpin
