#include "app/services/accessibility/AccessibilityCoordinator.h"

#include "app/services/accessibility/AccessibilityStatus.h"
#include "app/services/accessibility/AccessibilityStatusWatch.h"
#include "app/services/accessibility/AccessibleChildren.h"
#include "app/services/accessibility/FocusedElementSearch.h"
#include "app/services/GLibHandles.h"

#include <atspi/atspi.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>

namespace larkpin {
namespace {

using Accessible = glib::ObjectRef<AtspiAccessible>;

constexpr int nearbyLabelLevels = 3;
// Siblings read per level of the nearby-label climb, those nearest the field: a label sits next to
// its field, and a web page's form may hold thousands of elements, each one call to read.
constexpr int nearbyLabelSiblings = 32;
// A field's text is read in pieces of this many characters, only as far as the length rule needs:
// the focused element may be a terminal with its scrollback or a whole web document.
constexpr gint valuePiece = 64;
// Typed keys reach the field through the display server; give it this long to show them.
constexpr auto readBackDeadline = std::chrono::milliseconds(1500);
constexpr auto readBackPause = std::chrono::milliseconds(5);
// The switch's signal keeps the flag current; reading it again this often covers a missed one.
constexpr auto statusRefreshInterval = std::chrono::seconds(3);

// The element's properties, each "" when the call fails.

std::string name(AtspiAccessible* element) {
    glib::Error error;
    return glib::takeString(atspi_accessible_get_name(element, glib::ErrorOut(error)));
}

std::string description(AtspiAccessible* element) {
    glib::Error error;
    return glib::takeString(atspi_accessible_get_description(element, glib::ErrorOut(error)));
}

AtspiRole role(AtspiAccessible* element) {
    glib::Error error;
    return atspi_accessible_get_role(element, glib::ErrorOut(error));
}

/// The whole text of the element's Text interface; "" when it has none.
std::string textContents(AtspiAccessible* element) {
    const auto text = glib::ObjectRef<AtspiText>::adopt(atspi_accessible_get_text_iface(element));
    if (!text)
        return {};
    glib::Error error;
    return glib::takeString(atspi_text_get_text(text.get(), 0, -1, glib::ErrorOut(error)));
}

Accessible parent(AtspiAccessible* element) {
    glib::Error error;
    return Accessible::adopt(atspi_accessible_get_parent(element, glib::ErrorOut(error)));
}

struct HashTableUnref {
    void operator()(GHashTable* table) const { g_hash_table_unref(table); }
};

struct Attributes {
    std::string placeholder;
    std::string domIdentifier;
};

Attributes attributes(AtspiAccessible* element) {
    glib::Error error;
    const std::unique_ptr<GHashTable, HashTableUnref> table(
        atspi_accessible_get_attributes(element, glib::ErrorOut(error)));
    if (!table)
        return {};
    const auto lookup = [&](const char* key) {
        const auto* value = static_cast<const char*>(g_hash_table_lookup(table.get(), key));
        return value ? std::string(value) : std::string();
    };
    // GTK and Firefox name the placeholder "placeholder-text", Chromium "placeholder".
    std::string placeholder = lookup("placeholder-text");
    if (placeholder.empty())
        placeholder = lookup("placeholder");
    return {std::move(placeholder), lookup("id")};
}

std::string join(std::initializer_list<std::string_view> texts) {
    std::string result;
    bool first = true;
    for (const auto text : texts) {
        if (!first)
            result += ' ';
        result += text;
        first = false;
    }
    return result;
}

std::string joined(const std::vector<std::string>& texts) {
    std::string result;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        if (i > 0)
            result += ' ';
        result += texts[i];
    }
    return result;
}

/// The name, description and text of every element that labels this one (LABELLED_BY targets).
std::string relatedLabel(AtspiAccessible* element) {
    glib::Error error;
    GArray* relations = atspi_accessible_get_relation_set(element, glib::ErrorOut(error));
    if (!relations)
        return {};
    std::vector<std::string> texts;
    for (guint i = 0; i < relations->len; ++i) {
        const auto relation =
            glib::ObjectRef<AtspiRelation>::adopt(g_array_index(relations, AtspiRelation*, i));
        if (atspi_relation_get_relation_type(relation.get()) != ATSPI_RELATION_LABELLED_BY)
            continue;
        const gint targets = atspi_relation_get_n_targets(relation.get());
        for (gint t = 0; t < targets; ++t) {
            const auto target = Accessible::adopt(atspi_relation_get_target(relation.get(), t));
            if (!target)
                continue;
            texts.push_back(name(target.get()));
            texts.push_back(description(target.get()));
            texts.push_back(textContents(target.get()));
        }
    }
    g_array_free(relations, TRUE);
    return joined(texts);
}

bool isStaticText(AtspiRole role) {
    return role == ATSPI_ROLE_LABEL || role == ATSPI_ROLE_STATIC;
}

/// The text of static-text siblings of the element or of its ancestors, at most three levels up.
std::string nearbyLabel(AtspiAccessible* element) {
    Accessible current = Accessible::retain(element);
    for (int level = 1; level <= nearbyLabelLevels; ++level) {
        Accessible above = parent(current.get());
        if (!above)
            return {};
        const AccessibleElement currentElement(current);
        glib::Error indexError;
        const gint index = atspi_accessible_get_index_in_parent(current.get(), glib::ErrorOut(indexError));
        std::vector<std::string> texts;
        for (const auto& sibling :
             accessibleChildrenAround(above.get(), indexError ? -1 : index, nearbyLabelSiblings)) {
            if (AccessibleElement(sibling) == currentElement || !isStaticText(role(sibling.get())))
                continue;
            std::string text = name(sibling.get());
            if (text.empty())
                text = textContents(sibling.get());
            texts.push_back(std::move(text));
        }
        std::string text = joined(texts);
        if (!text.empty())
            return text;
        current = std::move(above);
    }
    return {};
}

struct Roles {
    std::string role;
    std::string subrole;
    bool textEntry = false;
};

bool isMultiLine(AtspiAccessible* element) {
    const auto set = glib::ObjectRef<AtspiStateSet>::adopt(atspi_accessible_get_state_set(element));
    return set && atspi_state_set_contains(set.get(), ATSPI_STATE_MULTI_LINE);
}

/// AT-SPI's role in the descriptor's vocabulary. GTK 3 calls its single-line entries TEXT, like
/// multi-line views, so the MULTI_LINE state tells them apart. The entry of an editable combo box
/// is part of the combo box, which is never a code field.
Roles roles(AtspiAccessible* element) {
    const AtspiRole atspiRole = role(element);
    switch (atspiRole) {
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_TEXT: {
        const Accessible above = parent(element);
        if (above && role(above.get()) == ATSPI_ROLE_COMBO_BOX)
            return {"AXComboBox", "", true};
        const auto kind =
            isMultiLine(element) ? OTPFieldDescriptor::textAreaRole : OTPFieldDescriptor::textFieldRole;
        return {std::string(kind), "", true};
    }
    case ATSPI_ROLE_PASSWORD_TEXT:
        return {std::string(OTPFieldDescriptor::textFieldRole),
                std::string(OTPFieldDescriptor::secureTextFieldSubrole), true};
    case ATSPI_ROLE_COMBO_BOX:
        return {"AXComboBox", "", false};
    default:
        return {glib::takeString(atspi_role_get_name(atspiRole)), "", false};
    }
}

struct States {
    bool focused = false;
    bool editable = false;
    bool enabled = false;
};

std::optional<States> states(AtspiAccessible* element) {
    const auto set = glib::ObjectRef<AtspiStateSet>::adopt(atspi_accessible_get_state_set(element));
    // A failed call leaves an empty set; an element that is gone reports itself defunct.
    if (!set || atspi_state_set_contains(set.get(), ATSPI_STATE_DEFUNCT))
        return std::nullopt;
    return States{
        .focused = atspi_state_set_contains(set.get(), ATSPI_STATE_FOCUSED) != 0,
        .editable = atspi_state_set_contains(set.get(), ATSPI_STATE_EDITABLE) != 0,
        .enabled = atspi_state_set_contains(set.get(), ATSPI_STATE_ENABLED) != 0 ||
                   atspi_state_set_contains(set.get(), ATSPI_STATE_SENSITIVE) != 0,
    };
}

std::optional<ScreenRect> frame(AtspiAccessible* element) {
    const auto component =
        glib::ObjectRef<AtspiComponent>::adopt(atspi_accessible_get_component_iface(element));
    if (!component)
        return std::nullopt;
    glib::Error error;
    const glib::Owned<AtspiRect> extents(
        atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, glib::ErrorOut(error)));
    if (!extents || error || extents->width <= 0 || extents->height <= 0)
        return std::nullopt;
    return ScreenRect{static_cast<double>(extents->x), static_cast<double>(extents->y),
                      static_cast<double>(extents->width), static_cast<double>(extents->height)};
}

