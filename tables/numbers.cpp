#include "tables/numbers.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace brivasto::numbers {

std::optional<double> Parse(std::u16string_view text, char16_t decimalSeparator) {
  const auto first = text.find_first_not_of(u' ');
  if (first == std::u16string_view::npos) return std::nullopt;
  text = text.substr(first, text.find_last_not_of(u' ') - first + 1);

  // Checked here, character by character, and handed to from_chars in its own
  // syntax: from_chars is independent of the C locale, but knows no '+' sign,
  // no blanks and no other decimal separator.
  std::string plain;
  std::size_t i = 0;
  if (text[i] == u'+' || text[i] == u'-') {
    if (text[i] == u'-') plain.push_back('-');
    ++i;
  }
  std::size_t digits = 0;
  bool separatorSeen = false;
  for (; i < text.size(); ++i) {
    const char16_t c = text[i];
    if (c >= u'0' && c <= u'9') {
      plain.push_back(static_cast<char>(c));
      ++digits;
    } else if (c == decimalSeparator && !separatorSeen) {
      plain.push_back('.');
      separatorSeen = true;
    } else {
      break;
    }
  }
  if (digits == 0) return std::nullopt;
  if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
    plain.push_back('e');
    ++i;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
      plain.push_back(static_cast<char>(text[i]));
      ++i;
    }
    std::size_t exponentDigits = 0;
    for (; i < text.size() && text[i] >= u'0' && text[i] <= u'9'; ++i) {
      plain.push_back(static_cast<char>(text[i]));
      ++exponentDigits;
    }
    if (exponentDigits == 0) return std::nullopt;
  }
  if (i != text.size()) return std::nullopt;

  double value = 0;
  const auto [end, error] = std::from_chars(plain.data(), plain.data() + plain.size(), value);
  if (error != std::errc() || end != plain.data() + plain.size()) return std::nullopt;
  return value;
}

std::optional<std::int32_t> RoundToInt32(double value) {
  if (std::isnan(value)) return std::nullopt;
  // Ties to even, independent of the current rounding mode.
  double rounded = std::round(value);
  if (std::fabs(value - std::trunc(value)) == 0.5 && std::fmod(rounded, 2.0) != 0.0) {
    rounded -= std::copysign(1.0, value);
  }
  if (rounded < static_cast<double>(std::numeric_limits<std::int32_t>::min()) ||
      rounded > static_cast<double>(std::numeric_limits<std::int32_t>::max())) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(rounded);
}

std::u16string ShortestText(double value) {
  char buffer[64];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::u16string(buffer, result.ptr);
}

std::optional<std::string> FixedText(double value, int width, int decimals) {
  if (!std::isfinite(value)) return std::nullopt;
  if (value == 0) value = 0;  // no "-0.0000"
  char buffer[400];
  const auto result =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
  if (result.ec != std::errc()) return std::nullopt;
  const auto length = static_cast<std::size_t>(result.ptr - buffer);
  const auto fieldWidth = static_cast<std::size_t>(width);
  if (length > fieldWidth) return std::nullopt;
  return std::string(fieldWidth - length, ' ') + std::string(buffer, length);
}

}  // namespace brivasto::numbers
