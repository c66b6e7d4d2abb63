// Runs one KeychainTokenStore operation in a process of its own, so that a test can give it an
// environment (such as an unreachable session bus) that the test process itself must not have.
//   larkpin-keychain-child save|read|delete SERVICE ACCOUNT [TOKEN]
// Prints "ok", "found" or "absent" (never the token), or the error as "KIND CODE: DESCRIPTION" and
// exits with 1.

#include "app/services/KeychainTokenStore.h"

#include <iostream>
#include <string>

int main(int argc, char** argv)
{
    using larkpin::KeychainTokenStore;
    if (argc < 4) {
        std::cerr << "usage: larkpin-keychain-child save|read|delete SERVICE ACCOUNT [TOKEN]\n";
        return 2;
    }
    const std::string operation = argv[1];
    const KeychainTokenStore store(argv[2]);
    try {
        if (operation == "save")
            store.saveRefreshToken(argc > 4 ? argv[4] : "", argv[3]);
        else if (operation == "read")
            std::cout << (store.refreshToken(argv[3]) ? "found" : "absent") << '\n';
        else if (operation == "delete")
            store.deleteRefreshToken(argv[3]);
        else
            return 2;
        if (operation != "read")
            std::cout << "ok\n";
        return 0;
    } catch (const KeychainTokenStore::Error& error) {
        std::cout << (error.kind() == KeychainTokenStore::Error::Kind::status ? "status " : "invalidData ")
                  << error.code() << ": " << error.what() << '\n';
        return 1;
    }
}
