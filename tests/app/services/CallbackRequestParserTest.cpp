#include "app/services/CallbackRequestParser.h"

#include <gtest/gtest.h>

#include <string>
#include <variant>

namespace larkpin {
namespace {

using Callback = LoopbackCallbackServer::Callback;
using Error = LoopbackCallbackServer::Error;
using Outcome = std::variant<Callback, Error>;

const std::string state = "Zq3-_xY0";
const std::string path = "/oauth2/callback";

std::string request(const std::string& requestLine)
{
    return requestLine + "\r\nHost: 127.0.0.1\r\nUser-Agent: test\r\n\r\n";
}

std::string get(const std::string& target)
{
    return request("GET " + target + " HTTP/1.1");
}

std::string describe(const Outcome& outcome)
{
    if (const auto* callback = std::get_if<Callback>(&outcome))
        return "callback with code " + callback->code;
    return std::get<Error>(outcome).what();
}

// The first failure wins, in this order: the request line's form, the method, the path, exactly
// one matching state, then an "error" item, then exactly one non-empty code.
TEST(CallbackRequestParser, takesTheCodeOfAGetForTheCallbackPathWithTheExpectedState)
{
    const auto base = path + "?state=" + state;
    const auto target = base + "&code=C";
    const struct {
        const char* name;
        std::string bytes;
        Outcome outcome;
    } cases[]{
        // clang-format off
        {"state then code", get(base + "&code=4/abc"), Callback{"4/abc"}},
        {"code first, more items", get(path + "?code=C&scope=email%20openid&state=" + state + "&authuser=0"), Callback{"C"}},
        {"a fragment is not part of the query", get(target + "#code=D"), Callback{"C"}},
        {"headers are not examined", "GET " + target + " HTTP/1.0\r\nHost: evil.example\r\nX: state=x\r\n\r\n", Callback{"C"}},
        {"encoded slash, plus and space", get(base + "&code=4%2F0Ab%2Bc%20d"), Callback{"4/0Ab+c d"}},
        {"a plus stays a plus", get(base + "&code=a+b"), Callback{"a+b"}},
        {"decoded once only", get(base + "&code=%2541"), Callback{"%41"}},
        {"encoded names", get(path + "?st%61te=" + state + "&c%6Fde=C"), Callback{"C"}},
        {"UTF-8 in the code", get(base + "&code=%C3%A9"), Callback{"\xC3\xA9"}},
        {"an encoded state is compared decoded", get(path + "?state=Zq3%2D%5FxY0&code=C"), Callback{"C"}},

        {"empty", "", Error::malformedRequest()},
        {"two spaces after the method", request("GET  " + target + " HTTP/1.1"), Error::malformedRequest()},
        {"no version", request("GET " + target), Error::malformedRequest()},
        {"bare line feeds", "GET " + target + " HTTP/1.1\nHost: x\n\n", Error::malformedRequest()},
        {"absolute target", get("http://127.0.0.1" + target), Error::malformedRequest()},
        {"bad escape", get(target + "%zz"), Error::malformedRequest()},
        {"raw non-ASCII", get(target + "\xC3\xA9"), Error::malformedRequest()},
        {"backslash in the path", get("/oauth2\\callback?state=" + state), Error::malformedRequest()},
        {"invalid UTF-8 in a header", get(target) + "X: \xC0\xAF\r\n\r\n", Error::malformedRequest()},

        {"POST, even to another path", request("POST /x HTTP/1.1"), Error::invalidMethod()},
        {"lower-case get", request("get " + target + " HTTP/1.1"), Error::invalidMethod()},
        {"trailing slash", get(path + "/?state=" + state + "&code=C"), Error::invalidPath()},
        {"encoded path", get("/oauth2/%63allback?state=" + state + "&code=C"), Error::invalidPath()},

        {"no query", get(path), Error::invalidState()},
        {"no state", get(path + "?code=C"), Error::invalidState()},
        {"other state", get(path + "?state=Zq3-_xY1&code=C"), Error::invalidState()},
        {"the state and more", get(base + "0&code=C"), Error::invalidState()},
        {"state twice, same value", get(base + "&state=" + state + "&code=C"), Error::invalidState()},
        {"state without a value", get(path + "?state&code=C"), Error::invalidState()},
        {"wrong state with an error", get(path + "?error=access_denied&state=x"), Error::invalidState()},

        {"access denied", get(base + "&error=access_denied"), Error::oauth("access_denied")},
        {"error and code", get(base + "&code=C&error=server_error"), Error::oauth("server_error")},
        {"encoded error", get(base + "&error=bad%20thing"), Error::oauth("bad thing")},
        {"empty error", get(base + "&error=&code=C"), Error::malformedRequest()},
        {"two errors", get(base + "&error=a&error=b"), Error::malformedRequest()},

        {"only the state", get(base), Error::missingCode()},
        {"empty code", get(base + "&code="), Error::missingCode()},
        {"two codes", get(base + "&code=A&code=B"), Error::missingCode()},
        {"a code that decodes to no UTF-8", get(base + "&code=%FF"), Error::missingCode()},
        // clang-format on
    };
    for (const auto& [name, bytes, outcome] : cases) {
        Outcome actual = Error::malformedRequest();
        try {
            actual = CallbackRequestParser::parse(bytes, state, path);
        } catch (const Error& error) {
            actual = error;
        }
        EXPECT_EQ(actual, outcome) << name << ": got " << describe(actual);
    }
}

} // namespace
} // namespace larkpin
