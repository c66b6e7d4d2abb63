#include "support/ChildProcess.h"
#include "support/TemporaryFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

namespace larkpin {
namespace {

    /// Runs larkpin-extract with `input` on its standard input.
    test::ProcessResult extract(const std::string& input)
    {
        const test::TemporaryFolder folder;
        const auto path = folder.path() / "input.jsonl";
        std::ofstream(path, std::ios::binary) << input;
        return test::ChildProcess::run({"/bin/sh", "-c", "exec \"$0\" < \"$1\"", LARKPIN_EXTRACT_PATH, path.string()});
    }

    TEST(ExtractTool, writesOneLinePerMessage)
    {
        const auto result = extract(
            R"({"subject":"Your verification code","sender":"\"Acme\" <no-reply@Mail.Acme.com>","plainText":"Use 482913 to sign in. It expires in 10 minutes.","receivedAt":1700000000,"extra":[1,2]})"
            "\n"
            R"({"plainText":"Nothing to see","receivedAt":1700000000})"
            "\n"
            R"({"htmlText":"<p>Your code is <b>7391</b></p>","receivedAt":1700000000.5,"messageID":"m1","accountEmail":"a@b.c"})"
            "\n");
        EXPECT_EQ(result.out,
                  "{\"value\":\"482913\",\"issuer\":\"Acme · mail.acme.com\",\"receivedAt\":1700000000.0,\"expiresAt\":1700000600.0}\n"
                  "null\n"
                  "{\"value\":\"7391\",\"issuer\":\"\",\"receivedAt\":1700000000.5,\"expiresAt\":1700000600.5}\n");
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.status, 0);
    }

    TEST(ExtractTool, reportsMalformedLinesAndGoesOn)
    {
        const auto result = extract("not json\n"
                                    R"({"plainText":"Your code is 4829","receivedAt":10})"
                                    "\n[1,2]\n"
                                    R"({"plainText":"Your code is 4829"})"
                                    "\n"
                                    R"({"plainText":5,"receivedAt":10})"
                                    "\n"
                                    R"({"plainText":"x","receivedAt":"soon"})"
                                    "\n\n"
                                    "{\"plainText\":\"\xC3\",\"receivedAt\":10}\n"
                                    R"({"plainText":"Your code is 4829","receivedAt":10})");
        EXPECT_EQ(result.out, "{\"value\":\"4829\",\"issuer\":\"\",\"receivedAt\":10.0,\"expiresAt\":610.0}\n"
                              "{\"value\":\"4829\",\"issuer\":\"\",\"receivedAt\":10.0,\"expiresAt\":610.0}\n");
        EXPECT_EQ(result.err, "larkpin-extract: line 1: not valid JSON\n"
                              "larkpin-extract: line 3: not a JSON object\n"
                              "larkpin-extract: line 4: key \"receivedAt\" is missing\n"
                              "larkpin-extract: line 5: key \"plainText\" is not a string\n"
                              "larkpin-extract: line 6: key \"receivedAt\" is not a number\n"
                              "larkpin-extract: line 8: not valid JSON\n");
        EXPECT_EQ(result.status, 1);
    }

} // namespace
} // namespace larkpin
