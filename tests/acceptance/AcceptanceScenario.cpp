// The whole product driven from outside, as a user (or an assistive technology) drives it: the
// installed larkpin-app against the Google emulator, its own windows pressed and read over the
// accessibility bus, the tray icon and the suggestion panel's rows clicked, the installed `larkpin`
// tool, `gio open` for links, and the database and keyring looked at through the tool and
// secret-tool. Runs in scripts/test-session; ends with status 0 when every step held, else with 1 and
// what it awaited in vain.

#include "acceptance/AtspiDriver.h"
#include "support/AccessibilityDesktop.h"
#include "support/ChildProcess.h"
#include "support/GoogleEmulator.h"
#include "support/TemporaryFolder.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <tuple>

namespace {

using namespace larkpin::test;
namespace fs = std::filesystem;

const std::string mailbox = "me@example.com";
constexpr auto keyringService = "dev.larkpin.Larkpin.acceptance.google-oauth";
constexpr auto tagline = "Verification codes, exactly when you need them.";

void expect(bool holds, const std::string& failure)
{
    if (!holds)
        throw AtspiDriver::Failure(failure);
}

/// Runs a program to completion; throws when it fails.
std::string succeed(const std::vector<std::string>& argv, const std::map<std::string, std::string>& set = {})
{
    const auto result = ChildProcess::run(argv, set);
    expect(result.status == 0, argv[0] + " " + argv[1] + " failed: " + result.err);
    return result.out;
}

/// The build installed into a prefix, and what its programs are told.
struct Installation {
    fs::path prefix;
    std::map<std::string, std::string> environment;

