#pragma once

#include "core/support/TimePoint.h"

#include <QDateTime>

#include <cmath>
#include <optional>

namespace larkpin {

/// A time point as QML shows it, to the millisecond; absent is an invalid QDateTime.
inline QDateTime toQDateTime(std::optional<TimePoint> time)
{
    if (!time)
        return {};
    return QDateTime::fromMSecsSinceEpoch(std::llround(secondsSince1970(*time) * 1000), Qt::UTC);
}

} // namespace larkpin
