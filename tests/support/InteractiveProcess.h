#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace larkpin::test {

/// A child process that a test talks to line by line over its standard input and output. The
/// child is killed and reaped when the object goes.
class InteractiveProcess {
public:
    explicit InteractiveProcess(const std::vector<std::string>& argv);
    ~InteractiveProcess();
    InteractiveProcess(const InteractiveProcess&) = delete;
    InteractiveProcess& operator=(const InteractiveProcess&) = delete;

    pid_t pid() const { return pid_; }
    void writeLine(const std::string& line);
    /// The next line of output without its newline; nothing when the time runs out or the output
    /// ends.
    std::optional<std::string> readLine(std::chrono::milliseconds timeout);
    /// Sends a line and answers the first line of output that starts with `prefix`.
    std::optional<std::string> ask(const std::string& line, const std::string& prefix,
                                   std::chrono::milliseconds timeout = std::chrono::seconds(10));
    /// Sends a signal (SIGSTOP, SIGCONT, SIGKILL...).
    void signal(int number);

private:
    pid_t pid_ = -1;
    int input_ = -1;
    int output_ = -1;
    std::string buffered_;
};

} // namespace larkpin::test
