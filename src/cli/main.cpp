#include "cli/LarkpinCLI.h"
#include "cli/platform/HelperClipboard.h"
#include "core/services/LocalStore.h"

#include <cstdlib>
#include <iostream>

int main(int argc, char** argv)
{
    using namespace larkpin;
    std::ios::sync_with_stdio(false);
    const auto clipboard = HelperClipboard::forSession(std::getenv("WAYLAND_DISPLAY"), std::getenv("DISPLAY"));
    LarkpinCLI cli(std::cout, std::cerr, clipboard, SystemClock::shared(), LocalStore::defaultPath());
    return cli.execute(std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
}
