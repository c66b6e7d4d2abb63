#pragma once

#include <optional>
#include <string_view>

namespace larkpin {

/// Reads how long a code stays valid from phrases such as "expires in 10 minutes" or
/// "caduca en 5 minutos", in the languages the two lifetime patterns cover.
class LifetimeInference {
public:
    static constexpr double minimumLifetime = 5;      ///< seconds
    static constexpr double maximumLifetime = 604800; ///< seconds (7 days)

    /// The lifetime in seconds stated in the text, if any lies within the accepted bounds.
    static std::optional<double> inferredLifetime(std::string_view text);
    /// The same for text that is lowercased already.
    static std::optional<double> inferredLifetimeOfLowercased(std::string_view lowercasedText);
};

} // namespace larkpin
