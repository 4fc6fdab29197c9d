#pragma once

#include <QRect>

// The window's layout is kept in twips (1/1440 inch) so every number can be checked against the
// design; at 96 dots per inch 15 twips are one pixel, and every value is a whole pixel.
constexpr int TwipsPerPixel = 15;

constexpr int twipsToPixels(int twips)
{
    return twips / TwipsPerPixel;
}

constexpr QRect twipsRect(int left, int top, int width, int height)
{
    return {twipsToPixels(left), twipsToPixels(top), twipsToPixels(width), twipsToPixels(height)};
}