/// Reads the element's text into `descriptor.value` piece by piece while the rules that need no label
/// still pass, so that a long text stops after the piece that makes it too long. Characters that a
/// piece boundary splits (a letter and its marks) are whole again once the next piece is added.
void readValue(AtspiAccessible* element, OTPFieldDescriptor& descriptor) {
    descriptor.value.clear();
    const auto text = glib::ObjectRef<AtspiText>::adopt(atspi_accessible_get_text_iface(element));
    if (!text)
        return;
    glib::Error countError;
    const gint count = atspi_text_get_character_count(text.get(), glib::ErrorOut(countError));
    for (gint start = 0; !countError && start < count; start += valuePiece) {
        glib::Error error;
        std::string piece = glib::takeString(atspi_text_get_text(
            text.get(), start, std::min(count, start + valuePiece), glib::ErrorOut(error)));
        if (error) {
            descriptor.value.clear();
            return;
        }
        descriptor.value += piece;
        if (!descriptor.passesRulesOtherThanLabel())
            return;
    }
}

bool hasControlCharacters(std::string_view text) {
    return std::any_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7f; });
}

} // namespace

AccessibilityCoordinator::FillError::FillError(Kind kind, const char* description)
    : std::runtime_error(description)
    , kind_(kind) {}

AccessibilityCoordinator::FillError AccessibilityCoordinator::FillError::focusChanged() {
    return {Kind::focusChanged, "The focused field changed."};
}

