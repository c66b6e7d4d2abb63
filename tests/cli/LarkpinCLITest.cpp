// The built `larkpin` binary, run as a user runs it, against a database in a temporary data folder.

#include "cli/platform/OperatingSystem.h"
#include "core/services/LocalStore.h"
#include "support/ChildProcess.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <fstream>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace larkpin {
namespace {

using test::ChildProcess;
using test::ProcessResult;

std::string fileBytes(const std::filesystem::path& path)
{
    std::ifstream stream(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(stream), {});
}

using Arguments = std::vector<std::string>;
using Outcome = std::tuple<std::string, std::string, int>; ///< standard output, standard error, status

Outcome outcomeOf(const ProcessResult& result)
{
    return {result.out, result.err, result.status};
}
Outcome succeeded(const std::string& out)
{
    return {out, "", 0};
}
Outcome failed(const std::string& message)
{
    return {"", "larkpin: " + message + "\n", 1};
}

class LarkpinCLITest : public ::testing::Test {
protected:
    std::filesystem::path dataHome() const { return folder_.path() / "data"; }
    std::filesystem::path database() const { return dataHome() / "Larkpin" / "larkpin.sqlite"; }

    ProcessResult larkpin(std::vector<std::string> arguments,
                          std::map<std::string, std::string> environment = {},
                          const std::vector<std::string>& unset = {})
    {
        arguments.insert(arguments.begin(), LARKPIN_CLI_PATH);
        environment.emplace("XDG_DATA_HOME", dataHome().string());
        return ChildProcess::run(arguments, environment, unset);
    }
    /// A clipboard helper of that name in `helpers()`: a shell script.
    void helper(const std::string& name, const std::string& script) const
    {
        std::filesystem::create_directories(helpers());
        std::ofstream(helpers() / name) << "#!/bin/sh\n" << script << "\n";
        std::filesystem::permissions(helpers() / name, std::filesystem::perms::owner_all);
    }
    std::filesystem::path helpers() const { return folder_.path() / "helpers"; }

    LocalStore store() { return LocalStore(database()); }

    /// Saves a code received `age` seconds ago that expires `lifetime` seconds from now.
    OTPCode seed(const std::string& value, const std::string& issuer, double age, double lifetime = 600,
                 const std::string& email = "me@example.com")
    {
        const auto now = SystemClock().now();
        // clang-format off
        const OTPCode code{Uuid::random(), value, issuer, email, "message-" + value + issuer, now - Seconds(age),
                           now + Seconds(lifetime), std::nullopt};
        // clang-format on
        store().save(code);
        return code;
    }

    static std::string bullets(int count) { return count == 0 ? "" : "\u2022" + bullets(count - 1); }

