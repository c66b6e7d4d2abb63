#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace larkpin {

/// What the tool reports about the system it runs on.
class OperatingSystem {
public:
    /// PRETTY_NAME of os-release ("Debian GNU/Linux 12 (bookworm)"), else the kernel's name and release.
    static std::string versionString();

    /// PRETTY_NAME from the first of `files` that has one, unquoted; empty when none has it.
    static std::string prettyName(const std::vector<std::filesystem::path>& files);
};

} // namespace larkpin