AccessibilityCoordinator::FillError AccessibilityCoordinator::FillError::notEligible() {
    return {Kind::notEligible, "The focused field is not an eligible code field."};
}

AccessibilityCoordinator::FillError AccessibilityCoordinator::FillError::unavailable() {
    return {Kind::unavailable, "The app could not write to this field."};
}

struct AccessibilityCoordinator::Impl {
    // What stays put while an element keeps the focus, read once per element and per round of
    // label-changing events.
    struct Facts {
        AccessibleElement element{};
        std::int32_t processID = 0;
        Roles roles{};
        std::uint64_t labelGeneration = 0;
        std::optional<std::string> ownLabel{}; ///< every describing text but the nearby labels
        std::optional<std::string> nearby{};
    };

    struct Reading {
        AccessibleElement element;
        std::int32_t processID = 0;
        OTPFieldDescriptor descriptor;
    };

    enum class LabelNeed { asFarAsDecisive, complete };

    Impl(ScreenList screens, std::chrono::milliseconds timeout)
        : screens(std::move(screens))
        , timeout(timeout)
        , status(timeout, statusRefreshInterval) {
        // A field that already has the focus announces nothing until the user moves on.
        ready();
    }

    ~Impl() { disconnect(); }

    ScreenList screens;
    std::chrono::milliseconds timeout;
    const std::int32_t ownProcessID = static_cast<std::int32_t>(::getpid());
    AccessibilityStatusWatch status;

    bool connected = false;
    bool wasTrusted = false;
    glib::ObjectRef<AtspiEventListener> focusListener;
    glib::ObjectRef<AtspiEventListener> changeListener;
    Accessible focused;
    std::uint64_t labelGeneration = 0;
    std::optional<Facts> facts;

    static constexpr std::array<const char*, 4> labelChangingEvents = {
        "object:property-change",
        "object:children-changed",
        "object:attributes-changed",
        "object:text-changed",
    };

    static void onFocus(AtspiEvent* event, void* data) {
        auto* self = static_cast<Impl*>(data);
        if (event->detail1 != 0 && event->source)
            self->focused = Accessible::retain(event->source);
        g_boxed_free(ATSPI_TYPE_EVENT, event);
    }

