#pragma once

// Fixed layouts are given in twips: 1440 to the inch, 15 to a logical pixel at
// 96 dots per inch. One conversion for every window.

#include <QRect>

namespace twips
{

constexpr int toPixels(int twips) { return (twips + 7) / 15; }

inline QRect rect(int left, int top, int width, int height)
{
    return QRect(toPixels(left), toPixels(top), toPixels(width), toPixels(height));
}

inline QSize size(int width, int height) { return QSize(toPixels(width), toPixels(height)); }

} // namespace twips
