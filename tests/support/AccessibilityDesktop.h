#pragma once

#include "app/services/accessibility/AccessibilityCoordinator.h"
#include "app/services/accessibility/AccessibilityStatus.h"
#include "app/services/accessibility/ScreenRect.h"
#include "support/ChildProcess.h"

#include <glib.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>

namespace larkpin::test {

/// Why tests that need a display and a session bus (and, when asked, the accessibility bus
/// switched on) cannot run here; empty when they can.
inline std::string missingDesktop(bool accessible = false) {
    if (!std::getenv("DISPLAY") || !std::getenv("DBUS_SESSION_BUS_ADDRESS"))
        return "no display or session bus: run inside scripts/test-session";
    if (accessible && !AccessibilityStatus::isEnabled(std::chrono::seconds(1)))
        return "the accessibility bus is off: run inside scripts/test-session";
    return {};
}

/// Runs the default GLib main context (where AT-SPI events arrive) until `done` answers true or
/// the time runs out; answers the last answer of `done`. The default bound is far beyond what an
/// idle machine needs: programs under the sanitizers on a loaded machine answer slowly.
inline bool pumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

/// Runs the main context until the focused element's label, as `coordinator` reads it, mentions
/// `marker`; answers whether it did in time.
inline bool focusReaches(AccessibilityCoordinator& coordinator, const std::string& marker,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    return pumpUntil(
        [&] {
            const auto descriptor = coordinator.focusedFieldDescriptor();
            return descriptor && descriptor->label.find(marker) != std::string::npos;
        },
        timeout);
}

/// A field program (tests/support/FieldVariants.c, QtQuickFields.cpp) started for one test and
/// driven over its standard input; it announces "ready" once its window is active.
class FieldProgram {
public:
    /// What others asked of a field since the last look: the widest text read, and the children of
    /// its parent (distinct ones, requests).
    struct Reads {
        double widestText = 0, distinctChildren = 0, childRequests = 0;
    };

    explicit FieldProgram(const std::vector<std::string>& argv)
        : process_(std::make_unique<ChildProcess>(argv)) {
        // The empty line only draws an error line, which is skipped.
        ready_ = process_->ask("", "ready", std::chrono::seconds(60)).has_value();
    }

    bool ready() const { return ready_; }
    ChildProcess& process() { return *process_; }

    void focus(const std::string& id) { process_->ask("focus " + id, "focused"); }
    void set(const std::string& id, const std::string& text) {
        process_->ask("set " + id + " " + text, "set");
    }
    /// The field's text as the program itself sees it.
    std::optional<std::string> text(const std::string& id) {
        const auto answer = process_->ask("text " + id, "text " + id);
        return answer ? std::optional(answer->substr(std::min(answer->size(), id.size() + 6))) : std::nullopt;
    }
    std::optional<ScreenRect> geometry(const std::string& id) {
        ScreenRect r;
        return numbers("geometry", id, {&r.x, &r.y, &r.width, &r.height}) ? std::optional(r) : std::nullopt;
    }
    std::optional<Reads> reads(const std::string& id) {
        Reads r;
        return numbers("reads", id, {&r.widestText, &r.distinctChildren, &r.childRequests}) ? std::optional(r)
                                                                                            : std::nullopt;
    }

private:
    /// Asks `command ID` and reads the numbers after the answer's first two words.
    bool numbers(const std::string& command, const std::string& id, std::initializer_list<double*> into) {
        std::istringstream words(process_->ask(command + " " + id, command).value_or(""));
        std::string skipped;
        words >> skipped >> skipped;
        for (double* number : into)
            words >> *number;
        return !words.fail();
    }

    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
};

} // namespace larkpin::test
