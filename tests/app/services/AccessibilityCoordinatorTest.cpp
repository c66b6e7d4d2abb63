#include "app/services/accessibility/AccessibilityCoordinator.h"
#include "app/services/accessibility/AccessibilityStatus.h"
#include "app/services/accessibility/FocusedElementSearch.h"
#include "app/services/GLibHandles.h"

#include "support/AccessibilityDesktop.h"

#include <atspi/atspi.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <unistd.h>

#include <csignal>
#include <set>
#include <string>

namespace larkpin {
namespace {

using namespace std::chrono_literals;
using test::FieldProgram;
using test::pumpUntil;
using FillError = AccessibilityCoordinator::FillError;

/// The GTK field-variants program (tests/support/FieldVariants.c) and a coordinator that watches it.
class AccessibilityCoordinatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto missing = test::missingDesktop(true); !missing.empty())
            GTEST_SKIP() << missing;
        coordinator_ = std::make_unique<AccessibilityCoordinator>([this] { return screens_; });
        // Listening first: the program must learn that someone wants its focus events.
        coordinator_->focusedOTPField();
        program_ = std::make_unique<FieldProgram>(std::vector<std::string>{LARKPIN_FIELD_VARIANTS_PATH});
        ASSERT_TRUE(program_->ready()) << "the GTK field-variants program did not start";
    }

    /// Moves the focus to a field and waits until the coordinator follows. Every field carries its
    /// name as its accessible id, which is one of the label's texts.
    void focus(const std::string& id) {
        program_->focus(id);
        ASSERT_TRUE(test::focusReaches(*coordinator_, " " + id + " ")) << "the focus never reached " << id;
    }

    AccessibilityCoordinator::FocusedField recognised(const std::string& id) {
        focus(id);
        auto field = coordinator_->focusedOTPField();
        EXPECT_TRUE(field.has_value()) << id;
        return field.value_or(AccessibilityCoordinator::FocusedField{});
    }

    /// How filling `field` failed; nothing when it succeeded.
    std::optional<FillError> fillError(const AccessibilityCoordinator::FocusedField& field,
                                       const std::string& code = "482913") {
        try {
            coordinator_->fill(code, field);
        } catch (const FillError& error) {
            return error;
        }
        return std::nullopt;
    }

    std::vector<ScreenRect> screens_{{0, 0, 1280, 800}};
    std::unique_ptr<AccessibilityCoordinator> coordinator_;
    std::unique_ptr<FieldProgram> program_;
};

TEST_F(AccessibilityCoordinatorTest, recognisesCodeFieldsOfARealGtkProgramByEveryRule) {
    // Each field but "name" has a label naming a code. Recognised: labels through the LABELLED_BY
    // relation ("labelled"), a sibling label of the field or of an ancestor three levels up, the
    // placeholder, "Code de vérification", the accessible name or description; a field holding 8
    // characters, even 8 letters with many marks each; a multi-line text view; a field among 400
    // labels, its own next to it. Not: a password field, the entry of an editable combo box, a label
    // four levels up, 9 characters, a read-only field. No field's parent is read beyond 32 children.
    const std::pair<const char*, bool> fields[] = {
        {"labelled", true},  {"nearby-1", true}, {"nearby-3", true},  {"placeholder", true},
        {"french", true},    {"named", true},    {"described", true}, {"eight", true},
        {"area", true},      {"marks-8", true},  {"crowded", true},   {"marks-9", false},
        {"password", false}, {"combo", false},   {"nearby-4", false}, {"nine", false},
        {"name", false},     {"readonly", false}};
    for (const auto& [id, recognised] : fields) {
        program_->reads(id);
        focus(id);
        const auto descriptor = coordinator_->focusedFieldDescriptor();
        const auto found = coordinator_->focusedOTPField();
        ASSERT_EQ(found.has_value(), recognised) << id;
        // Whatever the shorter reading skipped, the answer is the complete descriptor's.
        EXPECT_EQ(descriptor && descriptor->isLikelyOTP(), recognised) << id;
        EXPECT_TRUE(!found || found->descriptor.value == descriptor->value) << id;
        EXPECT_LE(program_->reads(id).value().distinctChildren, 32) << id;
    }
}

