// larkpin-app for real on the test session's bus: the second launch hands its link to the first and
// ends, a malformed link is refused, and the desktop's URL handler reaches the running instance.

#include "support/ChildProcess.h"
#include "support/QtWait.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusConnectionInterface>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

namespace larkpin {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

const std::string app = LARKPIN_APP_PATH;

using test::waitUntil;

/// The process that owns the application's bus name, or 0.
uint owner()
{
    const auto reply =
        QDBusConnection::sessionBus().interface()->servicePid(QStringLiteral("dev.larkpin.Larkpin"));
    return reply.isValid() ? reply.value() : 0;
}

/// Processes running the program other than `except`.
int othersRunningApp(pid_t except)
{
    int count = 0;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        std::error_code error;
        const auto exe = fs::read_symlink(entry.path() / "exe", error);
        count += !error && exe == fs::path(app) && entry.path().filename() != std::to_string(except);
    }
    return count;
}

/// The running instance's next trace line that mentions a deep link.
std::string nextLink(test::ChildProcess& first)
{
    while (const auto line = first.readLine(30s))
        if (line->starts_with("deep link "))
            return *line;
    return "(no line)";
}

TEST(SingleInstance, ALaterLaunchHandsItsLinkToTheRunningInstanceAndEnds)
{
    test::ChildProcess first(
        {app}, {.set = {{"LARKPIN_APP_TRACE", "1"}, {"GOOGLE_OAUTH_CLIENT_ID", "test"}}, .unset = {}});
    ASSERT_TRUE(waitUntil([&] { return owner() == uint(first.pid()); }));

    const auto second = test::ChildProcess::run({app, "larkpin://open"});
    EXPECT_EQ(second.status, 0) << second.err;
    EXPECT_EQ(nextLink(first), "deep link larkpin://open: open");

    const auto malformed = test::ChildProcess::run({app, "larkpin://[open"});
    EXPECT_EQ(malformed.status, 2);
    EXPECT_NE(malformed.err.find("\"larkpin://[open\" is not a URL"), std::string::npos) << malformed.err;

    // Through the desktop's handler for the scheme, as a browser or `gio open` starts it.
    const fs::path applications =
        fs::path(qEnvironmentVariable("XDG_DATA_HOME").toStdString()) / "applications";
    fs::create_directories(applications);
    fs::copy_file(LARKPIN_DESKTOP_FILE, applications / "dev.larkpin.Larkpin.desktop",
                  fs::copy_options::overwrite_existing);
    ASSERT_EQ(test::ChildProcess::run({"/usr/bin/update-desktop-database", applications}).status, 0);
    ASSERT_EQ(test::ChildProcess::run(
                  {"/usr/bin/xdg-mime", "default", "dev.larkpin.Larkpin.desktop", "x-scheme-handler/larkpin"})
                  .status,
              0);
    const std::map<std::string, std::string> path = {
        {"PATH", fs::path(app).parent_path().string() + ":" + qEnvironmentVariable("PATH").toStdString()}};
    for (const auto& [url, line] : {std::pair{"LARKPIN://OPEN", "deep link larkpin://open: open"},
                                    {"larkpin://settings", "deep link larkpin://settings: ignored"}}) {
        const auto opened = test::ChildProcess::run({"/usr/bin/gio", "open", url}, path);
        EXPECT_EQ(opened.status, 0) << opened.err;
        EXPECT_EQ(nextLink(first), line);
    }
    EXPECT_TRUE(waitUntil([&] { return othersRunningApp(first.pid()) == 0; })) << "a second instance stays";
    EXPECT_EQ(owner(), uint(first.pid()));
}

} // namespace
} // namespace larkpin
