#pragma once

#include <string>

namespace larkpin {

/// The desktop's clipboard, as far as the command-line tool needs it.
class Clipboard {
public:
    virtual ~Clipboard() = default;
    /// Replaces the clipboard's content with plain text; false when it was not written.
    virtual bool writeText(const std::string& text) const = 0;
};

} // namespace larkpin
