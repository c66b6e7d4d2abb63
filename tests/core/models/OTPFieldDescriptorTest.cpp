#include "core/models/OTPFieldDescriptor.h"

#include <gtest/gtest.h>

namespace larkpin {
namespace {

// The accessibility tests run these rules on real GTK fields (password, read-only, combo box, text
// area, 8 and 9 characters, labels from every source); here are the cases no field shows there.

/// A settable, empty text field labelled as a code field, then changed by `change`.
OTPFieldDescriptor codeField(void (*change)(OTPFieldDescriptor&) = [](OTPFieldDescriptor&) {}) {
    OTPFieldDescriptor descriptor{"AXTextField", "", "Enter the 6-digit verification code", "", true};
    change(descriptor);
    return descriptor;
}

TEST(OTPFieldDescriptor, appliesEachRuleOfTheFieldShape) {
    const struct {
        const char* name;
        OTPFieldDescriptor descriptor;
        bool expected;
    } variations[] = {
        {"other subrole", codeField([](auto& d) { d.subrole = "AXSearchField"; }), true},
        {"role differs in case", codeField([](auto& d) { d.role = "axtextfield"; }), false},
        // Characters are what the user sees: eight accented letters are sixteen bytes.
        {"eight two-byte letters", codeField([](auto& d) { d.value = "éééééééé"; }), true},
        {"nine emoji", codeField([](auto& d) {
             d.value = "👍🏽👍🏽👍🏽👍🏽👍🏽👍🏽👍🏽👍🏽👍🏽";
         }),
         false},
    };
    for (const auto& [name, descriptor, expected] : variations) {
        EXPECT_EQ(descriptor.isLikelyOTP(), expected) << name;
        // Once the label names a code, the rules without it give the whole answer.
        EXPECT_EQ(descriptor.passesRulesOtherThanLabel(), expected) << name;
    }
}

TEST(OTPFieldDescriptor, findsEveryKeywordAnywhereInTheLabelWhateverItsCaseAndAccents) {
    // Marks are dropped wherever they sit, keywords match inside words and among label pieces
    // joined by runs of spaces, and a dotted capital I folds to a plain i.
    for (const char* label :
         {"OTP", "One Time Code", "Passcode", "Enter your 2FA token", "Two-Factor login",
          "Authentication code", "Confirmation Code", "CODE DE VÉRIFICATION", "Vérificátion",
          "spinning wheel", "  name   placeholder  security code", "İPİN"})
        EXPECT_TRUE(OTPFieldDescriptor::labelNamesCode(label)) << label;
    for (const char* label :
         {"Password", "Security question", "one  time", "onetime", "two factor", "P I N", ""})
        EXPECT_FALSE(OTPFieldDescriptor::labelNamesCode(label)) << label;
}

TEST(OTPFieldDescriptor, foldsCaseAndDiacritics) {
    EXPECT_EQ(OTPFieldDescriptor::folded("ÅNGSTRÖM ñ"), "angstrom n");
    EXPECT_EQ(OTPFieldDescriptor::folded("Straße"), "strasse");
    EXPECT_EQ(OTPFieldDescriptor::folded("ΣΊΣΥΦΟΣ"), "σισυφοσ");
    EXPECT_EQ(OTPFieldDescriptor::folded("Plain ASCII 123-X"), "plain ascii 123-x");
}

} // namespace
} // namespace larkpin
