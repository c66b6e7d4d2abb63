#pragma once

#include "core/support/FileDescriptor.h"

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace larkpin::test {

/// What a finished child process left behind.
struct ProcessResult {
    std::string out;
    std::string err;
    int status = -1; ///< exit status, or -1 when it did not exit normally
};

/// A program a test starts: its standard input and output are pipes to the test, its standard error
/// is captured or passed through. It dies with the test process, and going out of scope stops it
/// (SIGTERM, then SIGKILL) and reaps it.
class ChildProcess {
public:
    struct Environment {
        std::map<std::string, std::string> set; ///< added to or replacing this process's variables
        std::vector<std::string> unset;
    };

    explicit ChildProcess(const std::vector<std::string>& argv, const Environment& environment = {},
                          bool captureErrors = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    /// Runs a program to completion with no input, capturing both output streams.
    static ProcessResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& set = {},
                             const std::vector<std::string>& unset = {});

    pid_t pid() const { return pid_; }
    void writeLine(const std::string& line);
    /// The next line of output without its newline; nothing when the time runs out or the output ends.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    /// Sends a line and answers the first line of output that starts with `prefix`.
    std::optional<std::string> ask(const std::string& line, const std::string& prefix,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// Sends a signal (SIGSTOP, SIGCONT, SIGKILL...).
    void signal(int number);
    /// Waits until the child ends: its exit status, or -1 when a signal ended it.
    int wait();
    /// SIGTERM, and SIGKILL when it has not ended within `grace`; answers as wait() does.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(3));

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    FileDescriptor input_;
    FileDescriptor output_;
    FileDescriptor errors_;
    std::string buffered_;
};

} // namespace larkpin::test
