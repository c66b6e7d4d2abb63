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

Outcome parse(const std::string& bytes, const std::string& expectedState = state)
{
    try {
        return CallbackRequestParser::parse(bytes, expectedState, path);
    } catch (const Error& error) {
        return error;
    }
}

std::string describe(const Outcome& outcome)
{
    if (const auto* callback = std::get_if<Callback>(&outcome))
        return "callback with code " + callback->code;
    return std::get<Error>(outcome).what();
}

struct ParseCase {
    const char* name;
    std::string bytes;
    Outcome outcome;
};

void expectOutcomes(const std::vector<ParseCase>& cases)
{
    for (const auto& [name, bytes, outcome] : cases) {
        const auto actual = parse(bytes);
        EXPECT_EQ(actual, outcome) << name << ": got " << describe(actual);
    }
}

TEST(CallbackRequestParser, acceptsAGetForTheCallbackPathWithTheStateAndACode)
{
    expectOutcomes({
        {"state then code", get(path + "?state=" + state + "&code=4/abc"), Callback{"4/abc"}},
        {"code then state, more items", get(path + "?code=C&scope=email%20openid&state=" + state + "&authuser=0"),
         Callback{"C"}},
        {"a fragment is not part of the query", get(path + "?state=" + state + "&code=C#code=D"), Callback{"C"}},
        {"headers are not examined",
         "GET " + path + "?state=" + state + "&code=C HTTP/1.0\r\nHost: evil.example\r\nX: state=x\r\n\r\n",
         Callback{"C"}},
        {"any version text", request("GET " + path + "?state=" + state + "&code=C HTTP/9"), Callback{"C"}},
    });
}

TEST(CallbackRequestParser, decodesPercentEncodedNamesAndValuesOnce)
{
    expectOutcomes({
        {"encoded slash, plus and space in the code", get(path + "?state=" + state + "&code=4%2F0Ab%2Bc%20d"),
         Callback{"4/0Ab+c d"}},
        {"a plus stays a plus", get(path + "?state=" + state + "&code=a+b"), Callback{"a+b"}},
        {"decoded once only", get(path + "?state=" + state + "&code=%2541"), Callback{"%41"}},
        {"encoded names", get(path + "?st%61te=" + state + "&c%6Fde=C"), Callback{"C"}},
        {"UTF-8 in the code", get(path + "?state=" + state + "&code=%C3%A9"), Callback{"\xC3\xA9"}},
        {"a code that decodes to no UTF-8 is missing", get(path + "?state=" + state + "&code=%FF"),
         Error::missingCode()},
        {"an encoded state is compared decoded", get(path + "?state=Zq3%2D%5FxY0&code=C"), Callback{"C"}},
    });
}

TEST(CallbackRequestParser, refusesOtherMethodsAndPaths)
{
    const auto query = "?state=" + state + "&code=C";
    expectOutcomes({
        {"POST", request("POST " + path + query + " HTTP/1.1"), Error::invalidMethod()},
        {"lower-case get", request("get " + path + query + " HTTP/1.1"), Error::invalidMethod()},
        {"HEAD", request("HEAD " + path + query + " HTTP/1.1"), Error::invalidMethod()},
        {"trailing slash", get(path + "/" + query), Error::invalidPath()},
        {"other case", get("/OAuth2/callback" + query), Error::invalidPath()},
        {"encoded path", get("/oauth2/%63allback" + query), Error::invalidPath()},
        {"double slash", get("/" + path + query), Error::invalidPath()},
        {"root", get("/" + query), Error::invalidPath()},
        // The method is checked before the path.
        {"POST to another path", request("POST /x HTTP/1.1"), Error::invalidMethod()},
    });
}

