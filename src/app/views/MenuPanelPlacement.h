#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>

namespace larkpin {

/// Where the tray panel goes: beside the tray icon, or at the pointer when the tray reports no
/// geometry, always inside the screen's available area.
struct MenuPanelPlacement {
    /// Gap between the icon (or pointer) and the panel.
    static constexpr int gap = 4;

    /// The panel's top-left corner. It opens below the anchor when the anchor is in the upper half
    /// of `available` (a tray at the top), above it otherwise, centred on it horizontally.
    static QPoint place(QSize panel, QRect icon, QPoint cursor, QRect available);
};

} // namespace larkpin
