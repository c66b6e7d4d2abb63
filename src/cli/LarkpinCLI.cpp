#include "cli/LarkpinCLI.h"

#include "cli/platform/OperatingSystem.h"
#include "core/services/LocalStore.h"
#include "core/support/CharacterCount.h"

#include <algorithm>

namespace larkpin {
namespace {

constexpr auto usageText = "Larkpin\n"
                           "\n"
                           "Usage:\n"
                           "  larkpin accounts          List connected Gmail accounts\n"
                           "  larkpin latest [--plain]  Show latest code metadata\n"
                           "  larkpin list [--plain]    List active code metadata\n"
                           "  larkpin history [--plain] List recent codes and lifecycle state\n"
                           "  larkpin copy              Copy latest code without printing it\n"
                           "  larkpin use <code-id>     Mark a recent code used\n"
                           "  larkpin unuse <code-id>   Restore a recent code as unused\n"
                           "  larkpin doctor            Check the local installation\n"
                           "  larkpin version           Print the version\n"
                           "\n"
                           "Codes are masked unless --plain is explicitly supplied.\n";

constexpr std::int64_t latestLimit = 1;
constexpr std::int64_t listLimit = 20;
constexpr std::int64_t historyLimit = 20;

/// One bullet (U+2022) per character: the length of the code stays visible, nothing else does.
std::string masked(const std::string& value)
{
    std::string bullets;
    const auto count = characterCount(value);
    bullets.reserve(count * 3);
    for (std::size_t i = 0; i < count; ++i)
        bullets += "\u2022";
    return bullets;
}

std::string shown(const OTPCode& code, bool plain) { return plain ? code.value : masked(code.value); }

} // namespace

LarkpinCLI::CLIError LarkpinCLI::CLIError::invalidCodeID(const std::string& text)
{
    return CLIError("Invalid code ID: " + text);
}

LarkpinCLI::CLIError LarkpinCLI::CLIError::clipboardWriteFailed()
{
    return CLIError("Could not copy code to the clipboard.");
}

LarkpinCLI::LarkpinCLI(std::ostream& out, std::ostream& err, const Clipboard& clipboard,
                       std::shared_ptr<const Clock> clock, std::filesystem::path databaseURL)
    : out_(out)
    , err_(err)
    , clipboard_(clipboard)
    , clock_(std::move(clock))
    , databaseURL_(std::move(databaseURL))
{
}

int LarkpinCLI::execute(const std::vector<std::string>& arguments)
{
    try {
        dispatch(arguments);
        out_.flush();
        if (!out_) {
            // A full disk or a closed pipe: say so rather than report success.
            err_ << "larkpin: Could not write to standard output.\n";
            return 1;
        }
        return 0;
    } catch (const std::exception& error) {
        out_.flush();
        err_ << "larkpin: " << error.what() << '\n';
        err_.flush();
        return 1;
    }
}

void LarkpinCLI::dispatch(const std::vector<std::string>& arguments)
{
    const std::string command = arguments.empty() ? "help" : arguments.front();
    const bool plain = std::find(arguments.begin(), arguments.end(), "--plain") != arguments.end();
    if (command == "accounts")
        accounts();
    else if (command == "latest")
        latest(plain);
    else if (command == "list")
        list(plain);
    else if (command == "history")
        history(plain);
    else if (command == "copy")
        copy();
    else if (command == "use")
        setUsed(arguments, true);
    else if (command == "unuse")
        setUsed(arguments, false);
    else if (command == "doctor")
        doctor();
    else if (command == "version" || command == "--version" || command == "-v")
        out_ << version << '\n';
    else
        usage();
}

void LarkpinCLI::accounts()
{
    const auto accounts = LocalStore(databaseURL_, clock_).accounts();
    if (accounts.empty())
        out_ << "No Gmail accounts connected.\n";
    for (const auto& account : accounts)
        out_ << (account.isEnabled ? "active" : "paused") << '\t' << account.email << '\n';
}

void LarkpinCLI::latest(bool plain)
{
    const auto codes = LocalStore(databaseURL_, clock_).activeCodes(clock_->now(), latestLimit);
    if (codes.empty()) {
        out_ << "No active verification code.\n";
        return;
    }
    const auto& code = codes.front();
    if (plain)
        out_ << code.value << '\n';
    else
        out_ << masked(code.value) << "  " << code.issuer << "  " << code.accountEmail << '\n';
}

void LarkpinCLI::list(bool plain)
{
    const auto codes = LocalStore(databaseURL_, clock_).activeCodes(clock_->now(), listLimit);
    if (codes.empty())
        out_ << "No active verification codes.\n";
    for (const auto& code : codes)
        out_ << shown(code, plain) << '\t' << code.issuer << '\t' << code.accountEmail << '\n';
}

void LarkpinCLI::history(bool plain)
{
    const auto codes = LocalStore(databaseURL_, clock_).recentCodes(historyLimit);
    if (codes.empty())
        out_ << "No recent verification codes.\n";
    for (const auto& code : codes)
        out_ << code.id.toString() << '\t' << (code.isUsed() ? "used" : "unused") << '\t' << shown(code, plain)
             << '\t' << code.issuer << '\t' << code.accountEmail << '\n';
}

void LarkpinCLI::copy()
{
    LocalStore store(databaseURL_, clock_);
    const auto codes = store.activeCodes(clock_->now(), latestLimit);
    if (codes.empty()) {
        out_ << "No active verification code.\n";
        return;
    }
    const auto& code = codes.front();
    if (!clipboard_.writeText(code.value))
        throw CLIError::clipboardWriteFailed();
    store.markUsed(code.id, clock_->now());
    out_ << "Copied the latest code from " << code.issuer << ".\n";
}

void LarkpinCLI::setUsed(const std::vector<std::string>& arguments, bool used)
{
    if (arguments.size() < 2)
        throw CLIError::invalidCodeID("missing");
    const auto id = Uuid::parse(arguments[1]);
    if (!id)
        throw CLIError::invalidCodeID(arguments[1]);
    LocalStore store(databaseURL_, clock_);
    if (used)
        store.markUsed(*id, clock_->now());
    else
        store.markUnused(*id);
    out_ << "Marked code " << (used ? "used" : "unused") << ".\n";
}

void LarkpinCLI::doctor()
{
    const auto accountCount = LocalStore(databaseURL_, clock_).accounts().size();
    out_ << "Larkpin CLI: ready\n"
         << "OS: " << OperatingSystem::versionString() << '\n'
         << "Database: " << databaseURL_.string() << '\n'
         << "Accounts: " << accountCount << '\n';
}

void LarkpinCLI::usage() { out_ << usageText; }

} // namespace larkpin