    /// Runs the installed tool; throws unless what it prints contains `expected`.
    void tool(const std::string& command, const std::string& expected, const std::string& option = {}) const
    {
        const auto out = succeed({(prefix / "bin/larkpin").string(), command, option}, environment);
        expect(out.find(expected) != std::string::npos,
               "larkpin " + command + " " + option + " printed \"" + out + "\", not \"" + expected + "\"");
    }
    int runningApps() const
    {
        int count = 0;
        for (std::error_code error; const auto& entry : fs::directory_iterator("/proc"))
            count += fs::read_symlink(entry.path() / "exe", error) == prefix / "bin/larkpin-app";
        return count;
    }
};

/// Installs the build into `prefix` and makes the session's desktop know its entry (the handler of
/// larkpin:// links) and the stand-in browser that allows consent.
Installation install(const fs::path& prefix, const std::string& emulatorURL)
{
    succeed({LARKPIN_CMAKE, "--install", LARKPIN_BUILD_DIR, "--prefix", prefix.string()});
    const fs::path applications = fs::path(std::getenv("XDG_DATA_HOME")) / "applications";
    fs::create_directories(applications);
    fs::copy_file(prefix / "share/applications/dev.larkpin.Larkpin.desktop",
                  applications / "dev.larkpin.Larkpin.desktop", fs::copy_options::overwrite_existing);
    std::ofstream(applications / "larkpin-test-browser.desktop")
        << "[Desktop Entry]\nType=Application\nName=Test browser\nExec=" << LARKPIN_TEST_BROWSER_PATH
        << " --mode=follow %u\nMimeType=x-scheme-handler/http;\n";
    succeed({"/usr/bin/update-desktop-database", applications.string()});
    succeed({"/usr/bin/xdg-mime", "default", "dev.larkpin.Larkpin.desktop", "x-scheme-handler/larkpin"});
    return {prefix,
            {{"PATH", (prefix / "bin").string() + ":" + std::getenv("PATH")},
             {"GOOGLE_EMULATOR_URL", emulatorURL},
             {"GOOGLE_OAUTH_CLIENT_ID", "larkpin-acceptance"},
             {"LARKPIN_KEYRING_SERVICE", keyringService},
             {"LARKPIN_OAUTH_BROWSER_BUNDLE_ID", "larkpin-test-browser"}}};
}

/// Whether the keyring holds a refresh token of the application, as secret-tool finds them.
bool keyringHoldsToken()
{
    const auto found =
        ChildProcess::run({"/usr/bin/secret-tool", "search", "--all", "service", keyringService});
    return (found.out + found.err).find("service = ") != std::string::npos;
}

/// The application's tray icon: its one small shown X window (the others are far larger).
std::string trayIconOf(pid_t pid)
{
    std::istringstream windows(
        ChildProcess::run({"/usr/bin/xdotool", "search", "--onlyvisible", "--pid", std::to_string(pid)}).out);
    for (std::string window; windows >> window;) {
        const auto shape =
            ChildProcess::run({"/usr/bin/xdotool", "getwindowgeometry", "--shell", window}).out;
        if (const auto at = shape.find("WIDTH=");
            at != std::string::npos && std::stoi(shape.substr(at + 6)) <= 64)
            return window;
    }
    return {};
}

/// The suggestion panel beside another program's code field: its first row fills the field, and the
/// code is used from then on: under "Recently used" in the tray panel and in `larkpin history`.
void fillFromSuggestionPanel(AtspiDriver& ui, const Installation& installed, const std::string& code,
                             const std::function<void(const std::function<void()>&)>& inTrayPanel)
{
    FieldProgram field({LARKPIN_FIELD_VARIANTS_PATH});
    expect(field.ready(), "the GTK field program did not start");
    field.focus("labelled");
    // The panel shows beside the field: below it (or above, near the screen's bottom), right edges
    // lined up; its first row fills the field.
    const std::string row = "Fill code " + code + " from Acme · acme.example";
    const auto [x, y, width, height] = ui.extents(row, AtspiDriver::holding(row));
    const auto frame = field.geometry("labelled");
    expect(frame.has_value(), "the GTK field has no place on the screen");
    const bool beside = std::abs(y - (frame->y + frame->height)) < 200 || std::abs(y + height - frame->y) < 200;
    expect(beside && x < frame->x + frame->width && x + width > frame->x + frame->width - 340,
           "the suggestion panel is not beside the field");
    // Clicked with the pointer, as a user does: the click must leave the keyboard focus in the field.
    succeed({"/usr/bin/xdotool", "mousemove", std::to_string(x + width / 2), std::to_string(y + height / 2),
             "click", "1"});
    ui.waitUntil("the code in the GTK field", [&] { return field.text("labelled") == code; });
    inTrayPanel([&] { ui.waitForText(code, AtspiDriver::holding("Recently used")); });
    installed.tool("history", "\tused\t" + code + "\t", "--plain");
}

void scenario()
{
    expect(std::getenv("DISPLAY") && std::getenv("DBUS_SESSION_BUS_ADDRESS") && std::getenv("XDG_DATA_HOME"),
           "no desktop session: run it inside scripts/test-session");
    TemporaryFolder folder;
    GoogleEmulator emulator(LARKPIN_GOOGLE_EMULATOR_PATH, {"--mailbox", mailbox + "=mailbox-token"});
    emulator.configureOAuth({.consent = "allow"});
    const auto installed = install(folder.path() / "prefix", emulator.baseURL());
    const auto dashboard = AtspiDriver::holding(tagline);
    const auto trayPanel = AtspiDriver::holding("Fresh codes");

    // Start the tray and the installed larkpin-app.
    ChildProcess trayer({"/usr/bin/trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel",
                         "--width", "100", "--height", "24"});
    ChildProcess app({(installed.prefix / "bin/larkpin-app").string()},
                     {.set = installed.environment, .unset = {}});
    AtspiDriver ui("Larkpin", app.pid());
    std::string trayIcon;
    ui.waitUntil("the tray icon", [&] { return !(trayIcon = trayIconOf(app.pid())).empty(); });

    // `gio open larkpin://open` shows the dashboard.
    succeed({"/usr/bin/gio", "open", "larkpin://open"}, installed.environment);
    ui.waitForText(tagline);

    // Connect Gmail: the test browser allows consent, the account is listed.
    ui.press("Connect Gmail");
    ui.waitForText(mailbox, dashboard);
    installed.tool("accounts", "active\t" + mailbox + "\n");
    expect(keyringHoldsToken(), "no refresh token in the keyring");

    // A message with a code reaches the dashboard, the tray panel and larkpin latest.
    const std::string code = "482913";
    emulator.addMessage({.from = "Acme <no-reply@acme.example>", .plain = "Your Acme code is " + code + "."});
    ui.press("Refresh", dashboard);
    ui.waitForText(code, dashboard);
    installed.tool("latest", code + "\n", "--plain");
    // The tray panel opens at a click on the tray icon and gives way to the dashboard at "Open App".
    const auto inTrayPanel = [&](const std::function<void()>& look) {
        succeed({"/usr/bin/xdotool", "mousemove", "--window", trayIcon, "4", "4", "click", "1"});
        ui.waitForText("Fresh codes", trayPanel);
        look();
        ui.press("Open App", trayPanel);
        ui.waitUntil("the tray panel to close", [&] { return !ui.shows("Fresh codes", trayPanel); });
    };
    // Its account controls pause and resume the account as the dashboard's do.
    inTrayPanel([&] {
        ui.waitForText(code, trayPanel);
        for (const auto& [button, status] : {std::pair{"Pause", "Paused "}, {"Resume", "Monitoring "}}) {
            ui.press(button, trayPanel);
            ui.waitForText(status + mailbox, trayPanel);
        }
    });

    // The suggestion panel fills a GTK code field.
    fillFromSuggestionPanel(ui, installed, code, inTrayPanel);

    // `gio open larkpin://open` brings the dashboard forward without a second process.
    const auto activeDashboard = [&](AtspiAccessible* window) {
        return AtspiDriver::hasState(window, ATSPI_STATE_ACTIVE) && dashboard(window);
    };
    FieldProgram other({LARKPIN_FIELD_VARIANTS_PATH});
    ui.waitUntil("another window to take the focus", [&] { return !ui.shows(tagline, activeDashboard); });
    succeed({"/usr/bin/gio", "open", "larkpin://open"}, installed.environment);
    ui.waitUntil("the dashboard to come forward", [&] { return ui.shows(tagline, activeDashboard); });
    ui.waitUntil("one larkpin-app process", [&] { return installed.runningApps() == 1; });

    // Pause, resume and disconnect the account: the database and the keyring follow.
    for (const auto& [button, status, accounts] :
         {std::tuple{"Pause", "Paused ", "paused\t" + mailbox + "\n"},
          {"Resume", "Monitoring ", "active\t" + mailbox + "\n"},
          {"Disconnect", "Disconnected ", "No Gmail accounts connected.\n"}}) {
        ui.press(button, dashboard);
        ui.waitForText(status + mailbox, dashboard);
        installed.tool("accounts", accounts);
    }
    ui.waitUntil("the account to leave the dashboard", [&] { return !ui.shows(mailbox, dashboard); });
    expect(!keyringHoldsToken(), "the keyring keeps the refresh token");
    expect(emulator.grants().size() == 1, "one press of \"Connect Gmail\" asked for consent more than once");
    for (const auto& grant : emulator.grants())
        expect(!grant.active, "the Google grant of " + grant.mailbox + " is still active");
}

} // namespace

int main()
{
    try {
        scenario();
    } catch (const std::exception& failure) {
        std::fprintf(stderr, "acceptance: FAILED: %s\n", failure.what());
        return 1;
    }
    std::puts("acceptance: passed");
    return 0;
}
