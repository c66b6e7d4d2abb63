#pragma once

#include <chrono>

namespace larkpin {

/// Seconds as a double: the unit the database stores and JSON carries.
using Seconds = std::chrono::duration<double>;

/// An absolute instant, counted in double-precision seconds since 1970-01-01 00:00:00 UTC so that
/// it round-trips through the database without rounding.
using TimePoint = std::chrono::time_point<std::chrono::system_clock, Seconds>;

constexpr double secondsSince1970(TimePoint time) { return time.time_since_epoch().count(); }
constexpr TimePoint timePointFromSecondsSince1970(double seconds) { return TimePoint(Seconds(seconds)); }

} // namespace larkpin
