#pragma once

#include "app/services/GLibHandles.h"

#include <chrono>
#include <memory>

typedef struct _GDBusConnection GDBusConnection;

namespace larkpin {

/// The desktop's accessibility switch (AccessibilityStatus), kept at hand instead of asked over the
/// session bus on every use. The bus announces each change with PropertiesChanged, which arrives
/// on the GLib main context that was current at construction: the owner runs that context. The
/// flag is read again after `refreshInterval` in any case, so a change without a signal (the
/// accessibility bus starting or restarting, a context nobody runs) is noticed within that time.
class AccessibilityStatusWatch {
public:
    AccessibilityStatusWatch(std::chrono::milliseconds callTimeout,
                             std::chrono::steady_clock::duration refreshInterval);
    ~AccessibilityStatusWatch();
    AccessibilityStatusWatch(const AccessibilityStatusWatch&) = delete;
    AccessibilityStatusWatch& operator=(const AccessibilityStatusWatch&) = delete;

    /// The last known state, read from the bus first when it is unknown or older than the interval.
    bool isEnabled();
    /// Reads the state from the bus now; answers it.
    bool refresh();

private:
    struct State;
    void subscribe();

    std::chrono::milliseconds callTimeout_;
    std::chrono::steady_clock::duration refreshInterval_;
    std::shared_ptr<State> state_;
    glib::ObjectRef<GDBusConnection> bus_;
    unsigned subscription_ = 0; ///< 0 while not subscribed
};

} // namespace larkpin
