#pragma once

#include <optional>
#include <string_view>

namespace larkpin {

/// Reads the whole text as a finite decimal floating-point number, independent of the locale
/// ("1700000000123", "1.5", "+2", "1e3"). Surrounding spaces, trailing garbage, infinities and NaN
/// give nothing: a time or delay that is not finite would break every comparison made with it.
std::optional<double> parseFiniteDouble(std::string_view text);

} // namespace larkpin
