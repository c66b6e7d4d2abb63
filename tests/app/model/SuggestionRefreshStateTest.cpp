#include "app/model/SuggestionRefreshState.h"

#include <gtest/gtest.h>

namespace larkpin {
namespace {

OTPCode code(const std::string& value)
{
    return {Uuid::random(), value, "", "", "", {}, {}, std::nullopt};
}

TEST(SuggestionRefreshState, FreezesTheCodesWhileRefreshingOrFailedAndClearsOnSuccess)
{
    const auto a = code("1"), b = code("2"), c = code("3");
    const auto updated = timePointFromSecondsSince1970(100);
    SuggestionRefreshState state;
    state.observe({a, b}, updated);
    ASSERT_TRUE(state.begin({c}, std::nullopt));
    EXPECT_EQ(state.visibleCodeIDs, (std::vector<Uuid>{a.id, b.id})) << "a listed panel keeps its codes";
    EXPECT_EQ(state.lastUpdatedAt, updated);
    EXPECT_FALSE(state.begin({c}, std::nullopt)) << "one refresh at a time";
    state.observe({c}, std::nullopt);
    EXPECT_EQ(state.visibleCodeIDs, (std::vector<Uuid>{a.id, b.id})) << "frozen while refreshing";

    state.isRefreshing = false;
    state.errorMessage = "failed";
    state.failedAccountIDs = {"x"};
    state.observe({c}, std::nullopt);
    EXPECT_EQ(state.visibleCodeIDs, (std::vector<Uuid>{a.id, b.id})) << "frozen while the error shows";
    EXPECT_EQ(state.visibleCodes({c, b, a}), (std::vector<OTPCode>{a, b})) << "in the frozen order";
    EXPECT_EQ(state.visibleCodes({b}), (std::vector<OTPCode>{b})) << "used or expired codes drop out";

    ASSERT_TRUE(state.begin({c}, std::nullopt)) << "retry";
    EXPECT_EQ(state.errorMessage, std::nullopt);
    state.succeed({c}, updated);
    EXPECT_TRUE(!state.isRefreshing && !state.errorMessage && state.failedAccountIDs.empty());
    EXPECT_EQ(state.visibleCodeIDs, std::vector<Uuid>{c.id});

    SuggestionRefreshState empty;
    ASSERT_TRUE(empty.begin({c}, updated));
    EXPECT_EQ(empty.visibleCodeIDs, std::vector<Uuid>{c.id}) << "an empty panel takes the current codes";
}

} // namespace
} // namespace larkpin
