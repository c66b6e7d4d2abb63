#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace larkpin::test {

/// What a finished child process left behind.
struct ProcessResult {
    std::string out;
    std::string err;
    int status = -1; ///< exit status, or -1 when it did not exit normally
};

/// Runs a program to completion with a chosen environment, feeding no input and capturing both
/// output streams.
class ProcessRunner {
public:
    /// Starts from this process's environment; `set` adds or replaces variables, `unset` removes them.
    static ProcessResult run(const std::vector<std::string>& argv, const std::map<std::string, std::string>& set = {},
                             const std::vector<std::string>& unset = {});
};

} // namespace larkpin::test
