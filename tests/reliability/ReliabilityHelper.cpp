// What tests/reliability/run cannot do well in bash, through the application's own services:
//   larkpin-reliability-helper seed SUB EMAIL REFRESH_TOKEN HISTORY_ID
//     stores a connected account (synced up to HISTORY_ID) in the default database and its refresh
//     token under LARKPIN_KEYRING_SERVICE, as "Connect Gmail" would have;
//   larkpin-reliability-helper connect SECONDS
//     runs "Connect Gmail"'s authorization and prints "connected EMAIL" or "failed: DESCRIPTION".
// Both read the emulator and client from the environment, as larkpin-app does.

#include "app/services/GoogleOAuthClient.h"
#include "app/services/KeychainTokenStore.h"
#include "core/services/LocalStore.h"

#include <chrono>
#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv)
{
    using namespace larkpin;
    const std::string command = argc > 1 ? argv[1] : "";
    try {
        if (command == "seed" && argc == 6) {
            LocalStore(LocalStore::defaultPath())
                .upsert({.id = argv[2], .email = argv[3], .lastHistoryID = argv[5]});
            KeychainTokenStore(KeychainTokenStore::applicationService()).saveRefreshToken(argv[4], argv[2]);
            return 0;
        }
        if (command == "connect" && argc == 3) {
            const auto account =
                GoogleOAuthClient::fromProcess()->authorize(std::chrono::seconds(std::stoi(argv[2])));
            std::printf("connected %s\n", account.email.c_str());
            return 0;
        }
    } catch (const std::exception& error) {
        std::printf("failed: %s\n", error.what());
        return 1;
    }
    std::fprintf(
        stderr,
        "usage: larkpin-reliability-helper seed SUB EMAIL REFRESH_TOKEN HISTORY_ID | connect SECONDS\n");
    return 2;
}
