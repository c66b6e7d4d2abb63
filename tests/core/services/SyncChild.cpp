// Runs one sync of one account and exits: the crash test kills it part-way.
//   larkpin-sync-child DATABASE GMAIL_BASE_URL TOKEN EMAIL ACCOUNT_ID

#include "core/extraction/OTPExtractor.h"
#include "core/services/GmailSyncEngine.h"

#include <iostream>

int main(int argc, char** argv)
{
    using namespace larkpin;
    if (argc != 6) {
        std::cerr << "usage: larkpin-sync-child DATABASE GMAIL_BASE_URL TOKEN EMAIL ACCOUNT_ID\n";
        return 2;
    }
    try {
        LocalStore store(argv[1]);
        GmailSyncEngine engine(store, OTPExtractor(600));
        const GmailAPIClient client(std::make_shared<HTTPSession>(), argv[2], [token = std::string(argv[3])] { return token; });
        const auto result = engine.sync(GmailAccount{.id = argv[5], .email = argv[4], .isEnabled = true}, client);
        std::cout << result.fetchedMessages << " fetched, " << result.newCodes << " codes\n";
        return 0;
    } catch (const std::exception& error) {
        std::cerr << error.what() << '\n';
        return 1;
    }
}
