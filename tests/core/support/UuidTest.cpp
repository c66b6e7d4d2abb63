#include "core/support/Uuid.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace larkpin {
namespace {

TEST(Uuid, parsesEitherLetterCaseAndWritesCanonicalUpperCase)
{
    const auto upper = Uuid::parse("0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F3");
    const auto lower = Uuid::parse("0a1b2c3d-4e5f-6a7b-8c9d-aebfc0d1e2f3");
    ASSERT_TRUE(upper.has_value());
    ASSERT_TRUE(lower.has_value());
    EXPECT_EQ(*upper, *lower);
    EXPECT_EQ(upper->toString(), "0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F3");
    EXPECT_EQ(upper->bytes()[0], 0x0A);
    EXPECT_EQ(upper->bytes()[15], 0xF3);
    EXPECT_EQ(Uuid().toString(), "00000000-0000-0000-0000-000000000000");
}

TEST(Uuid, rejectsTextThatIsNotCanonical)
{
    for (const auto* text : {
             "",
             "0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F",    // one digit short
             "0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F30",  // one digit long
             "0A1B2C3D4E5F6A7B8C9DAEBFC0D1E2F3",       // no hyphens
             "0A1B2C3D4-E5F-6A7B-8C9D-AEBFC0D1E2F3",   // hyphen moved
             "0A1B2C3D-4E5F-6A7B-8C9D_AEBFC0D1E2F3",   // wrong separator
             "0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2FG",   // not hexadecimal
             "{0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F}",  // braces
             " 0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2F",   // padded
             "0A1B2C3D-4E5F-6A7B-8C9D-AEBFC0D1E2-3",   // hyphen in place of a digit
             "not-a-uuid",
         })
        EXPECT_FALSE(Uuid::parse(text).has_value()) << text;
}

TEST(Uuid, randomIsVersion4WithTheRfc4122VariantAndRoundTrips)
{
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const auto id = Uuid::random();
        EXPECT_EQ(id.bytes()[6] >> 4, 4);
        EXPECT_EQ(id.bytes()[8] & 0xC0, 0x80);
        const auto text = id.toString();
        EXPECT_EQ(text[14], '4');
        EXPECT_EQ(Uuid::parse(text), id);
        seen.insert(text);
    }
    EXPECT_EQ(seen.size(), 200u);
}

} // namespace
} // namespace larkpin
