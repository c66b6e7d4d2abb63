#pragma once

#include <cstddef>
#include <string_view>

namespace larkpin {

/// The number of user-perceived characters (extended grapheme clusters) in UTF-8 text; a CR LF pair
/// counts once. Malformed bytes count as one replacement character each.
std::size_t characterCount(std::string_view utf8);

} // namespace larkpin
