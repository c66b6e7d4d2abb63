#include "app/services/accessibility/AccessibilityCoordinator.h"
#include "app/services/accessibility/AccessibilityStatus.h"
#include "app/services/accessibility/FocusedElementSearch.h"

#include "support/AccessibilityDesktop.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <unistd.h>

#include <csignal>
#include <string>

namespace larkpin {
namespace {

using namespace std::chrono_literals;
using test::FieldProgram;
using test::pumpUntil;

const ScreenRect xvfbScreen{0, 0, 1280, 800};

/// The GTK field-variants program and a coordinator that watches it.
class AccessibilityCoordinatorTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto missing = test::missingAccessibleDesktop(); !missing.empty())
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
        const bool followed = pumpUntil([&] {
            const auto descriptor = coordinator_->focusedFieldDescriptor();
            return descriptor && descriptor->label.find(" " + id + " ") != std::string::npos;
        });
        ASSERT_TRUE(followed) << "the focus never reached " << id;
    }

    AccessibilityCoordinator::FocusedField recognised(const std::string& id) {
        focus(id);
        auto field = coordinator_->focusedOTPField();
        EXPECT_TRUE(field.has_value()) << id;
        return field.value_or(AccessibilityCoordinator::FocusedField{});
    }

    void expectFillFails(const std::string& code, const AccessibilityCoordinator::FocusedField& field,
                         AccessibilityCoordinator::FillError expected) {
        try {
            coordinator_->fill(code, field);
            ADD_FAILURE() << "the fill succeeded, expected: " << expected.what();
        } catch (const AccessibilityCoordinator::FillError& error) {
            EXPECT_EQ(error, expected);
            EXPECT_STREQ(error.what(), expected.what());
        }
    }

    std::vector<ScreenRect> screens_{xvfbScreen};
    std::unique_ptr<AccessibilityCoordinator> coordinator_;
    std::unique_ptr<FieldProgram> program_;
};

TEST_F(AccessibilityCoordinatorTest, recognisesCodeFieldsOfARealGtkProgramByEveryRule) {
    const struct {
        const char* id;
        bool recognised;
        const char* role;
        const char* subrole;
        bool settable;
    } fields[] = {
        {"labelled", true, "AXTextField", "", true}, // label through the LABELLED_BY relation
        {"password", false, "AXTextField", "AXSecureTextField", true},
        {"combo", false, "AXComboBox", "", true},       // the entry of an editable combo box
        {"nearby-1", true, "AXTextField", "", true},    // sibling label of the field
        {"nearby-3", true, "AXTextField", "", true},    // sibling label three levels up
        {"nearby-4", false, "AXTextField", "", true},   // four levels up is too far
        {"eight", true, "AXTextField", "", true},       // holds 8 characters
        {"nine", false, "AXTextField", "", true},       // holds 9
        {"placeholder", true, "AXTextField", "", true}, // "One-time passcode" as placeholder only
        {"french", true, "AXTextField", "", true},      // "Code de vérification"
        {"name", false, "AXTextField", "", true},
        {"readonly", false, "AXTextField", "", false}, // not editable, so not settable
        {"named", true, "AXTextField", "", true},      // accessible name "One-Time Passcode"
        {"described", true, "AXTextField", "", true},  // description mentions the PIN
        {"area", true, "AXTextArea", "", true},        // multi-line text view
    };
    for (const auto& field : fields) {
        SCOPED_TRACE(field.id);
        focus(field.id);
        const auto descriptor = coordinator_->focusedFieldDescriptor();
        ASSERT_TRUE(descriptor.has_value());
        EXPECT_EQ(descriptor->role, field.role);
        EXPECT_EQ(descriptor->subrole, field.subrole);
        EXPECT_EQ(descriptor->isSettable, field.settable);
        EXPECT_EQ(descriptor->isLikelyOTP(), field.recognised);
        const auto found = coordinator_->focusedOTPField();
        EXPECT_EQ(found.has_value(), field.recognised);
        if (found) {
            EXPECT_EQ(found->processID, program_->process().pid());
            // Whatever the label reading skipped, the answer is the complete descriptor's.
            EXPECT_EQ(found->descriptor.role, descriptor->role);
            EXPECT_EQ(found->descriptor.value, descriptor->value);
        }
    }
}

