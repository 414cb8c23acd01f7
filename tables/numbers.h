// tables/numbers.h (private): numbers as the tables keep them in text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brivasto::numbers {

// The number a text holds: blanks around it, an optional sign, digits with
// at most one `decimalSeparator`, an optional exponent ("1e3"). No thousands
// separators. std::nullopt for anything else, the empty text included, and
// for numbers beyond the range of a double.
std::optional<double> Parse(std::u16string_view text, char16_t decimalSeparator);

// The value rounded to the nearest integer, ties to even (2.5 -> 2,
// 3.5 -> 4); std::nullopt outside the 32-bit range or for NaN.
std::optional<std::int32_t> RoundToInt32(double value);

// The shortest text that reads back as the same double, with '.' ("43.65").
std::u16string ShortestText(double value);

// The value with exactly `decimals` digits after '.', right-aligned in
// `width` characters; std::nullopt when it does not fit or is not finite.
std::optional<std::string> FixedText(double value, int width, int decimals);

}  // namespace brivasto::numbers
