#include "app/readabletext.h"

#include <cmath>

namespace {

constexpr double MinimumContrast = 4.5;
bool correcting = true;

double linear(double channel)
{
    return channel <= 0.03928 ? channel / 12.92 : std::pow((channel + 0.055) / 1.055, 2.4);
}

double relativeLuminance(const QColor& colour)
{
    const QColor rgb = colour.toRgb();
    return 0.2126 * linear(rgb.redF()) + 0.7152 * linear(rgb.greenF()) +
           0.0722 * linear(rgb.blueF());
}

} // namespace

namespace ReadableText {

double contrastRatio(const QColor& a, const QColor& b)
{
    const double la = relativeLuminance(a);
    const double lb = relativeLuminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor on(const QColor& ground, const QColor& text)
{
    if (!correcting || contrastRatio(ground, text) >= MinimumContrast)
        return text;
    const QColor black(Qt::black);
    const QColor white(Qt::white);
    return contrastRatio(ground, black) >= contrastRatio(ground, white) ? black : white;
}

bool enabled()
{
    return correcting;
}

void setEnabled(bool enabled)
{
    correcting = enabled;
}

} // namespace ReadableText