TEST(CallbackRequestParser, requiresExactlyOneMatchingStateBeforeLookingAtErrorOrCode)
{
    const auto base = path + "?";
    expectOutcomes({
        {"no query", get(path), Error::invalidState()},
        {"empty query", get(path + "?"), Error::invalidState()},
        {"no state", get(base + "code=C"), Error::invalidState()},
        {"other state", get(base + "state=Zq3-_xY1&code=C"), Error::invalidState()},
        {"a prefix of the state", get(base + "state=Zq3-_xY&code=C"), Error::invalidState()},
        {"the state and more", get(base + "state=" + state + "0&code=C"), Error::invalidState()},
        {"state twice, same value", get(base + "state=" + state + "&state=" + state + "&code=C"),
         Error::invalidState()},
        {"state without a value", get(base + "state&code=C"), Error::invalidState()},
        {"empty state", get(base + "state=&code=C"), Error::invalidState()},
        {"wrong state with an error", get(base + "error=access_denied&state=x"), Error::invalidState()},
        {"state differing in case", get(base + "state=zq3-_xy0&code=C"), Error::invalidState()},
    });
}

TEST(CallbackRequestParser, reportsTheRedirectsErrorBeforeTheCode)
{
    const auto base = path + "?state=" + state;
    expectOutcomes({
        {"access denied", get(base + "&error=access_denied"), Error::oauth("access_denied")},
        {"error and code", get(base + "&code=C&error=server_error"), Error::oauth("server_error")},
        {"encoded error", get(base + "&error=bad%20thing"), Error::oauth("bad thing")},
        {"empty error", get(base + "&error=&code=C"), Error::malformedRequest()},
        {"error without a value", get(base + "&error&code=C"), Error::malformedRequest()},
        {"two errors", get(base + "&error=a&error=b"), Error::malformedRequest()},
        {"only the state", get(base), Error::missingCode()},
        {"empty code", get(base + "&code="), Error::missingCode()},
        {"code without a value", get(base + "&code"), Error::missingCode()},
        {"two codes", get(base + "&code=A&code=B"), Error::missingCode()},
    });
}

TEST(CallbackRequestParser, refusesMalformedRequests)
{
    const auto target = path + "?state=" + state + "&code=C";
    expectOutcomes({
        {"empty", "", Error::malformedRequest()},
        {"just the blank line", "\r\n\r\n", Error::malformedRequest()},
        {"two spaces after the method", request("GET  " + target + " HTTP/1.1"), Error::malformedRequest()},
        {"no version", request("GET " + target), Error::malformedRequest()},
        {"four pieces", request("GET " + target + " HTTP/1.1 x"), Error::malformedRequest()},
        {"tab instead of space", request("GET\t" + target + " HTTP/1.1"), Error::malformedRequest()},
        {"bare line feeds", "GET " + target + " HTTP/1.1\nHost: x\n\n", Error::malformedRequest()},
        {"absolute target", get("http://127.0.0.1" + target), Error::malformedRequest()},
        {"asterisk target", get("*"), Error::malformedRequest()},
        {"relative target", get(target.substr(1)), Error::malformedRequest()},
        {"bad escape", get(target + "%zz"), Error::malformedRequest()},
        {"cut escape", get(target + "%4"), Error::malformedRequest()},
        {"escape at the end", get(target + "%"), Error::malformedRequest()},
        {"raw non-ASCII", get(target + "\xC3\xA9"), Error::malformedRequest()},
        {"angle bracket", get(target + "<"), Error::malformedRequest()},
        {"backslash in the path", get("/oauth2\\callback?state=" + state), Error::malformedRequest()},
        {"second fragment mark", get(target + "#a#b"), Error::malformedRequest()},
        {"invalid UTF-8 in a header", get(target) + "X: \xC0\xAF\r\n\r\n", Error::malformedRequest()},
        {"NUL in the target", request("GET " + target + std::string(1, '\0') + " HTTP/1.1"),
         Error::malformedRequest()},
    });
}

TEST(CallbackRequestParser, comparesInConstantTimeByBytes)
{
    const struct {
        std::string a, b;
        bool equal;
    } cases[]{
        {"", "", true},
        {"abc", "abc", true},
        {"abc", "abd", false},
        {"abc", "ab", false},
        {"ab", "abc", false},
        {"\x80", "\x00", false},
        {std::string("a\0b", 3), std::string("a\0c", 3), false},
        {std::string(43, 'x') + "y", std::string(43, 'x') + "z", false},
    };
    for (const auto& [a, b, equal] : cases)
        EXPECT_EQ(CallbackRequestParser::constantTimeEqual(a, b), equal) << a << " / " << b;
}

} // namespace
} // namespace larkpin
