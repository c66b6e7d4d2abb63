#pragma once

#include "core/support/Clock.h"

#include <atomic>

namespace larkpin::test {

/// A clock that only moves when the test says so.
class ManualClock final : public Clock {
public:
    explicit ManualClock(TimePoint start) : now_(secondsSince1970(start)) {}
    TimePoint now() const override { return timePointFromSecondsSince1970(now_.load()); }
    void set(TimePoint time) { now_ = secondsSince1970(time); }
    void advance(double seconds) { now_ = now_.load() + seconds; }

private:
    std::atomic<double> now_;
};

} // namespace larkpin::test
