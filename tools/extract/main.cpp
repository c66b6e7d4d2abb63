// larkpin-extract: runs the code extractor over messages given as JSON lines on standard input.
//
// Each line is an object with "subject", "sender", "plainText", "htmlText", "messageID",
// "accountEmail" (text, each optional, empty when absent) and "receivedAt" (seconds since 1970,
// required); other keys are ignored. Each line gives one line on standard output: null when the
// message holds no code, else {"value", "issuer", "receivedAt", "expiresAt"}. A malformed line
// gives one line on standard error naming its number instead, and the run goes on; the exit
// status is then 1. Blank lines are skipped.

#include "core/extraction/OTPExtractor.h"

#include <nlohmann/json.hpp>

#include <iostream>
#include <stdexcept>
#include <string>

namespace {

constexpr double fallbackLifetime = 600;

struct MalformedLine : std::runtime_error {
    using std::runtime_error::runtime_error;
};

std::string text(const nlohmann::json& document, const char* key)
{
    const auto found = document.find(key);
    if (found == document.end() || found->is_null())
        return {};
    if (!found->is_string())
        throw MalformedLine(std::string("key \"") + key + "\" is not a string");
    return found->get<std::string>();
}

larkpin::EmailContent message(const std::string& line)
{
    const auto document = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (document.is_discarded())
        throw MalformedLine("not valid JSON");
    if (!document.is_object())
        throw MalformedLine("not a JSON object");
    const auto receivedAt = document.find("receivedAt");
    if (receivedAt == document.end())
        throw MalformedLine("key \"receivedAt\" is missing");
    if (!receivedAt->is_number())
        throw MalformedLine("key \"receivedAt\" is not a number");
    return larkpin::EmailContent{
        .subject = text(document, "subject"),
        .sender = text(document, "sender"),
        .plainText = text(document, "plainText"),
        .htmlText = text(document, "htmlText"),
        .receivedAt = larkpin::timePointFromSecondsSince1970(receivedAt->get<double>()),
        .messageID = text(document, "messageID"),
        .accountEmail = text(document, "accountEmail"),
    };
}

} // namespace

int main()
{
    std::ios::sync_with_stdio(false);
    const larkpin::OTPExtractor extractor(fallbackLifetime);
    bool anyMalformed = false;
    std::string line;
    for (long number = 1; std::getline(std::cin, line); ++number) {
        if (line.find_first_not_of(" \t\r") == std::string::npos)
            continue;
        try {
            const auto code = extractor.extract(message(line));
            if (!code) {
                std::cout << "null\n";
                continue;
            }
            const nlohmann::ordered_json result = {
                {"value", code->value},
                {"issuer", code->issuer},
                {"receivedAt", larkpin::secondsSince1970(code->receivedAt)},
                {"expiresAt", larkpin::secondsSince1970(code->expiresAt)},
            };
            std::cout << result.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) << '\n';
        } catch (const MalformedLine& error) {
            anyMalformed = true;
            std::cerr << "larkpin-extract: line " << number << ": " << error.what() << '\n';
        }
    }
    std::cout.flush();
    return anyMalformed ? 1 : 0;
}
