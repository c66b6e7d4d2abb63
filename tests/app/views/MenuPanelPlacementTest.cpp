#include "app/views/MenuPanelPlacement.h"

#include <gtest/gtest.h>

namespace larkpin {
namespace {

TEST(MenuPanelPlacement, OpensBesideTheIconOrPointerInsideTheAvailableArea)
{
    const QSize panel(360, 400);
    const QRect screen(0, 24, 1280, 776); // a top bar of 24
    const QRect none;
    const struct {
        const char* name;
        QRect icon;
        QPoint cursor;
        QRect available;
        QPoint expected;
    } cases[] = {
        {"below a top tray icon, centred on it", {600, 0, 24, 24}, {0, 0}, screen, {431, 28}},
        {"right edge clamped", {1256, 0, 24, 24}, {0, 0}, screen, {920, 28}},
        {"left edge clamped", {0, 0, 24, 24}, {0, 0}, screen, {0, 28}},
        {"above a bottom tray icon", {600, 776, 24, 24}, {0, 0}, {0, 0, 1280, 776}, {431, 372}},
        {"at the pointer when no geometry", none, {700, 10}, screen, {520, 24}},
        {"at the pointer near the bottom", none, {100, 790}, screen, {0, 386}},
        {"on a second screen", {1900, 1080, 24, 24}, {0, 0}, {1280, 0, 1920, 1080}, {1731, 676}},
        {"larger than the area: top-left stays visible", none, {5, 5}, {0, 0, 300, 300}, {0, 0}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MenuPanelPlacement::place(panel, c.icon, c.cursor, c.available), c.expected) << c.name;
}

} // namespace
} // namespace larkpin