TEST_F(AccessibilityCoordinatorTest, describesAFieldWithItsLabelValueAndRelatedLabel) {
    focus("eight");
    const auto descriptor = coordinator_->focusedFieldDescriptor();
    ASSERT_TRUE(descriptor.has_value());
    EXPECT_EQ(descriptor->value, "12345678");
    // Name, description, help, placeholder, role name, id, DOM id, then the labelling element's
    // name, description and text, then the nearby label.
    EXPECT_EQ(descriptor->label, "    text eight  Verification code  Verification code Verification code");
}

TEST_F(AccessibilityCoordinatorTest, placesTheFieldInScreenCoordinates) {
    const auto field = recognised("french");
    const auto geometry = program_->geometry("french");
    ASSERT_TRUE(geometry.has_value());
    EXPECT_EQ(field.frame,
              (ScreenRect{static_cast<double>(geometry->x), static_cast<double>(geometry->y),
                          static_cast<double>(geometry->width), static_cast<double>(geometry->height)}));
}

TEST_F(AccessibilityCoordinatorTest, offersAFieldOnlyWhenItsCentreIsOnAScreen) {
    const auto field = recognised("labelled");
    const ScreenRect elsewhere{2000, 0, 1280, 800};
    screens_ = {elsewhere};
    EXPECT_FALSE(coordinator_->focusedOTPField().has_value());
    screens_ = {elsewhere, {field.frame.midX(), field.frame.midY(), 10, 10}};
    EXPECT_TRUE(coordinator_->focusedOTPField().has_value());
    screens_ = {};
    EXPECT_FALSE(coordinator_->focusedOTPField().has_value());
}

TEST_F(AccessibilityCoordinatorTest, fillsTheCodeAndGtkHoldsIt) {
    const auto field = recognised("labelled");
    coordinator_->fill("482913", field);
    EXPECT_EQ(program_->text("labelled"), "482913");

    // The old text goes: the fill replaces, never appends.
    const auto full = recognised("eight");
    coordinator_->fill("A1B2C3", full);
    EXPECT_EQ(program_->text("eight"), "A1B2C3");
}

TEST_F(AccessibilityCoordinatorTest, writesNothingWhenTheFocusMovedBeforeTheFill) {
    const auto field = recognised("labelled");
    focus("name");
    expectFillFails("482913", field, AccessibilityCoordinator::FillError::focusChanged());
    // Moving to another code field is a change too.
    focus("french");
    expectFillFails("482913", field, AccessibilityCoordinator::FillError::focusChanged());
    EXPECT_EQ(program_->text("labelled"), "");
    EXPECT_EQ(program_->text("name"), "");
    EXPECT_EQ(program_->text("french"), "");
}

TEST_F(AccessibilityCoordinatorTest, writesNothingIntoAFieldThatStoppedQualifying) {
    const auto field = recognised("labelled");
    program_->set("labelled", "123456789");
    expectFillFails("482913", field, AccessibilityCoordinator::FillError::notEligible());
    EXPECT_EQ(program_->text("labelled"), "123456789");

    program_->set("labelled", "");
    program_->setEditable("labelled", false);
    expectFillFails("482913", field, AccessibilityCoordinator::FillError::notEligible());
    EXPECT_EQ(program_->text("labelled"), "");
}

TEST_F(AccessibilityCoordinatorTest, refusesACodeThatCouldSubmitTheForm) {
    const auto field = recognised("labelled");
    expectFillFails("4829\n13", field, AccessibilityCoordinator::FillError::unavailable());
    EXPECT_EQ(program_->text("labelled"), "");
}

TEST_F(AccessibilityCoordinatorTest, reportsAFocusChangeWhenTheApplicationHangsOrExits) {
    const auto field = recognised("labelled");
    program_->process().signal(SIGSTOP);
    expectFillFails("482913", field, AccessibilityCoordinator::FillError::focusChanged());
    EXPECT_FALSE(coordinator_->focusedOTPField().has_value());
    program_->process().signal(SIGCONT);
    EXPECT_TRUE(coordinator_->focusedOTPField().has_value());

    program_->process().signal(SIGKILL);
    expectFillFails("482913", field, AccessibilityCoordinator::FillError::focusChanged());
    EXPECT_FALSE(coordinator_->focusedOTPField().has_value());
}

