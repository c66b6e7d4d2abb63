// libFuzzer target: the loopback redirect request. The parser faces any local client, so every
// input must end in a callback or a LoopbackCallbackServer::Error, nothing else.
//
// The first byte picks the layout: the rest as the whole request, or as the query of a GET for the
// callback path, with or without the expected state in front. The templates let the fuzzer reach
// the query handling, which a random request would almost never get to (the state is compared
// without early exit, so comparison tracing cannot guess it).

#include "app/services/CallbackRequestParser.h"
#include "core/support/Utf8.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using larkpin::CallbackRequestParser;
    using larkpin::LoopbackCallbackServer;
    if (size == 0)
        return 0;
    constexpr std::string_view expectedState = "Zq3-_xY0";
    constexpr std::string_view callbackPath = "/oauth2/callback";
    const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::string request;
    switch (data[0] % 3) {
    case 0:
        request = rest;
        break;
    case 1:
        request = "GET /oauth2/callback?" + std::string(rest) + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        break;
    default:
        request = "GET /oauth2/callback?state=Zq3-_xY0&" + std::string(rest) + " HTTP/1.1\r\n\r\n";
        break;
    }

    try {
        const auto callback = CallbackRequestParser::parse(request, expectedState, callbackPath);
        // Only a GET for the callback path with a query can succeed, and only with a real code.
        if (!request.starts_with("GET /oauth2/callback?") || callback.code.empty() ||
            !larkpin::Utf8::isValid(callback.code))
            std::abort();
    } catch (const LoopbackCallbackServer::Error& error) {
        if (error.kind() == LoopbackCallbackServer::Error::Kind::oauth && error.oauthError().empty())
            std::abort();
    }

    // The comparison agrees with plain equality, for two halves of the input.
    const auto first = rest.substr(0, rest.size() / 2);
    const auto second = rest.substr(rest.size() / 2, rest.size() / 2);
    if (CallbackRequestParser::constantTimeEqual(first, second) != (first == second))
        std::abort();
    return 0;
}