TEST_F(AccessibilityCoordinatorTest, readsAFieldsTextOnlyAsFarAsTheLengthRuleNeeds) {
    // Both hold 250,000 characters: a field that no label calls a code field is not read at all,
    // a code field only by its first piece.
    for (const auto& [id, widest] : {std::pair{"notes", 0}, std::pair{"pasted", 64}}) {
        focus(id);
        program_->reads(id);
        EXPECT_FALSE(coordinator_->focusedOTPField().has_value());
        EXPECT_LE(program_->reads(id).value().widestText, widest) << id;
    }
}

TEST_F(AccessibilityCoordinatorTest, keepsTheLabelsItReadWhileOnlyOtherApplicationsChange) {
    FieldProgram other({LARKPIN_FIELD_VARIANTS_PATH, "Other", "background"});
    ASSERT_TRUE(other.ready());
    recognised("nearby-1");
    // A listener of our own hears each event in the same dispatch as the coordinator's listener.
    std::set<std::int32_t> senders;
    const auto listener = glib::ObjectRef<AtspiEventListener>::adopt(atspi_event_listener_new(
        [](AtspiEvent* event, void* heard) {
            glib::Error error;
            static_cast<std::set<std::int32_t>*>(heard)->insert(static_cast<std::int32_t>(
                atspi_accessible_get_process_id(event->source, glib::ErrorOut(error))));
            g_boxed_free(ATSPI_TYPE_EVENT, event);
        },
        &senders, nullptr));
    ASSERT_TRUE(atspi_event_listener_register(listener.get(), "object:text-changed", nullptr));
    for (FieldProgram* changed : {&other, program_.get()}) {
        program_->reads("nearby-1");
        changed->set("name", "changed");
        EXPECT_TRUE(pumpUntil([&] { return senders.count(changed->process().pid()) > 0; }));
        EXPECT_TRUE(coordinator_->focusedOTPField().has_value());
        // Only the field's own application makes the coordinator read its nearby labels again.
        EXPECT_EQ(program_->reads("nearby-1").value().childRequests > 0, changed == program_.get());
    }
    atspi_event_listener_deregister(listener.get(), "object:text-changed", nullptr);
}

TEST_F(AccessibilityCoordinatorTest, placesTheFieldInScreenCoordinatesWhenItsCentreIsOnAScreen) {
    const auto field = recognised("french");
    EXPECT_EQ(program_->geometry("french"), field.frame);
    screens_ = {{2000, 0, 1280, 800}};
    EXPECT_FALSE(coordinator_->focusedOTPField().has_value());
    screens_.push_back({field.frame.midX(), field.frame.midY(), 10, 10});
    EXPECT_TRUE(coordinator_->focusedOTPField().has_value());
}

TEST_F(AccessibilityCoordinatorTest, fillsTheCodeInPlaceOfWhatTheFieldHeld) {
    for (const char* id : {"labelled", "eight"}) {
        coordinator_->fill("A1B2C3", recognised(id));
        EXPECT_EQ(program_->text(id), "A1B2C3");
    }
}

TEST_F(AccessibilityCoordinatorTest, writesNothingWhenTheFocusMovedOrTheFieldStoppedQualifying) {
    const auto field = recognised("labelled");
    // A code never carries control characters: Enter could submit the form.
    EXPECT_EQ(fillError(field, "4829\n13"), FillError::unavailable());
    focus("french"); // another code field is a change too
    EXPECT_EQ(fillError(field), FillError::focusChanged());
    focus("labelled");
    program_->set("labelled", "123456789");
    EXPECT_EQ(fillError(field), FillError::notEligible());
    EXPECT_EQ(program_->text("labelled"), "123456789");
    EXPECT_EQ(program_->text("french"), "");
}

