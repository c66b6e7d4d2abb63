// How long one focusedOTPField() takes, the call the monitoring loop makes every 0.35 seconds:
// with a recognised GTK code field focused, with a plain GTK field focused (the label is read in
// full, the nearby-label climb included), and with a code input focused in Chromium on a page
// whose form holds 300 other elements. Run inside scripts/test-session:
//
//   scripts/test-session build/bench/larkpin-focus-bench [calls]
//
// The last line reads "focus recognised-median-us: A other-median-us: B browser-median-us: C".
#include "app/services/accessibility/AccessibilityCoordinator.h"
#include "app/services/accessibility/AccessibilityStatus.h"

#include "support/AccessibilityDesktop.h"
#include "support/CodePage.h"
#include "support/TemporaryFolder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using larkpin::AccessibilityCoordinator;

/// Median duration of `calls` calls, in microseconds; the events that arrive between calls are
/// handled outside the measurement, as the application's event loop would.
template <typename Call> double medianMicroseconds(int calls, Call call) {
    std::vector<double> samples;
    for (int i = 0; i < calls; ++i) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        const auto start = std::chrono::steady_clock::now();
        call();
        samples.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::nth_element(samples.begin(), samples.begin() + samples.size() / 2, samples.end());
    return samples[samples.size() / 2];
}

int fail(const std::string& message) {
    std::cerr << "bench: " << message << "\n";
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    const int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
    if (const auto missing = larkpin::test::missingDesktop(); !missing.empty())
        return fail(missing);
    if (!larkpin::AccessibilityStatus::isEnabled(1s))
        return fail("the accessibility bus is off: run inside scripts/test-session");

    AccessibilityCoordinator coordinator([] { return std::vector<larkpin::ScreenRect>{{0, 0, 1280, 800}}; });
    coordinator.focusedOTPField();

    larkpin::test::FieldProgram gtk({LARKPIN_FIELD_VARIANTS_PATH});
    if (!gtk.ready())
        return fail("the GTK field-variants program did not start");
    gtk.focus("labelled");
    if (!larkpin::test::focusReaches(coordinator, " labelled ", 10s) || !coordinator.focusedOTPField())
        return fail("the GTK code field was not recognised");
    const double recognised = medianMicroseconds(calls, [&] {
        if (!coordinator.focusedOTPField())
            std::abort();
    });

    gtk.focus("name");
    if (!larkpin::test::focusReaches(coordinator, " name ", 10s))
        return fail("the GTK name field never had the focus");
    const double other = medianMicroseconds(calls, [&] {
        if (coordinator.focusedOTPField())
            std::abort();
    });
    std::printf("gtk recognised %.0f us, other %.0f us (median of %d calls)\n", recognised, other, calls);

    std::string browser = "n/a";
    if (std::filesystem::exists("/usr/bin/chromium")) {
        const larkpin::test::TemporaryFolder folder;
        const auto page = folder.path() / "code.html";
        std::ofstream(page) << larkpin::test::codePage(300);
        larkpin::test::ChildProcess chromium(
            {"/bin/sh", "-c",
             "exec /usr/bin/chromium --force-renderer-accessibility --no-sandbox --disable-gpu "
             "--no-first-run "
             "--disable-background-networking --disable-component-update --disable-sync "
             "--user-data-dir=\"$0\" "
             "\"file://$1\" >/dev/null 2>&1",
             (folder.path() / "profile").string(), page.string()});
        if (!larkpin::test::focusReaches(coordinator, " code-input ", 60s) || !coordinator.focusedOTPField())
            return fail("the Chromium code input was not recognised");
        const double median = medianMicroseconds(calls, [&] {
            if (!coordinator.focusedOTPField())
                std::abort();
        });
        std::printf("chromium recognised %.0f us (median of %d calls, 300 other elements in the form)\n",
                    median, calls);
        browser = std::to_string(static_cast<long>(median));
    }
    std::printf("focus recognised-median-us: %ld other-median-us: %ld browser-median-us: %s\n",
                static_cast<long>(recognised), static_cast<long>(other), browser.c_str());
    return 0;
}
