#pragma once

#include <stdexcept>
#include <string>

namespace larkpin {

/// The desktop clipboard, plain text only. The application backs it with QClipboard.
class Clipboard {
public:
    /// Writing failed; `what()` is the text shown to the user.
    class Error : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    virtual ~Clipboard() = default;

    /// Replaces the clipboard's content with `text`. Throws Error.
    virtual void setText(const std::string& text) = 0;
};

} // namespace larkpin