TEST_F(AccessibilityCoordinatorTest, typesNothingWhenTheFocusMovesWhileTheTextIsSelected) {
    // "jumpy" ignores writes of its whole text, so the code is typed; selecting its text moves the
    // focus on to "name", where the keys would land.
    EXPECT_EQ(fillError(recognised("jumpy")), FillError::focusChanged());
    EXPECT_EQ(program_->text("name"), "");
}

TEST_F(AccessibilityCoordinatorTest, reportsAFocusChangeWhenTheApplicationHangsOrExits) {
    const auto field = recognised("labelled");
    program_->process().signal(SIGSTOP);
    EXPECT_EQ(fillError(field), FillError::focusChanged());
    EXPECT_FALSE(coordinator_->focusedOTPField().has_value());
    program_->process().signal(SIGCONT);
    EXPECT_TRUE(coordinator_->focusedOTPField().has_value());
    program_->process().signal(SIGKILL);
    EXPECT_EQ(fillError(field), FillError::focusChanged());
    EXPECT_FALSE(coordinator_->focusedOTPField().has_value());
}

TEST_F(AccessibilityCoordinatorTest, neverOffersAFieldOfItsOwnProcess) {
    recognised("labelled");
    if (!gtk_init_check(nullptr, nullptr))
        GTEST_SKIP() << "GTK cannot open the display";
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* entry = gtk_entry_new();
    atk_object_set_name(gtk_widget_get_accessible(entry), "Enter the 6-digit verification code");
    gtk_container_add(GTK_CONTAINER(window), entry);
    gtk_widget_show_all(window);
    gtk_window_present(GTK_WINDOW(window));
    gtk_widget_grab_focus(entry);
    EXPECT_TRUE(pumpUntil([&] { return gtk_widget_has_focus(entry); })) << "our window never took the focus";
    // Our own code field keeps the focus, and it is never offered.
    EXPECT_FALSE(pumpUntil([&] { return coordinator_->focusedOTPField().has_value(); }, 500ms));
    gtk_widget_destroy(window);
}

TEST_F(AccessibilityCoordinatorTest, searchesTheActiveWindowWithOrWithoutTheApplicationsHelp) {
    const auto field = recognised("nearby-3");
    const auto ownProcess = static_cast<std::int32_t>(::getpid());
    for (const auto method :
         {FocusedElementSearch::Method::collection, FocusedElementSearch::Method::visit}) {
        SCOPED_TRACE(method == FocusedElementSearch::Method::collection ? "collection" : "visit");
        EXPECT_EQ(AccessibleElement(FocusedElementSearch::find(ownProcess, method)), field.element);
        // The excluded process is never asked, so its focused field is not found.
        EXPECT_FALSE(FocusedElementSearch::find(program_->process().pid(), method));
    }
}

TEST_F(AccessibilityCoordinatorTest, seesNothingWhileAccessibilityIsOffAndFollowsOnceItIsOn) {
    const auto field = recognised("labelled");
    ASSERT_TRUE(AccessibilityStatus::setEnabled(false, 1s));
    AccessibilityCoordinator fresh([this] { return screens_; });
    EXPECT_FALSE(fresh.focusedFieldDescriptor().has_value());
    // A coordinator that was running hears of it through the bus's signal.
    EXPECT_TRUE(pumpUntil([&] { return !coordinator_->isTrusted(); }));
    EXPECT_FALSE(coordinator_->focusedOTPField().has_value());

    EXPECT_TRUE(fresh.requestTrust());
    // The field that took the focus while nobody listened is found at once, without an event.
    const auto found = fresh.focusedOTPField();
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->element, field.element);
    EXPECT_TRUE(pumpUntil([&] { return coordinator_->focusedOTPField().has_value(); }));
    // It follows the focus from there on.
    program_->focus("french");
    EXPECT_TRUE(
        pumpUntil([&] { return !(fresh.focusedOTPField().value_or(*found).element == field.element); }));
}

} // namespace
} // namespace larkpin
