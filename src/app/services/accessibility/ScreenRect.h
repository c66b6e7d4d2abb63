#pragma once

namespace larkpin {

/// A rectangle on the desktop, in the coordinates that windows use (origin at the top-left of the
/// primary screen, y growing downwards).
struct ScreenRect {
    double x = 0;
    double y = 0;
    double width = 0;
    double height = 0;

    double midX() const { return x + width / 2; }
    double midY() const { return y + height / 2; }
    /// Half-open on the far edges, so that a point on the border of two screens belongs to one.
    bool contains(double pointX, double pointY) const {
        return pointX >= x && pointX < x + width && pointY >= y && pointY < y + height;
    }

    friend bool operator==(const ScreenRect&, const ScreenRect&) = default;
};

} // namespace larkpin
