#pragma once

#include <stdexcept>
#include <string>

namespace larkpin {

/// Opens URLs the way the desktop does (GIO): in the application of a named desktop entry, or in
/// the default handler of the URL's scheme.
class DesktopLauncher {
public:
    /// The desktop environment refused to start the application. `what()` is GIO's message.
    class LaunchError : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };

    /// Whether a desktop entry with this id ("firefox-esr" or "firefox-esr.desktop") exists and its
    /// program can be found.
    static bool hasApplication(const std::string& desktopFileID);

    /// Opens the URL with the named application. Throws LaunchError.
    static void openWith(const std::string& desktopFileID, const std::string& url);

    /// Opens the URL with the default handler of its scheme; false when there is none or it failed.
    static bool openWithDefaultHandler(const std::string& url);
};

} // namespace larkpin
