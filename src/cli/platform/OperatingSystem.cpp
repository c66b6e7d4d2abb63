#include "cli/platform/OperatingSystem.h"

#include <fstream>
#include <sys/utsname.h>

namespace larkpin {
namespace {

/// Undoes os-release's shell-style quoting: "..." or '...' with backslash escapes inside double quotes.
std::string unquoted(const std::string& value)
{
    if (value.size() < 2 || (value.front() != '"' && value.front() != '\'') || value.back() != value.front())
        return value;
    const std::string inner = value.substr(1, value.size() - 2);
    if (value.front() == '\'')
        return inner;
    std::string result;
    for (std::size_t i = 0; i < inner.size(); ++i) {
        if (inner[i] == '\\' && i + 1 < inner.size())
            ++i;
        result += inner[i];
    }
    return result;
}

} // namespace

std::string OperatingSystem::prettyName(const std::vector<std::filesystem::path>& files)
{
    static constexpr std::string_view key = "PRETTY_NAME=";
    for (const auto& file : files) {
        std::ifstream stream(file);
        std::string line;
        while (std::getline(stream, line))
            if (line.starts_with(key)) {
                auto name = unquoted(line.substr(key.size()));
                if (!name.empty())
                    return name;
            }
    }
    return {};
}

std::string OperatingSystem::versionString()
{
    auto name = prettyName({"/etc/os-release", "/usr/lib/os-release"});
    if (!name.empty())
        return name;
    utsname system{};
    if (::uname(&system) != 0)
        return "unknown";
    return std::string(system.sysname) + " " + system.release;
}

} // namespace larkpin
