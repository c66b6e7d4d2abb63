#pragma once

#include <QString>
#include <QStringView>

#include <compare>
#include <optional>

namespace larkpin {

/// The identity of one of the application's windows; its raw value is the window's `objectName`,
/// by which the window is found again.
class AppWindowRoute {
public:
    enum class Case { main, settings };

    static const AppWindowRoute main;
    static const AppWindowRoute settings;

    /// Exactly "larkpin.main" or "larkpin.settings"; any other text gives no route.
    static std::optional<AppWindowRoute> fromRawValue(QStringView rawValue);

    constexpr Case value() const { return case_; }
    QString rawValue() const;

    friend constexpr auto operator<=>(const AppWindowRoute&, const AppWindowRoute&) = default;

private:
    constexpr explicit AppWindowRoute(Case value)
        : case_(value)
    {
    }
    Case case_;
};

inline constexpr AppWindowRoute AppWindowRoute::main{AppWindowRoute::Case::main};
inline constexpr AppWindowRoute AppWindowRoute::settings{AppWindowRoute::Case::settings};

} // namespace larkpin