    test::TemporaryFolder folder_;
};

// Usage, version and the empty results: standard output only, status 0.
TEST_F(LarkpinCLITest, printsUsageVersionAndEmptyResults)
{
    const std::string usage = larkpin({}).out;
    for (const char* command : {"accounts", "latest [--plain]", "list [--plain]", "history [--plain]", "copy",
                                "use <code-id>", "unuse <code-id>", "doctor", "version"})
        EXPECT_NE(usage.find("\n  larkpin " + std::string(command) + " "), std::string::npos) << command;
    const std::pair<Arguments, std::string> cases[] = {
        {{}, usage},
        {{"--plain", "latest"}, usage}, // the option is not a command
        {{"-v", "extra"}, "larkpin 0.1.0\n"},
        {{"accounts"}, "No Gmail accounts connected.\n"},
        {{"latest"}, "No active verification code.\n"},
        {{"list"}, "No active verification codes.\n"},
        {{"history"}, "No recent verification codes.\n"},
        {{"copy"}, "No active verification code.\n"},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(outcomeOf(larkpin(cases[i].first)), succeeded(cases[i].second))
            << ::testing::PrintToString(cases[i].first);
        EXPECT_TRUE(i > 2 || !std::filesystem::exists(dataHome()))
            << "usage and version never open the database";
    }
}

TEST_F(LarkpinCLITest, doctorCreatesTheDatabaseAndCountsTheAccountsListedByEmail)
{
    EXPECT_EQ(outcomeOf(larkpin({"doctor"})),
              succeeded("Larkpin CLI: ready\nOS: " + OperatingSystem::versionString() +
                        "\nDatabase: " + database().string() + "\nAccounts: 0\n"));
    EXPECT_TRUE(std::filesystem::exists(database()));

    store().upsert({.id = "2", .email = "zed@example.com", .isEnabled = true});
    store().upsert({.id = "1", .email = "amy@example.com", .isEnabled = false});
    EXPECT_TRUE(larkpin({"doctor"}).out.ends_with("\nAccounts: 2\n"));
    EXPECT_EQ(larkpin({"accounts"}).out, "paused\tamy@example.com\nactive\tzed@example.com\n");
}

TEST_F(LarkpinCLITest, showsActiveCodesMaskedOneBulletPerCharacterUnlessPlain)
{
    seed("123456", "GitHub", 30);
    seed("e\u0301\u0661\u0662\r\n", "Accents", 20); // é as two scalars, two Arabic-Indic digits, CR LF
    seed("AB12CD34", "Slack", 10, 600, "work@example.com");
    store().markUsed(seed("999999", "Used Inc", 5).id, SystemClock().now());
    seed("555555", "Expired Co", 1, -5); // stays stored until the next open's purge, never listed

    const std::pair<Arguments, std::string> cases[] = {
        {{"latest"}, bullets(8) + "  Slack  work@example.com\n"},
        {{"latest", "--plain"}, "AB12CD34\n"},
        {{"list"},
         bullets(8) + "\tSlack\twork@example.com\n" + bullets(4) + "\tAccents\tme@example.com\n" +
             bullets(6) + "\tGitHub\tme@example.com\n"},
        {{"list", "ignored", "--plain"},
         "AB12CD34\tSlack\twork@example.com\ne\u0301\u0661\u0662\r\n\tAccents\tme@example."
         "com\n123456\tGitHub\tme@example.com\n"},
    };
    for (const auto& [arguments, expected] : cases)
        EXPECT_EQ(larkpin(arguments).out, expected) << ::testing::PrintToString(arguments);
}

TEST_F(LarkpinCLITest, historyShowsAtMostTwentyCodesWithTheirUsedState)
{
    std::vector<OTPCode> codes;
    for (int i = 0; i < 22; ++i)
        codes.push_back(seed(std::to_string(100000 + i), "Issuer" + std::to_string(i), 100 - i));
    store().markUsed(codes[21].id, SystemClock().now());

    std::string expected;
    for (std::size_t i = 21; i >= 2; --i)
        expected += codes[i].id.toString() + (i == 21 ? "\tused\t" : "\tunused\t") + codes[i].value +
                    "\tIssuer" + std::to_string(i) + "\tme@example.com\n";
    EXPECT_EQ(larkpin({"history", "--plain"}).out, expected);
    EXPECT_TRUE(
        larkpin({"history"}).out.starts_with(codes[21].id.toString() + "\tused\t" + bullets(6) + "\t"));
}

TEST_F(LarkpinCLITest, marksCodesUsedAndUnusedById)
{
    seed("111111", "Older", 20);
    const auto newer = seed("222222", "Newer", 10);
    std::string lowerCaseID = newer.id.toString();
    std::transform(lowerCaseID.begin(), lowerCaseID.end(), lowerCaseID.begin(), ::tolower);

    EXPECT_EQ(larkpin({"use", lowerCaseID}).out, "Marked code used.\n");
    EXPECT_EQ(larkpin({"latest", "--plain"}).out, "111111\n");
    EXPECT_EQ(larkpin({"unuse", newer.id.toString()}).out, "Marked code unused.\n");
    EXPECT_EQ(larkpin({"latest", "--plain"}).out, "222222\n");
    // An id that matches nothing is not an error: nothing changes.
    EXPECT_EQ(larkpin({"use", Uuid::random().toString()}).out, "Marked code used.\n");
    EXPECT_EQ(store().activeCodes(SystemClock().now(), 10).size(), 2u);
}

// Every failure: nothing on standard output, one line on standard error, status 1, nothing changed.
TEST_F(LarkpinCLITest, rejectsMissingOrMalformedCodeIDs)
{
    seed("123456", "GitHub", 1);
    const std::pair<Arguments, std::string> cases[] = {
        {{"use"}, "Invalid code ID: missing"},
        {{"unuse", "--plain"}, "Invalid code ID: --plain"},
        {{"use", "0E2A1B7C-5D3F-4A8B-9C1D-2E3F4A5B6C7"},
         "Invalid code ID: 0E2A1B7C-5D3F-4A8B-9C1D-2E3F4A5B6C7"},
    };
    for (const auto& [arguments, expected] : cases)
        EXPECT_EQ(outcomeOf(larkpin(arguments)), failed(expected));
    EXPECT_EQ(store().activeCodes(SystemClock().now(), 10).size(), 1u);
}

TEST_F(LarkpinCLITest, copyHandsTheNewestCodeToTheSessionsHelperAndMarksItUsed)
{
    seed("111111", "Older", 20);
    seed("654321", "GitHub", 10);
    const auto record = folder_.path() / "wl-copy";
    helper("wl-copy",
           "echo \"$# $*\" > '" + record.string() + ".args'; /bin/cat > '" + record.string() + ".in'");
    EXPECT_EQ(outcomeOf(larkpin({"copy"}, {{"PATH", helpers().string()}, {"WAYLAND_DISPLAY", "wayland-0"}},
                                {"DISPLAY"})),
              succeeded("Copied the latest code from GitHub.\n"));
    EXPECT_EQ(fileBytes(record.string() + ".in"), "654321") << "the code alone, without a line break";
    EXPECT_EQ(fileBytes(record.string() + ".args"), "0 \n");
    EXPECT_EQ(larkpin({"latest", "--plain"}).out, "111111\n");
    if (std::getenv("DISPLAY") == nullptr)
        return; // the X11 helpers need the display of scripts/test-session
    EXPECT_EQ(larkpin({"copy"}, {}, {"WAYLAND_DISPLAY"}).out, "Copied the latest code from Older.\n");
    EXPECT_EQ(ChildProcess::run({"/usr/bin/xclip", "-o", "-selection", "clipboard"}).out, "111111");
}

TEST_F(LarkpinCLITest, copyFailsWithoutAUsableClipboardHelperAndKeepsTheCode)
{
    seed("123456", "GitHub", 1);
    helper("xclip", "exit 1");
    helper("wl-copy", "/bin/cat > /dev/null; exit 1");
    const std::pair<std::map<std::string, std::string>, Arguments> environments[] = {
        {{{"PATH", (folder_.path() / "empty").string()}, {"DISPLAY", ":98"}}, {}}, // no helper at all
        {{{"PATH", helpers().string()}, {"DISPLAY", ":98"}}, {"WAYLAND_DISPLAY"}}, // xclip fails, no xsel
        {{{"PATH", helpers().string()}, {"WAYLAND_DISPLAY", "wayland-0"}}, {"DISPLAY"}}, // wl-copy fails
        {{}, {"DISPLAY", "WAYLAND_DISPLAY"}}, // no session to copy into
    };
    for (const auto& [set, unset] : environments)
        EXPECT_EQ(outcomeOf(larkpin({"copy"}, set, unset)), failed("Could not copy code to the clipboard."));
    EXPECT_EQ(larkpin({"latest", "--plain"}).out, "123456\n");
}

TEST_F(LarkpinCLITest, reportsDatabaseFaultsWithoutChangingAnything)
{
    // Not a database: the file's bytes stay as they were.
    std::filesystem::create_directories(database().parent_path());
    std::ofstream(database(), std::ios::binary) << std::string(4096, 'x');
    EXPECT_EQ(outcomeOf(larkpin({"list"})), failed("Local database error: file is not a database"));
    EXPECT_EQ(fileBytes(database()), std::string(4096, 'x'));

    // A folder where the file should be.
    std::filesystem::remove(database());
    std::filesystem::create_directory(database());
    EXPECT_EQ(outcomeOf(larkpin({"doctor"})),
              failed("Could not open local database: unable to open database file"));

    // A data folder that cannot be created: its parent is a regular file.
    const auto blocker = folder_.path() / "blocker";
    std::ofstream(blocker) << "not a folder";
    EXPECT_EQ(
        outcomeOf(larkpin({"accounts"}, {{"XDG_DATA_HOME", (blocker / "data").string()}})),
        failed("Could not create folder " + (blocker / "data" / "Larkpin").string() + ": Not a directory"));
}

// A write that another program's lock refuses is reported, not passed over (the store's own test
// covers every kind of write and that nothing is lost).
TEST_F(LarkpinCLITest, failsWhileAnotherProcessHoldsTheWriteLock)
{
    const auto code = seed("123456", "GitHub", 1);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(database().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_EQ(outcomeOf(larkpin({"use", code.id.toString()})),
              failed("Local database error: database is locked"));
    sqlite3_close(other);
}

TEST_F(LarkpinCLITest, reportsAFailedWriteToStandardOutput)
{
    const auto result =
        ChildProcess::run({"/bin/sh", "-c", std::string(LARKPIN_CLI_PATH) + " version > /dev/full"});
    EXPECT_EQ(outcomeOf(result), failed("Could not write to standard output."));
}

TEST(OperatingSystem, readsThePrettyNameFromTheFirstFileThatHasOne)
{
    test::TemporaryFolder folder;
    std::ofstream(folder.path() / "none") << "NAME=Debian\nID=debian\n";
    const std::vector<std::filesystem::path> without = {folder.path() / "missing", folder.path() / "none"};
    const std::pair<std::string, std::string> cases[] = {
        {"ID=x\nPRETTY_NAME=\"Debian GNU/Linux 12 (bookworm)\"\n", "Debian GNU/Linux 12 (bookworm)"},
        {"PRETTY_NAME=Bare\n", "Bare"},
        {"PRETTY_NAME=\"Say \\\"hi\\\" \\\\o/\"\n", "Say \"hi\" \\o/"},
    };
    for (const auto& [text, expected] : cases) {
        std::ofstream(folder.path() / "os-release") << text;
        EXPECT_EQ(OperatingSystem::prettyName({without[0], without[1], folder.path() / "os-release"}),
                  expected);
    }
    EXPECT_EQ(OperatingSystem::prettyName(without), "");
}

} // namespace
} // namespace larkpin
