#pragma once

#include <string>
#include <string_view>

namespace larkpin {

/// UTF-8 checks and conversions that need no locale.
class Utf8 {
public:
    /// Well-formed UTF-8: no stray continuation bytes, overlong forms, surrogates or values past U+10FFFF.
    static bool isValid(std::string_view bytes);
    /// Reads every byte as ISO 8859-1 (Latin-1), which maps bytes to U+0000..U+00FF one to one.
    static std::string fromLatin1(std::string_view bytes);
};

} // namespace larkpin