    static void onChange(AtspiEvent* event, void* data) {
        auto* self = static_cast<Impl*>(data);
        // Only the focused element's application can change its labels; browsers send these events
        // all the time. Typing into the focused field changes its value, which is read anyway.
        const bool concernsLabel =
            event->source && self->focused && sameApplication(event->source, self->focused.get()) &&
            !(g_str_has_prefix(event->type, "object:text-changed") &&
              AccessibleElement(Accessible::retain(event->source)) == AccessibleElement(self->focused));
        if (concernsLabel)
            ++self->labelGeneration;
        g_boxed_free(ATSPI_TYPE_EVENT, event);
    }

    static bool sameApplication(AtspiAccessible* a, AtspiAccessible* b) {
        const AtspiApplication* first = a->parent.app;
        const AtspiApplication* second = b->parent.app;
        return first && second && first->bus_name && second->bus_name &&
               std::strcmp(first->bus_name, second->bus_name) == 0;
    }

    bool connect() {
        if (connected)
            return true;
        if (atspi_init() > 1)
            return false;
        atspi_set_timeout(static_cast<gint>(timeout.count()), static_cast<gint>(timeout.count()) * 4);

        focusListener =
            glib::ObjectRef<AtspiEventListener>::adopt(atspi_event_listener_new(onFocus, this, nullptr));
        changeListener =
            glib::ObjectRef<AtspiEventListener>::adopt(atspi_event_listener_new(onChange, this, nullptr));
        glib::Error error;
        bool registered = atspi_event_listener_register(focusListener.get(), "object:state-changed:focused",
                                                        glib::ErrorOut(error));
        for (const char* type : labelChangingEvents) {
            glib::Error changeError;
            registered = registered && atspi_event_listener_register(changeListener.get(), type,
                                                                     glib::ErrorOut(changeError));
        }
        connected = true; // so that disconnect() takes back what did register
        if (!registered)
            disconnect();
        return connected;
    }

    void disconnect() {
        if (!connected)
            return;
        glib::Error error;
        atspi_event_listener_deregister(focusListener.get(), "object:state-changed:focused",
                                        glib::ErrorOut(error));
        for (const char* type : labelChangingEvents) {
            glib::Error changeError;
            atspi_event_listener_deregister(changeListener.get(), type, glib::ErrorOut(changeError));
        }
        focusListener = {};
        changeListener = {};
        focused = {};
        facts.reset();
        connected = false;
    }

    bool trusted() { return status.isEnabled(); }

    /// Whether the bus is on and listened to. Each time it comes on, the focus is looked up once:
    /// no event told where it was placed while nobody listened.
    bool ready() {
        if (!trusted()) {
            wasTrusted = false;
            return false;
        }
        if (!connect())
            return false;
        if (!wasTrusted) {
            wasTrusted = true;
            if (auto found = FocusedElementSearch::find(ownProcessID))
                focused = std::move(found);
        }
        return true;
    }

    /// The focused element of another application, with what stays put about it.
    Facts* focusedFacts() {
        if (!ready() || !focused)
            return nullptr;
        AccessibleElement element(focused);
        if (!facts || !(facts->element == element)) {
            glib::Error error;
            const guint processID = atspi_accessible_get_process_id(focused.get(), glib::ErrorOut(error));
            if (error)
                return nullptr;
            // Built whole rather than emplaced: clang cannot default-construct a nested struct
            // with member initializers inside its enclosing class.
            facts = Facts{.element = element, .processID = static_cast<std::int32_t>(processID)};
            // The roles are read from the application, which must not be this process itself:
            // it would be answering its own synchronous call.
            if (facts->processID != ownProcessID)
                facts->roles = roles(focused.get());
        }
        if (facts->processID == ownProcessID)
            return nullptr;
        if (facts->labelGeneration != labelGeneration) {
            facts->labelGeneration = labelGeneration;
            facts->ownLabel.reset();
            facts->nearby.reset();
        }
        return &*facts;
    }

