#pragma once

#include <string_view>

namespace larkpin {

/// The application's reverse-DNS id: the name of its desktop entry and D-Bus service, and the prefix
/// of its Secret Service items.
inline constexpr std::string_view applicationID = "dev.larkpin.Larkpin";

} // namespace larkpin
