#pragma once

#include <QUrl>

#include <optional>

namespace larkpin {

/// A request arriving as a `larkpin:` URL. The only one is `open`, which brings the main window up.
class AppDeepLink {
public:
    enum class Case { open };

    /// `open` when the scheme is "larkpin" and the host "open", both compared without case; path,
    /// query and fragment do not matter. Any other URL is no deep link.
    static std::optional<AppDeepLink> fromURL(const QUrl& url);

    Case value() const { return case_; }

    friend bool operator==(const AppDeepLink&, const AppDeepLink&) = default;

private:
    explicit AppDeepLink(Case value)
        : case_(value)
    {
    }
    Case case_;
};

} // namespace larkpin
