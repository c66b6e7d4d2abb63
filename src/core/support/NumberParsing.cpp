#include "core/support/NumberParsing.h"

#include <charconv>
#include <cmath>

namespace larkpin {

std::optional<double> parseFiniteDouble(std::string_view text)
{
    // from_chars takes no leading plus sign, which a strtod-style reader accepts.
    if (text.size() > 1 && text.front() == '+' && text[1] != '-' && text[1] != '+')
        text.remove_prefix(1);
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

} // namespace larkpin
