#pragma once

// Web Mercator (EPSG:3857), north up, in the tile scheme every raster tile
// source uses: world coordinates run from 0 to 1, x from the antimeridian
// eastwards and y from the northern edge southwards; at zoom z the world is
// 256 * 2^z pixels wide and tile (x, y) of that zoom covers
// [x, x + 1) / 2^z by [y, y + 1) / 2^z.

#include <algorithm>
#include <cmath>

namespace mapmath
{

constexpr double kPi = 3.14159265358979323846;
// Where the projection's square world ends: tan-based y reaches the square's edge here.
constexpr double kMaxLatitude = 85.0511287798066;
constexpr double kEarthRadius = 6378137.0; // metres, the sphere of EPSG:3857
constexpr int kTileSize = 256;
constexpr int kMaxZoom = 22;

inline double worldX(double longitude) { return (longitude + 180.0) / 360.0; }

inline double worldY(double latitude)
{
    const double clamped = std::clamp(latitude, -kMaxLatitude, kMaxLatitude);
    const double s = std::sin(clamped * kPi / 180.0);
    return 0.5 - std::log((1.0 + s) / (1.0 - s)) / (4.0 * kPi);
}

inline double longitudeOf(double x) { return x * 360.0 - 180.0; }

inline double latitudeOf(double y) { return std::atan(std::sinh(kPi * (1.0 - 2.0 * y))) * 180.0 / kPi; }

// The world's width in pixels at a zoom.
inline double worldPixels(double zoom) { return kTileSize * std::exp2(zoom); }

// Ground metres one pixel covers at a latitude and zoom.
inline double metresPerPixel(double latitude, double zoom)
{
    return std::cos(latitude * kPi / 180.0) * 2.0 * kPi * kEarthRadius / worldPixels(zoom);
}

// A position that can be drawn: finite, latitude within ±90, longitude within ±180.
inline bool onTheEarth(double latitude, double longitude)
{
    return std::isfinite(latitude) && std::isfinite(longitude) && std::abs(latitude) <= 90.0
        && std::abs(longitude) <= 180.0;
}

// EPSG:3857 metres to world coordinates.
inline double worldXOfMetres(double x) { return 0.5 + x / (2.0 * kPi * kEarthRadius); }
inline double worldYOfMetres(double y) { return 0.5 - y / (2.0 * kPi * kEarthRadius); }

} // namespace mapmath
