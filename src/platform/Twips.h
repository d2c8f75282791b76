#pragma once

#include <cmath>

// Geometry is kept in twips (1/1440 inch); Qt works in logical pixels at 96 dpi.
constexpr int TwipsPerPixel = 15;

constexpr int twipsToPixels(double twips)
{
    return static_cast<int>(twips >= 0 ? twips / TwipsPerPixel + 0.5 : twips / TwipsPerPixel - 0.5);
}

constexpr int pixelsToTwips(int pixels)
{
    return pixels * TwipsPerPixel;
}