    const std::string& ownLabel(Facts& facts) {
        if (!facts.ownLabel) {
            AtspiAccessible* element = facts.element.get();
            const Attributes found = attributes(element);
            glib::Error error;
            const std::string identifier =
                glib::takeString(atspi_accessible_get_accessible_id(element, glib::ErrorOut(error)));
            glib::Error roleError;
            const std::string roleName = glib::takeString(
                atspi_accessible_get_localized_role_name(element, glib::ErrorOut(roleError)));
            // AT-SPI has no help text of its own; tooltips arrive as the description.
            facts.ownLabel = join({name(element), description(element), "", found.placeholder, roleName,
                                   identifier, found.domIdentifier, relatedLabel(element)});
        }
        return *facts.ownLabel;
    }

    const std::string& nearby(Facts& facts) {
        if (!facts.nearby)
            facts.nearby = nearbyLabel(facts.element.get());
        return *facts.nearby;
    }

    /// Reads the focused element. With `asFarAsDecisive`, each part is read only when the rules
    /// before it leave the answer open: the label not when the field's shape fails, the nearby labels
    /// not when the earlier texts already name a code, the text not when the label names none.
    std::optional<Reading> read(LabelNeed need) {
        Facts* found = focusedFacts();
        if (!found)
            return std::nullopt;
        const auto current = states(found->element.get());
        if (!current || !current->focused)
            return std::nullopt;

        OTPFieldDescriptor descriptor{
            .role = found->roles.role,
            .subrole = found->roles.subrole,
            .label = {},
            .value = {},
            .isSettable = found->roles.textEntry && current->editable && current->enabled && current->focused,
        };
        // With no value yet, the rules without the label are those of the field's shape.
        if (need == LabelNeed::complete || descriptor.passesRulesOtherThanLabel()) {
            const std::string& own = ownLabel(*found);
            const bool decided =
                need == LabelNeed::asFarAsDecisive && OTPFieldDescriptor::labelNamesCode(own);
            descriptor.label = join({own, decided ? std::string_view() : std::string_view(nearby(*found))});
            if (need == LabelNeed::complete || decided ||
                OTPFieldDescriptor::labelNamesCode(descriptor.label))
                readValue(found->element.get(), descriptor);
        }
        return Reading{found->element, found->processID, std::move(descriptor)};
    }

    std::optional<ScreenRect> onScreen(const ScreenRect& rect) const {
        for (const auto& screen : screens())
            if (screen.contains(rect.midX(), rect.midY()))
                // Element frames and screens share the desktop's top-left origin: nothing to convert.
                return rect;
        return std::nullopt;
    }

    std::optional<FocusedField> focusedOTPField() {
        auto reading = read(LabelNeed::asFarAsDecisive);
        if (!reading || !reading->descriptor.isLikelyOTP())
            return std::nullopt;
        const auto extents = frame(reading->element.get());
        const auto placed = extents ? onScreen(*extents) : std::nullopt;
        if (!placed)
            return std::nullopt;
        return FocusedField{std::move(reading->element), reading->processID, *placed,
                            std::move(reading->descriptor)};
    }

