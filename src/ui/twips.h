// Window positions are kept in twips (1/1440 inch), the unit the board's documentation
// and the original layout use; 15 twips make one pixel at 96 dpi.
#pragma once

#include <QRect>

namespace korva {

constexpr int tw(int twips) {
    return (twips + 7) / 15;
}
inline QRect twRect(int left, int top, int width, int height) {
    return {tw(left), tw(top), tw(width), tw(height)};
}

} // namespace korva
