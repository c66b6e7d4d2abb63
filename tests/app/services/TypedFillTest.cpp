#include "app/services/accessibility/AccessibilityCoordinator.h"

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
        if (const auto missing = test::missingDesktop(true); !missing.empty())
            GTEST_SKIP() << missing;
        coordinator_.focusedOTPField(); // listening before the application starts
    }

    /// The focused field once its label mentions `marker`.
    std::optional<AccessibilityCoordinator::FocusedField>
    fieldOnceFocused(const std::string& marker, std::chrono::milliseconds timeout) {
        EXPECT_TRUE(test::focusReaches(coordinator_, marker, timeout))
            << "the focus never reached " << marker;
        return coordinator_.focusedOTPField();
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
    program.focus("code");
    const auto field = fieldOnceFocused("Enter the 6-digit verification code", 30s);
    ASSERT_TRUE(field.has_value());
    // Qt Quick ignores selection requests: the second code replaces the first through Ctrl+A.
    for (const std::string code : {"739104", "582046"}) {
        coordinator_.fill(code, *field);
        EXPECT_EQ(program.text("code"), code);
    }
    EXPECT_EQ(program.text("name"), "");
#endif
}

/// The title of the active window, through the window manager's hints.
std::string activeWindowTitle() {
    const char* command = "xprop -id \"$(xprop -root _NET_ACTIVE_WINDOW | cut -d' ' -f5)\" _NET_WM_NAME";
    return test::ChildProcess::run({"/bin/sh", "-c", command}).out;
}

TEST_F(TypedFillTest, fillsACodeInputInChromium) {
    const char* browser = "/usr/bin/chromium";
    if (!std::filesystem::exists(browser))
        GTEST_SKIP() << "Chromium is not installed (scripts/setup installs Debian's chromium)";
    const test::TemporaryFolder folder;
    const auto page = folder.path() / "code.html";
    std::ofstream(page) << test::codePage(20);
    // Chromium reads the accessibility switch only at start; the session turned it on already.
    test::ChildProcess chromium(
        {"/bin/sh", "-c",
         "exec \"$0\" --force-renderer-accessibility --no-sandbox --disable-gpu --no-first-run "
         "--disable-background-networking --disable-component-update --disable-sync --user-data-dir=\"$1\" "
         "\"file://$2\" >/dev/null 2>&1",
         browser, (folder.path() / "profile").string(), page.string()});
    const auto field = fieldOnceFocused(" code-input ", 60s);
    ASSERT_TRUE(field.has_value());
    // Filling again replaces the code rather than appending to it.
    for (const std::string code : {"582046", "190377"}) {
        coordinator_.fill(code, *field);
        EXPECT_TRUE(pumpUntil([&] { return activeWindowTitle().find("value:" + code) != std::string::npos; }))
            << activeWindowTitle();
    }
}

} // namespace
} // namespace larkpin