TEST_F(AccessibilityCoordinatorTest, neverOffersAFieldOfItsOwnProcess) {
    recognised("labelled");
    if (!gtk_init_check(nullptr, nullptr))
        GTEST_SKIP() << "GTK cannot open the display";
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    GtkWidget* row = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
    GtkWidget* label = gtk_label_new("Enter the 6-digit verification code");
    GtkWidget* entry = gtk_entry_new();
    gtk_label_set_mnemonic_widget(GTK_LABEL(label), entry);
    gtk_container_add(GTK_CONTAINER(row), label);
    gtk_container_add(GTK_CONTAINER(row), entry);
    gtk_container_add(GTK_CONTAINER(window), row);
    gtk_widget_show_all(window);
    gtk_window_present(GTK_WINDOW(window));
    gtk_widget_grab_focus(entry);

    EXPECT_TRUE(pumpUntil([&] { return gtk_widget_has_focus(entry); }))
        << "our own window never took the focus";
    EXPECT_TRUE(pumpUntil([&] { return !coordinator_->focusedOTPField().has_value(); }));
    // Our own code field keeps the focus, and it is still never offered.
    for (int round = 0; round < 20; ++round) {
        pumpUntil([] { return false; }, 20ms);
        EXPECT_FALSE(coordinator_->focusedOTPField().has_value());
    }
    gtk_widget_destroy(window);
}

TEST_F(AccessibilityCoordinatorTest, findsTheFieldThatHadTheFocusBeforeItStarted) {
    const auto field = recognised("labelled");
    AccessibilityCoordinator late([this] { return screens_; });
    const auto found = late.focusedOTPField();
    ASSERT_TRUE(found.has_value()) << "no focus event came, so only the start-up look-up can know";
    EXPECT_EQ(found->element, field.element);
    EXPECT_EQ(found->processID, program_->process().pid());
    EXPECT_EQ(found->frame, field.frame);

    // A plain field is found too, and then judged as usual.
    focus("name");
    AccessibilityCoordinator later([this] { return screens_; });
    const auto descriptor = later.focusedFieldDescriptor();
    ASSERT_TRUE(descriptor.has_value());
    EXPECT_NE(descriptor->label.find(" name "), std::string::npos);
    EXPECT_FALSE(later.focusedOTPField().has_value());
    // It follows the focus from there on.
    program_->focus("french");
    EXPECT_TRUE(pumpUntil([&] { return later.focusedOTPField().has_value(); }));
}

TEST_F(AccessibilityCoordinatorTest, searchesTheActiveWindowWithOrWithoutTheApplicationsHelp) {
    const auto field = recognised("nearby-3");
    const auto ownProcess = static_cast<std::int32_t>(::getpid());
    for (const auto method : {FocusedElementSearch::Method::collection, FocusedElementSearch::Method::visit}) {
        SCOPED_TRACE(method == FocusedElementSearch::Method::collection ? "collection" : "visit");
        const AccessibleElement found(FocusedElementSearch::find(ownProcess, method));
        EXPECT_EQ(found, field.element);
        // The excluded process is never asked, so its focused field is not found.
        EXPECT_FALSE(FocusedElementSearch::find(program_->process().pid(), method));
    }
}

TEST_F(AccessibilityCoordinatorTest, seesNothingWhileAccessibilityIsOffAndFollowsOnceItIsOn) {
    focus("labelled");
    ASSERT_TRUE(AccessibilityStatus::setEnabled(false, 1s));
    AccessibilityCoordinator fresh([this] { return screens_; });
    EXPECT_FALSE(fresh.isTrusted());
    EXPECT_FALSE(fresh.focusedOTPField().has_value());
    EXPECT_FALSE(fresh.focusedFieldDescriptor().has_value());
    // A coordinator that was running hears of it through the bus's signal.
    EXPECT_TRUE(pumpUntil([&] { return !coordinator_->isTrusted(); }));
    EXPECT_FALSE(coordinator_->focusedOTPField().has_value());

    EXPECT_TRUE(fresh.requestTrust());
    EXPECT_TRUE(fresh.isTrusted());
    // The field that took the focus while nobody listened is found at once, without an event.
    const auto found = fresh.focusedOTPField();
    ASSERT_TRUE(found.has_value());
    EXPECT_EQ(found->processID, program_->process().pid());
    EXPECT_TRUE(pumpUntil([&] { return coordinator_->focusedOTPField().has_value(); }));
    // The already-running program announces its next focus change.
    program_->focus("name");
    program_->focus("french");
    EXPECT_TRUE(pumpUntil([&] { return fresh.focusedOTPField().has_value(); }));
}

} // namespace
} // namespace larkpin
