// Runs one KeychainTokenStore operation in a process of its own, so that a test can give it an
// environment (such as an unreachable session bus) that the test process itself must not have.
//   larkpin-keychain-child save|read|delete SERVICE ACCOUNT [TOKEN]
// Prints "ok" (never the token), or the error as "KIND CODE: DESCRIPTION" and exits with 1.

#include "app/services/KeychainTokenStore.h"

#include <iostream>
#include <string>

int main(int argc, char** argv)
{
    using larkpin::KeychainTokenStore;
    if (argc < 4)
        return 2;
    const std::string operation = argv[1];
    const KeychainTokenStore store(argv[2]);
    try {
        if (operation == "save")
            store.saveRefreshToken(argc > 4 ? argv[4] : "", argv[3]);
        else if (operation == "read")
            store.refreshToken(argv[3]);
        else
            store.deleteRefreshToken(argv[3]);
        std::cout << "ok\n";
        return 0;
    } catch (const KeychainTokenStore::Error& error) {
        std::cout << (error.kind() == KeychainTokenStore::Error::Kind::status ? "status " : "invalidData ")
                  << error.code() << ": " << error.what() << '\n';
        return 1;
    }
}
