#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace larkpin::emulator::form_encoding {

// application/x-www-form-urlencoded, as Google's OAuth endpoints read and write it.

using Pairs = std::vector<std::pair<std::string, std::string>>;

/// Splits "name=value&..." into pairs in their order: "+" is a space and %XX a byte. Nothing when a
/// "%" is not followed by two hexadecimal digits. Empty pieces (as in "a=1&&b=2") are skipped; a
/// piece without "=" is a name with an empty value.
std::optional<Pairs> decode(std::string_view text);

/// The pairs joined with "&", every byte but letters, digits and "-._~" percent-encoded.
std::string encode(const Pairs& pairs);

/// The value of the only pair with that name; nothing when there is none.
std::optional<std::string> value(const Pairs& pairs, std::string_view name);

/// The first name that occurs more than once, if any.
std::optional<std::string> repeatedName(const Pairs& pairs);

} // namespace larkpin::emulator::form_encoding
