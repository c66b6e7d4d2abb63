#include "core/models/OTPFieldDescriptor.h"

#include <gtest/gtest.h>

#include <string>

namespace larkpin {
namespace {

OTPFieldDescriptor codeField() {
    return {.role = "AXTextField",
            .subrole = "",
            .label = "Enter the 6-digit verification code",
            .value = "",
            .isSettable = true};
}

struct Variation {
    const char* name;
    OTPFieldDescriptor descriptor;
    bool expected;
};

OTPFieldDescriptor with(auto change) {
    OTPFieldDescriptor descriptor = codeField();
    change(descriptor);
    return descriptor;
}

TEST(OTPFieldDescriptor, appliesEachRuleOfTheFieldShape) {
    const Variation variations[] = {
        {"labelled empty text field", codeField(), true},
        {"text area", with([](auto& d) { d.role = "AXTextArea"; }), true},
        {"not settable", with([](auto& d) { d.isSettable = false; }), false},
        {"password field", with([](auto& d) { d.subrole = "AXSecureTextField"; }), false},
        {"other subrole", with([](auto& d) { d.subrole = "AXSearchField"; }), true},
        {"combo box", with([](auto& d) { d.role = "AXComboBox"; }), false},
        {"no role", with([](auto& d) { d.role = ""; }), false},
        {"role differs in case", with([](auto& d) { d.role = "axtextfield"; }), false},
        {"eight characters", with([](auto& d) { d.value = "12345678"; }), true},
        {"nine characters", with([](auto& d) { d.value = "123456789"; }), false},
        // Characters are what the user sees: eight accented letters are sixteen bytes.
        {"eight two-byte characters", with([](auto& d) { d.value = "éééééééé"; }), true},
        {"eight decomposed characters",
         with([](auto& d) { d.value = "e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301"; }), true},
        {"nine emoji", with([](auto& d) {
             d.value = "👍🏽👍🏽👍🏽👍🏽👍🏽👍🏽👍🏽👍🏽👍🏽";
         }),
         false},
        {"no label", with([](auto& d) { d.label = ""; }), false},
    };
    for (const auto& variation : variations)
        EXPECT_EQ(variation.descriptor.isLikelyOTP(), variation.expected) << variation.name;
}

TEST(OTPFieldDescriptor, findsEveryKeywordAnywhereInTheLabelWhateverItsCaseAndAccents) {
    const struct {
        const char* label;
        bool expected;
    } labels[] = {
        {"OTP", true},
        {"Your one-time password", true},
        {"One Time Code", true},
        {"One-Time Passcode", true},
        {"Security Code", true},
        {"PIN", true},
        {"Enter your 2FA token", true},
        {"Two-Factor login", true},
        {"Authentication code", true},
        {"Confirmation Code", true},
        {"Code de vérification", true},
        {"CODE DE VÉRIFICATION", true},
        {"Bestätigungscode (Verification)", true},
        {"Vérificátion", true},                        // marks dropped wherever they sit
        {"spinning wheel", true},                      // keywords match inside words
        {"  name   placeholder  security code", true}, // label pieces joined with runs of spaces
        {"İPİN", true},                                // dotted capital I folds to a plain i
        {"Name", false},
        {"E-mail address", false},
        {"Password", false},
        {"Security question", false},
        {"one  time", false}, // two spaces are not one
        {"onetime", false},
        {"two factor", false},
        {"P I N", false},
        {"", false},
    };
    for (const auto& [label, expected] : labels) {
        EXPECT_EQ(OTPFieldDescriptor::labelNamesCode(label), expected) << label;
        auto descriptor = codeField();
        descriptor.label = label;
        EXPECT_EQ(descriptor.isLikelyOTP(), expected) << label;
    }
}

TEST(OTPFieldDescriptor, foldsCaseAndDiacritics) {
    EXPECT_EQ(OTPFieldDescriptor::folded("Code de Vérification"), "code de verification");
    EXPECT_EQ(OTPFieldDescriptor::folded("ÅNGSTRÖM ñ"), "angstrom n");
    EXPECT_EQ(OTPFieldDescriptor::folded("Straße"), "strasse");
    EXPECT_EQ(OTPFieldDescriptor::folded("ΣΊΣΥΦΟΣ"), "σισυφοσ");
    EXPECT_EQ(OTPFieldDescriptor::folded("Plain ASCII 123-X"), "plain ascii 123-x");
}

TEST(OTPFieldDescriptor, labelFreeRulesAgreeWithTheFullTestWheneverTheLabelNamesACode) {
    for (const auto& descriptor : {
             codeField(),
             with([](auto& d) { d.isSettable = false; }),
             with([](auto& d) { d.subrole = "AXSecureTextField"; }),
             with([](auto& d) { d.role = "AXStaticText"; }),
             with([](auto& d) { d.value = "123456789"; }),
             with([](auto& d) {
                 d.role = "AXTextArea";
                 d.value = "1234";
             }),
         })
        EXPECT_EQ(descriptor.passesRulesOtherThanLabel(), descriptor.isLikelyOTP()) << descriptor.role;
}

TEST(OTPFieldDescriptor, comparesEveryField) {
    EXPECT_EQ(codeField(), codeField());
    EXPECT_NE(codeField(), with([](auto& d) { d.role = "AXTextArea"; }));
    EXPECT_NE(codeField(), with([](auto& d) { d.subrole = "x"; }));
    EXPECT_NE(codeField(), with([](auto& d) { d.label = "PIN"; }));
    EXPECT_NE(codeField(), with([](auto& d) { d.value = "1"; }));
    EXPECT_NE(codeField(), with([](auto& d) { d.isSettable = false; }));
}

} // namespace
} // namespace larkpin
