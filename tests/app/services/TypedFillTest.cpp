#include "app/services/accessibility/AccessibilityCoordinator.h"
#include "app/services/accessibility/AccessibilityStatus.h"

#include "support/AccessibilityDesktop.h"
#include "support/CodePage.h"
#include "support/ChildProcess.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace larkpin {
namespace {

using namespace std::chrono_literals;
using test::pumpUntil;

// Applications without an EditableText interface (Qt Quick, Chromium) are filled by typed keys.
class TypedFillTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const auto missing = test::missingAccessibleDesktop(); !missing.empty())
            GTEST_SKIP() << missing;
        coordinator_.focusedOTPField(); // listening before the application starts
    }

    /// Waits until the focused element's label mentions `marker`.
    bool focusReaches(const std::string& marker, std::chrono::milliseconds timeout = 20s) {
        return pumpUntil(
            [&] {
                const auto descriptor = coordinator_.focusedFieldDescriptor();
                return descriptor && descriptor->label.find(marker) != std::string::npos;
            },
            timeout);
    }

    AccessibilityCoordinator coordinator_{[] { return std::vector<ScreenRect>{{0, 0, 1280, 800}}; }};
};

TEST_F(TypedFillTest, fillsAQtQuickTextField) {
#ifndef LARKPIN_QT_QUICK_FIELDS_PATH
    GTEST_SKIP() << "built without Qt 6 Quick (scripts/setup installs it)";
#else
    ::setenv("QT_QUICK_BACKEND", "software", 1);
    ::setenv("QT_QPA_PLATFORM", "xcb", 1);
    test::FieldProgram program({LARKPIN_QT_QUICK_FIELDS_PATH});
    ASSERT_TRUE(program.ready()) << "the Qt Quick program did not start";
    program.set("code", "old");
    program.focus("code");
    ASSERT_TRUE(focusReaches("Enter the 6-digit verification code"));

    const auto field = coordinator_.focusedOTPField();
    ASSERT_TRUE(field.has_value());
    EXPECT_EQ(field->processID, program.process().pid());
    // The old text is selected and typed over.
    coordinator_.fill("739104", *field);
    EXPECT_EQ(program.text("code"), "739104");
    EXPECT_EQ(program.text("name"), "");

    // Moving the focus away before the fill types nothing anywhere.
    program.focus("name");
    ASSERT_TRUE(focusReaches("Name"));
    EXPECT_THROW(coordinator_.fill("111111", *field), AccessibilityCoordinator::FillError);
    EXPECT_EQ(program.text("code"), "739104");
    EXPECT_EQ(program.text("name"), "");
#endif
}

/// The title of the active window, through the window manager's hints.
std::string activeWindowTitle() {
    const auto active = test::ChildProcess::run({"/usr/bin/xprop", "-root", "_NET_ACTIVE_WINDOW"});
    const auto hash = active.out.rfind(' ');
    if (active.status != 0 || hash == std::string::npos)
        return {};
    const std::string window = active.out.substr(hash + 1, active.out.find('\n') - hash - 1);
    return test::ChildProcess::run({"/usr/bin/xprop", "-id", window, "_NET_WM_NAME"}).out;
}

TEST_F(TypedFillTest, fillsACodeInputInChromium) {
    const char* browser = "/usr/bin/chromium";
    if (!std::filesystem::exists(browser))
        GTEST_SKIP() << "Chromium is not installed (scripts/setup installs Debian's chromium)";
    const test::TemporaryFolder folder;
    const auto page = folder.path() / "code.html";
    std::ofstream(page) << test::codePage(20);
    const auto profile = folder.path() / "profile";
    // Chromium reads the accessibility switch only at start; the session turned it on already.
    test::ChildProcess chromium(
        {"/bin/sh", "-c",
         "exec \"$0\" --force-renderer-accessibility --no-sandbox --disable-gpu "
         "--no-first-run --disable-background-networking --disable-component-update "
         "--disable-sync --user-data-dir=\"$1\" \"file://$2\" >/dev/null 2>&1",
         browser, profile.string(), page.string()});
    ASSERT_TRUE(focusReaches(" code-input ", 60s)) << "the code input of the page never had the focus";

    const auto field = coordinator_.focusedOTPField();
    ASSERT_TRUE(field.has_value());
    EXPECT_EQ(field->descriptor.role, "AXTextField");
    EXPECT_GT(field->frame.width, 0);
    coordinator_.fill("582046", *field);
    EXPECT_TRUE(pumpUntil([] { return activeWindowTitle().find("value:582046") != std::string::npos; }))
        << activeWindowTitle();
    // Filling again replaces the code rather than appending to it.
    coordinator_.fill("190377", *field);
    EXPECT_TRUE(pumpUntil([] { return activeWindowTitle().find("value:190377") != std::string::npos; }))
        << activeWindowTitle();
}

} // namespace
} // namespace larkpin
