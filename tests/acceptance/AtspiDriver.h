#pragma once

#include <array>
#include <atspi/atspi.h>

#include <chrono>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace larkpin::test {

/// Drives another program's user interface from outside, as an assistive technology does: finds its
/// shown elements on the accessibility bus by name (within the windows a Match picks), presses them
/// and reads them. Every wait polls with a generous bound and fails naming what it awaited.
class AtspiDriver {
public:
    class Failure : public std::runtime_error {
    public:
        using std::runtime_error::runtime_error;
    };
    using Match = std::function<bool(AtspiAccessible*)>;

    /// Waits until the process `pid` appears on the accessibility bus under `name`.
    AtspiDriver(const std::string& name, pid_t pid)
    {
        atspi_init();
        waitUntil("the application " + name + " on the accessibility bus", [&] {
            const Node desktop(atspi_get_desktop(0));
            for (int i = 0; i < atspi_accessible_get_child_count(desktop.get(), nullptr); ++i)
                if (Node app(atspi_accessible_get_child_at_index(desktop.get(), i, nullptr));
                    app && atspi_accessible_get_process_id(app.get(), nullptr) == guint(pid) &&
                    nameOf(app.get()) == name)
                    application_ = std::move(app);
            return application_ != nullptr;
        });
        // Every look asks the program afresh instead of trusting a cache kept up by events.
        atspi_accessible_set_cache_mask(application_.get(), ATSPI_CACHE_NONE);
    }

    static bool hasState(AtspiAccessible* node, AtspiStateType state)
    {
        const std::unique_ptr<AtspiStateSet, Unref> set(atspi_accessible_get_state_set(node));
        return set && atspi_state_set_contains(set.get(), state);
    }
    /// Windows that show an element named `text`.
    static Match holding(const std::string& text)
    {
        return [text](AtspiAccessible* window) { return walk(window, named(text)) != nullptr; };
    }

    /// Presses the shown, enabled element named `name`, once it is there, through its accessible
    /// "Press" action, as a screen reader or voice control does.
    void press(const std::string& name, const Match& window = {})
    {
        const auto element = enabled(name, window);
        const std::unique_ptr<AtspiAction, Unref> action(atspi_accessible_get_action_iface(element.get()));
        for (int i = 0; action && i < atspi_action_get_n_actions(action.get(), nullptr); ++i)
            if (fromAtspi(atspi_action_get_action_name(action.get(), i, nullptr)) == "Press" &&
                atspi_action_do_action(action.get(), i, nullptr))
                return;
        throw Failure("could not press \"" + name + "\"");
    }
    /// The screen extents (x, y, width, height) of the shown, enabled element named `name`, once it
    /// is there.
    std::array<int, 4> extents(const std::string& name, const Match& window = {})
    {
        const auto element = enabled(name, window);
        const std::unique_ptr<AtspiComponent, Unref> component(
            atspi_accessible_get_component_iface(element.get()));
        const std::unique_ptr<AtspiRect, decltype(&g_free)> box(
            component ? atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, nullptr) : nullptr,
            &g_free);
        if (!box)
            throw Failure("\"" + name + "\" has no place on the screen");
        return {box->x, box->y, box->width, box->height};
    }
    /// Whether a shown element inside a window matching `window` (any, when empty) is named `text`.
    bool shows(const std::string& text, const Match& window = {})
    {
        return find(named(text), window) != nullptr;
    }
    void waitForText(const std::string& text, const Match& window = {})
    {
        waitUntil("\"" + text + "\"", [&] { return shows(text, window); });
    }

    /// Polls `done` until it answers true; throws a Failure naming `awaited` after 90 s, far beyond
    /// what a loaded machine needs.
    void waitUntil(const std::string& awaited, const std::function<bool()>& done)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
        while (!done()) {
            if (std::chrono::steady_clock::now() > deadline)
                throw Failure("waited 90 s in vain for " + awaited);
            while (g_main_context_iteration(nullptr, FALSE)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }

private:
    struct Unref {
        void operator()(void* object) const noexcept { g_object_unref(object); }
    };
    using Node = std::unique_ptr<AtspiAccessible, Unref>;

    /// Takes a string AT-SPI hands over.
    static std::string fromAtspi(gchar* owned)
    {
        const std::unique_ptr<gchar, decltype(&g_free)> held(owned, &g_free);
        return held ? held.get() : "";
    }
    static std::string nameOf(AtspiAccessible* node)
    {
        return fromAtspi(atspi_accessible_get_name(node, nullptr));
    }
    static Match named(const std::string& text)
    {
        return [text](AtspiAccessible* node) { return nameOf(node) == text; };
    }
    /// `node` or its first shown descendant (depth first) that `match` accepts.
    static Node walk(AtspiAccessible* node, const Match& match)
    {
        if (match(node))
            return Node(ATSPI_ACCESSIBLE(g_object_ref(node)));
        for (int i = 0; i < atspi_accessible_get_child_count(node, nullptr); ++i) {
            const Node child(atspi_accessible_get_child_at_index(node, i, nullptr));
            if (child && hasState(child.get(), ATSPI_STATE_SHOWING))
                if (auto found = walk(child.get(), match))
                    return found;
        }
        return {};
    }
    /// The shown, enabled element named `name`, once it is there.
    Node enabled(const std::string& name, const Match& window)
    {
        Node element;
        waitUntil("\"" + name + "\" enabled", [&] {
            element = find(named(name), window);
            return element && hasState(element.get(), ATSPI_STATE_ENABLED);
        });
        return element;
    }
    Node find(const Match& match, const Match& window)
    {
        for (int i = 0; i < atspi_accessible_get_child_count(application_.get(), nullptr); ++i) {
            const Node top(atspi_accessible_get_child_at_index(application_.get(), i, nullptr));
            if (top && hasState(top.get(), ATSPI_STATE_SHOWING) && (!window || window(top.get())))
                if (auto found = walk(top.get(), match))
                    return found;
        }
        return {};
    }
    Node application_;
};

} // namespace larkpin::test
