#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QThread>

namespace larkpin::test {

/// Runs the Qt event loop until `condition` holds or `milliseconds` have passed, and answers the
/// condition. The bound is far beyond what even a loaded machine needs: nothing waits a fixed time.
template <typename Condition> bool waitUntil(Condition condition, int milliseconds = 30'000)
{
    const QDeadlineTimer deadline(milliseconds);
    while (!condition() && !deadline.hasExpired()) {
        QCoreApplication::processEvents();
        QThread::msleep(1);
    }
    return condition();
}

} // namespace larkpin::test
