#include "app/shell/AboutCredits.h"

#include <QStringList>

#include <gtest/gtest.h>

namespace larkpin {
namespace {

TEST(AboutCredits, EntriesAreTwoLinesEachAfterTheHeadingRuntimeFirstThenSQLite)
{
    const auto entries = AboutCredits::text().split(QStringLiteral("\n\n"));
    ASSERT_GE(entries.size(), 3);
    EXPECT_EQ(entries[0], "Open Source Software");
    EXPECT_TRUE(entries[1].section(u'\n', 0, 0).endsWith(" — application language and runtime"))
        << entries[1].toStdString();
    EXPECT_EQ(entries[2], "SQLite — local on-device database\nPublic Domain");
    for (const auto& entry : entries.mid(1)) {
        const auto lines = entry.split(u'\n');
        EXPECT_EQ(lines.size(), 2) << entry.toStdString();
        EXPECT_EQ(lines[0].count(QStringLiteral(" — ")), 1) << entry.toStdString();
        EXPECT_FALSE(lines.last().trimmed().isEmpty()) << entry.toStdString();
    }
}

} // namespace
} // namespace larkpin
