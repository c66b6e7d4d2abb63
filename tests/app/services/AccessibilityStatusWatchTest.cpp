#include "app/services/accessibility/AccessibilityStatus.h"
#include "app/services/accessibility/AccessibilityStatusWatch.h"

#include "support/AccessibilityDesktop.h"

#include <gtest/gtest.h>

namespace larkpin {
namespace {

using namespace std::chrono_literals;
using test::pumpUntil;

/// The session's accessibility switch, flipped by the tests and switched on again afterwards.
class AccessibilityStatusWatchTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto missing = test::missingDesktop(true); !missing.empty())
            GTEST_SKIP() << missing;
    }

    void TearDown() override { AccessibilityStatus::setEnabled(true, 1s); }
};

TEST_F(AccessibilityStatusWatchTest, followsTheSwitchThroughTheBusSignalOrAsksOnceItsIntervalIsOver) {
    AccessibilityStatusWatch cached(1s, 24h);
    AccessibilityStatusWatch uncached(1s, 0s);
    ASSERT_TRUE(cached.isEnabled() && uncached.isEnabled());
    // The signal waits on the main context until it runs: meanwhile the cached watch has not heard
    // and does not ask, while one whose interval is over reads the bus again.
    ASSERT_TRUE(AccessibilityStatus::setEnabled(false, 1s));
    EXPECT_TRUE(cached.isEnabled());
    EXPECT_FALSE(uncached.isEnabled());
    EXPECT_TRUE(pumpUntil([&] { return !cached.isEnabled(); }));
    ASSERT_TRUE(AccessibilityStatus::setEnabled(true, 1s));
    EXPECT_TRUE(pumpUntil([&] { return cached.isEnabled(); }));
}

TEST_F(AccessibilityStatusWatchTest, leavesASignalStillQueuedNothingFreedToTouch) {
    // The signal is dispatched after the watch is gone (the sanitizers see any stale access).
    {
        AccessibilityStatusWatch watch(1s, 24h);
        ASSERT_TRUE(watch.isEnabled());
        ASSERT_TRUE(AccessibilityStatus::setEnabled(false, 1s));
    }
    AccessibilityStatusWatch later(1s, 24h);
    EXPECT_FALSE(pumpUntil([&] { return later.isEnabled(); }, 200ms));
}

} // namespace
} // namespace larkpin
