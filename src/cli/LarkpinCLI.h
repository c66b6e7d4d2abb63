#pragma once

#include "cli/platform/Clipboard.h"
#include "core/support/Clock.h"

#include <filesystem>
#include <memory>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace larkpin {

/// The `larkpin` command-line tool: lists accounts and codes of the shared database, copies the
/// newest code, marks codes used or unused and checks the installation. It never uses the network.
class LarkpinCLI {
public:
    /// Errors of the tool itself. `what()` is the text the user sees.
    class CLIError : public std::runtime_error {
    public:
        static CLIError invalidCodeID(const std::string& text);
        static CLIError clipboardWriteFailed();

    private:
        using std::runtime_error::runtime_error;
    };

    LarkpinCLI(std::ostream& out, std::ostream& err, const Clipboard& clipboard, std::shared_ptr<const Clock> clock,
               std::filesystem::path databaseURL);

    /// Runs the command named by `arguments` (the program name already dropped) and returns the exit
    /// status: 0, or 1 after writing "larkpin: " and the error's description to the error stream.
    int execute(const std::vector<std::string>& arguments);

    static constexpr auto version = "larkpin 0.1.0";

private:
    void dispatch(const std::vector<std::string>& arguments);
    void accounts();
    void latest(bool plain);
    void list(bool plain);
    void history(bool plain);
    void copy();
    void setUsed(const std::vector<std::string>& arguments, bool used);
    void doctor();
    void usage();

    std::ostream& out_;
    std::ostream& err_;
    const Clipboard& clipboard_;
    std::shared_ptr<const Clock> clock_;
    std::filesystem::path databaseURL_;
};

} // namespace larkpin
