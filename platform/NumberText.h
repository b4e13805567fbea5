#pragma once

// Text-to-number conversion in the platform's usual way, shared by the store's
// readers: blanks around the number are ignored and a fraction is rounded to
// the nearest whole number, halves to the even neighbour.

#include <QString>

#include <cstdint>
#include <optional>

namespace numtext
{

// The number a text holds, or nothing when it holds none.
std::optional<double> parse(const QString& text);

// Rounds halves to the even neighbour (2.5 -> 2, 3.5 -> 4, -2.5 -> -2).
double roundHalfEven(double value);

// Whole numbers of the given width; throw ZeptaError "Type mismatch" for
// text that is no number and "Overflow" for one outside the range.
std::int16_t toInt16(const QString& text);
std::int32_t toInt32(const QString& text);
std::int16_t toInt16(double value);
std::int32_t toInt32(double value);

// Boolean parameter text: "True"/"False" in any letter case, or a number
// (zero is false, anything else true). Throws "Type mismatch" otherwise.
bool toBoolean(const QString& text);

} // namespace numtext
