#include "core/support/Sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace larkpin {
namespace {

struct DigestCase {
    std::string input;
    const char* digest;
};

// The FIPS 180-4 examples, plus a Gmail-shaped id, UTF-8 text and bytes with a NUL inside.
TEST(Sha256, matchesKnownDigestsAsLowerCaseHexadecimal)
{
    const DigestCase cases[]{
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1'000'000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
        {"18c2f0a1b2c3d4e5", "29132dca4c8c3801cfdaaaf98e632edc765102f35109ca833163e3f9922ee06a"},
        {"caf\xc3\xa9", "850f7dc43910ff890f8879c0ed26fe697c93a067ad93a7d50f466a7028a9bf4e"},
        {std::string("a\0b", 3), "59b271ae1bbcb1d31d41929817f4b16fb439eb4f31520b5ad1d5ce98920a7138"},
    };
    for (const auto& [input, digest] : cases)
        EXPECT_EQ(Sha256::hex(input), digest) << input.substr(0, 60);
}

} // namespace
} // namespace larkpin
