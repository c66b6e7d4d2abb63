#include "core/support/Clock.h"

namespace larkpin {

TimePoint SystemClock::now() const
{
    return std::chrono::time_point_cast<Seconds>(std::chrono::system_clock::now());
}

std::shared_ptr<const Clock> SystemClock::shared()
{
    static const auto instance = std::make_shared<const SystemClock>();
    return instance;
}

} // namespace larkpin
