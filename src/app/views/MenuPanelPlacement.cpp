#include "app/views/MenuPanelPlacement.h"

#include <algorithm>

namespace larkpin {

QPoint MenuPanelPlacement::place(QSize panel, QRect icon, QPoint cursor, QRect available)
{
    const QRect anchor = icon.isEmpty() ? QRect(cursor, QSize(1, 1)) : icon;
    const bool below = anchor.center().y() < available.center().y();
    const int x = anchor.center().x() - panel.width() / 2;
    const int y = below ? anchor.bottom() + 1 + gap : anchor.top() - gap - panel.height();
    // When the panel is larger than the area, its top-left corner stays visible.
    const auto clamp = [](int value, int low, int high) { return std::max(low, std::min(value, high)); };
    return {clamp(x, available.left(), available.right() + 1 - panel.width()),
            clamp(y, available.top(), available.bottom() + 1 - panel.height())};
}

} // namespace larkpin
