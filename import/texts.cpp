// The texts the import writes that are computed rather than copied: end
// times, the hour of an input's interval, and the day and hour numbers.
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>

#include "import/steps.h"

namespace brivasto {

std::u16string PadEndTime(std::u16string_view endTime) {
  if (!endTime.empty() && endTime.front() != u'0' && endTime.size() < 5) {
    return u"0" + std::u16string(endTime);
  }
  return std::u16string(endTime);
}

std::u16string IntervalHourText(double hour, double sessions, char16_t decimalSeparator) {
  double number = hour;
  if (sessions == 0.5) number = number * 2 - 1;
  // A whole hour, as nearly every one is, has the same text as its numeral.
  if (number >= 1 && number < 1e15 && number == std::floor(number)) {
    return DecimalText(static_cast<std::int64_t>(number));
  }
  // The general form with 15 significant digits drops trailing zeros and
  // the point of a whole number; std::to_chars is independent of the locale.
  std::array<char, 64> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), number,
                                    std::chars_format::general, 15);
  std::u16string text;
  for (const char* c = buffer.data(); c != result.ptr; ++c) {
    text.push_back(*c == '.' ? decimalSeparator : static_cast<char16_t>(*c));
  }
  return text;
}

std::optional<int> PlainNumeral(std::u16string_view text, int max) {
  // Only the plain numeral matches: no sign, blank, leading zero or point.
  if (text.empty() || text.size() > 9 || text.front() == u'0') return std::nullopt;
  int value = 0;
  for (const char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value * 10 + (c - u'0');
  }
  if (value > max) return std::nullopt;
  return value;
}

}  // namespace brivasto
