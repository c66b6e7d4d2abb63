#include "app/services/accessibility/FocusedElementSearch.h"

#include "app/services/accessibility/AccessibleChildren.h"

#include <atspi/atspi.h>

#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace larkpin {
namespace {

using Accessible = glib::ObjectRef<AtspiAccessible>;

bool holds(AtspiAccessible* element, AtspiStateType state) {
    const auto set = glib::ObjectRef<AtspiStateSet>::adopt(atspi_accessible_get_state_set(element));
    return set && atspi_state_set_contains(set.get(), state);
}

struct ArrayFree {
    void operator()(GArray* array) const {
        for (guint i = 0; i < array->len; ++i)
            if (auto* element = g_array_index(array, AtspiAccessible*, i))
                g_object_unref(element);
        g_array_free(array, TRUE);
    }
};

struct HashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};

/// Asks the application to search the window for a FOCUSED element; nullopt when it cannot.
std::optional<Accessible> collected(AtspiAccessible* window) {
    const auto collection =
        glib::ObjectRef<AtspiCollection>::adopt(atspi_accessible_get_collection_iface(window));
    if (!collection)
        return std::nullopt;
    const std::unique_ptr<GArray, void (*)(GArray*)> wanted(g_array_new(FALSE, FALSE, sizeof(AtspiStateType)),
                                                            [](GArray* array) { g_array_free(array, TRUE); });
    const AtspiStateType focused = ATSPI_STATE_FOCUSED;
    g_array_append_val(wanted.get(), focused);
    const auto states = glib::ObjectRef<AtspiStateSet>::adopt(atspi_state_set_new(wanted.get()));
    // libatspi sends the attribute table as it is, so it must exist even when empty.
    const std::unique_ptr<GHashTable, HashTableUnref> noAttributes(g_hash_table_new(g_str_hash, g_str_equal));
    const auto rule = glib::ObjectRef<AtspiMatchRule>::adopt(atspi_match_rule_new(
        states.get(), ATSPI_Collection_MATCH_ALL, noAttributes.get(), ATSPI_Collection_MATCH_ALL, nullptr,
        ATSPI_Collection_MATCH_ALL, nullptr, ATSPI_Collection_MATCH_ALL, FALSE));
    glib::Error error;
    const std::unique_ptr<GArray, ArrayFree> matches(atspi_collection_get_matches(
        collection.get(), rule.get(), ATSPI_Collection_SORT_ORDER_CANONICAL, 1, TRUE, glib::ErrorOut(error)));
    if (error || !matches)
        return std::nullopt;
    if (matches->len == 0)
        return Accessible();
    return Accessible::retain(g_array_index(matches.get(), AtspiAccessible*, 0));
}

/// Breadth first, so that a deep subtree cannot use up the budget before the window's main parts.
Accessible visited(AtspiAccessible* window) {
    std::deque<Accessible> pending;
    for (auto& child : accessibleChildren(window))
        pending.push_back(std::move(child));
    for (int count = 0; !pending.empty() && count < FocusedElementSearch::visitLimit; ++count) {
        Accessible element = std::move(pending.front());
        pending.pop_front();
        if (holds(element.get(), ATSPI_STATE_FOCUSED))
            return element;
        for (auto& child : accessibleChildren(element.get()))
            pending.push_back(std::move(child));
    }
    return {};
}

} // namespace

glib::ObjectRef<AtspiAccessible> FocusedElementSearch::find(std::int32_t excludedProcess, Method method) {
    const auto desktop = Accessible::adopt(atspi_get_desktop(0));
    if (!desktop)
        return {};
    for (const auto& application : accessibleChildren(desktop.get())) {
        // The process id comes from the bus daemon, so asking it never waits for the application.
        glib::Error error;
        const auto processID =
            static_cast<std::int32_t>(atspi_accessible_get_process_id(application.get(), glib::ErrorOut(error)));
        if (error || processID == excludedProcess)
            continue;
        for (const auto& window : accessibleChildren(application.get())) {
            if (!holds(window.get(), ATSPI_STATE_ACTIVE))
                continue;
            auto found = method == Method::collection ? collected(window.get()) : std::nullopt;
            if (!found)
                found = visited(window.get());
            if (*found)
                return std::move(*found);
        }
    }
    return {};
}

} // namespace larkpin
