#include "app/shell/AppWindowRoute.h"

namespace larkpin {

std::optional<AppWindowRoute> AppWindowRoute::fromRawValue(QStringView rawValue)
{
    for (const auto route : {main, settings})
        if (rawValue == route.rawValue())
            return route;
    return std::nullopt;
}

QString AppWindowRoute::rawValue() const
{
    switch (case_) {
    case Case::main:
        return QStringLiteral("larkpin.main");
    case Case::settings:
        return QStringLiteral("larkpin.settings");
    }
    return {};
}

} // namespace larkpin
