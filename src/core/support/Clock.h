#pragma once

#include "core/support/TimePoint.h"

#include <memory>

namespace larkpin {

/// Where "now" comes from. Services take one so that tests can move time instead of sleeping.
class Clock {
public:
    virtual ~Clock() = default;
    virtual TimePoint now() const = 0;
};

/// The wall clock.
class SystemClock final : public Clock {
public:
    TimePoint now() const override;

    /// A shared instance for services constructed without an explicit clock.
    static std::shared_ptr<const Clock> shared();
};

} // namespace larkpin
