#pragma once

#include "cli/platform/Clipboard.h"

#include <chrono>
#include <string>
#include <vector>

namespace larkpin {

/// Writes the clipboard through the desktop's command-line helpers (wl-copy, xclip, xsel), which
/// keep serving the text after this process has exited. The helpers are tried in order until one
/// takes the text.
class HelperClipboard final : public Clipboard {
public:
    using Command = std::vector<std::string>;

    explicit HelperClipboard(std::vector<Command> helpers, std::chrono::milliseconds timeout = std::chrono::seconds(5));

    /// wl-copy in a Wayland session, then xclip and xsel when an X display is reachable. Null stands
    /// for an unset variable; with neither set there is no helper to use.
    static HelperClipboard forSession(const char* waylandDisplay, const char* display);

    bool writeText(const std::string& text) const override;

    const std::vector<Command>& helpers() const { return helpers_; }

private:
    bool writeWith(const Command& helper, const std::string& text) const;

    std::vector<Command> helpers_;
    std::chrono::milliseconds timeout_;
};

} // namespace larkpin