    bool readsBack(AtspiAccessible* element, std::string_view code, bool waitForKeys) {
        const auto deadline = std::chrono::steady_clock::now() + readBackDeadline;
        for (;;) {
            if (textContents(element) == code)
                return true;
            if (!waitForKeys || std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(readBackPause);
        }
    }

    bool stillFocused(const FocusedField& field) {
        if (!focused || !(AccessibleElement(focused) == field.element))
            return false;
        const auto current = states(field.element.get());
        return current && current->focused;
    }

    /// Selects the field's whole text, so that typing replaces it: through the Text interface
    /// where the application honours it, else with Ctrl+A. Fails with unavailable when Control may
    /// still be down, after trying twice to release it: it must not stay down for the user's keys.
    static void selectAll(AtspiAccessible* element) {
        const auto text = glib::ObjectRef<AtspiText>::adopt(atspi_accessible_get_text_iface(element));
        if (!text)
            return;
        glib::Error error;
        const gint count = atspi_text_get_character_count(text.get(), glib::ErrorOut(error));
        if (error || count <= 0)
            return;
        glib::Error setError;
        if (!atspi_text_set_selection(text.get(), 0, 0, count, glib::ErrorOut(setError))) {
            glib::Error addError;
            atspi_text_add_selection(text.get(), 0, count, glib::ErrorOut(addError));
        }
        glib::Error readError;
        const glib::Owned<AtspiRange> selected(
            atspi_text_get_selection(text.get(), 0, glib::ErrorOut(readError)));
        if (selected && selected->start_offset == 0 && selected->end_offset == count)
            return;
        // Some toolkits (Qt Quick) ignore selection requests.
        constexpr glong controlMask = 1 << 2;
        constexpr glong letterA = 0x61;
        const auto send = [](glong code, AtspiKeySynthType type) {
            glib::Error error;
            return atspi_generate_keyboard_event(code, nullptr, type, glib::ErrorOut(error)) && !error;
        };
        // A lock that reports failure may still have taken effect, so it is released all the same.
        const bool locked = send(controlMask, ATSPI_KEY_LOCKMODIFIERS);
        if (locked)
            send(letterA, ATSPI_KEY_SYM);
        if (!send(controlMask, ATSPI_KEY_UNLOCKMODIFIERS)) {
            send(controlMask, ATSPI_KEY_UNLOCKMODIFIERS);
            throw FillError::unavailable();
        }
        if (!locked)
            throw FillError::unavailable();
    }

    void typeInto(const FocusedField& field, std::string_view code) {
        AtspiAccessible* element = field.element.get();
        // Keys go wherever the keyboard focus is: make sure that it is still this field before
        // selecting, and again right before the first key, since selecting takes several calls.
        if (!stillFocused(field))
            throw FillError::focusChanged();
        selectAll(element);
        if (!stillFocused(field))
            throw FillError::focusChanged();
        glib::Error error;
        const std::string keys(code);
        if (!atspi_generate_keyboard_event(0, keys.c_str(), ATSPI_KEY_STRING, glib::ErrorOut(error)) || error)
            throw FillError::unavailable();
    }

    void fill(std::string_view code, const FocusedField& into) {
        // Step one and two look at whatever holds the focus now, eligible or not, so that a field
        // that merely stopped qualifying is told apart from a focus that moved.
        const auto reading = read(LabelNeed::asFarAsDecisive);
        if (!reading || reading->processID != into.processID || !(reading->element == into.element))
            throw FillError::focusChanged();
        if (!reading->descriptor.isLikelyOTP())
            throw FillError::notEligible();
        // A code never carries control characters; one could submit the form (Enter) or move on.
        if (hasControlCharacters(code))
            throw FillError::unavailable();

        AtspiAccessible* element = into.element.get();
        const std::string text(code);
        if (const auto editable = glib::ObjectRef<AtspiEditableText>::adopt(
                atspi_accessible_get_editable_text_iface(element))) {
            glib::Error error;
            // Some applications answer success without writing, hence the read-back.
            if (atspi_editable_text_set_text_contents(editable.get(), text.c_str(), glib::ErrorOut(error)) &&
                !error && readsBack(element, code, false))
                return;
        }
        typeInto(into, code);
        if (!readsBack(element, code, true))
            throw FillError::unavailable();
    }
};

AccessibilityCoordinator::AccessibilityCoordinator(ScreenList screens, std::chrono::milliseconds callTimeout)
    : impl_(std::make_unique<Impl>(std::move(screens), callTimeout)) {}

AccessibilityCoordinator::~AccessibilityCoordinator() = default;

bool AccessibilityCoordinator::isTrusted() const {
    return impl_->trusted();
}

bool AccessibilityCoordinator::requestTrust() {
    AccessibilityStatus::setEnabled(true, impl_->timeout);
    return impl_->status.refresh();
}

std::optional<AccessibilityCoordinator::FocusedField> AccessibilityCoordinator::focusedOTPField() {
    return impl_->focusedOTPField();
}

std::optional<OTPFieldDescriptor> AccessibilityCoordinator::focusedFieldDescriptor() {
    auto reading = impl_->read(Impl::LabelNeed::complete);
    if (!reading)
        return std::nullopt;
    return std::move(reading->descriptor);
}

void AccessibilityCoordinator::fill(std::string_view code, const FocusedField& into) {
    impl_->fill(code, into);
}

} // namespace larkpin
