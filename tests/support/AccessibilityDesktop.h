#pragma once

#include "app/services/accessibility/AccessibilityStatus.h"
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

/// Why tests that need a display and an accessibility bus cannot run here; empty when they can.
inline std::string missingDesktop() {
    if (!std::getenv("DISPLAY"))
        return "no DISPLAY: run inside scripts/test-session";
    if (!std::getenv("DBUS_SESSION_BUS_ADDRESS"))
        return "no session bus: run inside scripts/test-session";
    return {};
}

/// missingDesktop(), and also why not when the accessibility bus is switched off.
inline std::string missingAccessibleDesktop() {
    if (auto missing = missingDesktop(); !missing.empty())
        return missing;
    if (!AccessibilityStatus::isEnabled(std::chrono::seconds(1)))
        return "the accessibility bus is off: run inside scripts/test-session";
    return {};
}

/// Runs the default GLib main context (where AT-SPI events arrive) until `done` answers true or
/// the time runs out; answers the last answer of `done`.
inline bool pumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
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

/// A rectangle a helper program reported: "geometry ID x y width height".
struct ReportedGeometry {
    int x = 0, y = 0, width = 0, height = 0;

    static std::optional<ReportedGeometry> parse(const std::string& line) {
        std::istringstream words(line);
        std::string command, id;
        ReportedGeometry geometry;
        if (words >> command >> id >> geometry.x >> geometry.y >> geometry.width >> geometry.height)
            return geometry;
        return std::nullopt;
    }
};

/// A field-variants program (GTK, Qt Quick) started for one test and driven over its standard
/// input: it announces "ready" once its window is active.
class FieldProgram {
public:
    explicit FieldProgram(const std::vector<std::string>& argv)
        : process_(std::make_unique<ChildProcess>(argv)) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            const auto line = process_->readLine(std::chrono::seconds(1));
            if (line && line->rfind("ready", 0) == 0) {
                ready_ = true;
                break;
            }
        }
    }

    bool ready() const { return ready_; }
    ChildProcess& process() { return *process_; }

    void focus(const std::string& id) { process_->ask("focus " + id, "focused"); }
    /// The field's text as the program itself sees it.
    std::optional<std::string> text(const std::string& id) {
        const std::string prefix = "text " + id + " ";
        const auto answer = process_->ask("text " + id, "text " + id);
        if (!answer)
            return std::nullopt;
        return answer->size() >= prefix.size() ? answer->substr(prefix.size()) : std::string();
    }
    void set(const std::string& id, const std::string& text) {
        process_->ask("set " + id + " " + text, "set");
    }
    void setEditable(const std::string& id, bool editable) {
        process_->ask("editable " + id + (editable ? " 1" : " 0"), "editable");
    }
    std::optional<ReportedGeometry> geometry(const std::string& id) {
        const auto answer = process_->ask("geometry " + id, "geometry");
        return answer ? ReportedGeometry::parse(*answer) : std::nullopt;
    }

private:
    std::unique_ptr<ChildProcess> process_;
    bool ready_ = false;
};

} // namespace larkpin::test
