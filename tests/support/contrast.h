// How readable a widget's text is as drawn, for tests of colours in light and dark palettes.
#pragma once

#include <QImage>
#include <QWidget>

#include <algorithm>
#include <cmath>

namespace korva::test {

// The contrast of a box's text against its background as drawn (WCAG's ratio, 1 to 21):
// the background left of the centred text against the pixel that differs from it most.
inline double drawnContrast(QWidget* box) {
    const QImage image = box->grab().toImage();
    auto luminance = [&](int x, int y) { // of the colour, its channels made linear
        const QColor c = image.pixelColor(x, y);
        return 0.2126 * std::pow(c.redF(), 2.2) + 0.7152 * std::pow(c.greenF(), 2.2) +
               0.0722 * std::pow(c.blueF(), 2.2);
    };
    const double background = luminance(3, image.height() / 2);
    double text = background;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 3; x < image.width() - 3; ++x)
            if (std::abs(luminance(x, y) - background) > std::abs(text - background))
                text = luminance(x, y);
    return (std::max(text, background) + 0.05) / (std::min(text, background) + 0.05);
}

} // namespace korva::test
