#include "core/extraction/OTPExtractor.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <fstream>
#include <string>
#include <vector>

namespace larkpin {
namespace {

    struct CorpusMessage {
        std::string name;
        EmailContent content;
        nlohmann::json expected; ///< null, or value, issuer and expiresAt
    };

    void PrintTo(const CorpusMessage& message, std::ostream* os) { *os << message.name; }

    std::vector<CorpusMessage> corpus()
    {
        std::vector<CorpusMessage> messages;
        std::ifstream file(LARKPIN_EXTRACTION_CORPUS);
        for (std::string line; std::getline(file, line);) {
            const auto document = nlohmann::json::parse(line);
            const auto text = [&document](const char* key) { return document.at(key).get<std::string>(); };
            const double receivedAt = document.at("receivedAt").get<double>();
            messages.push_back({.name = text("name"),
                                .content = {.subject = text("subject"),
                                            .sender = text("sender"),
                                            .plainText = text("plainText"),
                                            .htmlText = text("htmlText"),
                                            .receivedAt = timePointFromSecondsSince1970(receivedAt),
                                            .messageID = text("messageID"),
                                            .accountEmail = text("accountEmail")},
                                .expected = document.at("expected")});
        }
        return messages;
    }

    class Corpus : public testing::TestWithParam<CorpusMessage> {};

    TEST_P(Corpus, givesTheExpectedCodeIssuerAndExpiry)
    {
        const auto& message = GetParam();
        const auto code = OTPExtractor(600).extract(message.content);
        if (message.expected.is_null()) {
            EXPECT_FALSE(code.has_value()) << "found " << code->value;
            return;
        }
        ASSERT_TRUE(code.has_value());
        EXPECT_EQ(code->value, message.expected.at("value").get<std::string>());
        EXPECT_EQ(code->issuer, message.expected.at("issuer").get<std::string>());
        EXPECT_EQ(secondsSince1970(code->expiresAt), message.expected.at("expiresAt").get<double>());
        EXPECT_EQ(code->receivedAt, message.content.receivedAt);
        EXPECT_EQ(code->messageID, message.content.messageID);
        EXPECT_EQ(code->accountEmail, message.content.accountEmail);
    }

    INSTANTIATE_TEST_SUITE_P(Messages, Corpus, testing::ValuesIn(corpus()),
                             [](const testing::TestParamInfo<CorpusMessage>& info) {
                                 std::string name = std::to_string(info.index) + "_";
                                 for (const char c : info.param.name)
                                     name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                                 return name;
                             });

    TEST(Corpus, isReadWhole) { EXPECT_GE(corpus().size(), 120u); }

} // namespace
} // namespace larkpin
