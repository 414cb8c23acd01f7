#include "export/hours.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "text/text.h"

namespace brivasto::hours {
namespace {

bool IsDigit(char16_t c) { return c >= u'0' && c <= u'9'; }
bool IsSeparator(char16_t c) { return c == u'.' || c == u','; }

// A number as written in an hours text, split into its parts.
struct Numeral {
  bool negative = false;
  std::string integerDigits;
  std::string fractionDigits;
  bool hasExponent = false;
  bool exponentNegative = false;
  std::string exponentDigits;
};

std::optional<Numeral> ParseNumeral(std::u16string_view text) {
  Numeral numeral;
  std::size_t i = 0;
  auto digitsInto = [&](std::string& digits) {
    while (i < text.size() && IsDigit(text[i])) digits.push_back(static_cast<char>(text[i++]));
  };
  if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) numeral.negative = text[i++] == u'-';
  digitsInto(numeral.integerDigits);
  if (i < text.size() && IsSeparator(text[i])) {
    ++i;
    digitsInto(numeral.fractionDigits);
  }
  if (numeral.integerDigits.empty() && numeral.fractionDigits.empty()) return std::nullopt;
  if (i < text.size() && (text[i] == u'e' || text[i] == u'E')) {
    ++i;
    numeral.hasExponent = true;
    if (i < text.size() && (text[i] == u'+' || text[i] == u'-')) {
      numeral.exponentNegative = text[i++] == u'-';
    }
    digitsInto(numeral.exponentDigits);
    if (numeral.exponentDigits.empty()) return std::nullopt;
  }
  if (i != text.size()) return std::nullopt;
  return numeral;
}

// Whether a numeral too large or too small for a double is too large: the
// decimal order of its first significant digit plus its exponent.
bool Overflows(const Numeral& numeral) {
  std::int64_t order = 0;
  const std::size_t first = numeral.integerDigits.find_first_not_of('0');
  if (first != std::string::npos) {
    order = static_cast<std::int64_t>(numeral.integerDigits.size() - first) - 1;
  } else {
    const std::size_t firstFraction = numeral.fractionDigits.find_first_not_of('0');
    if (firstFraction == std::string::npos) return false;  // zero
    order = -static_cast<std::int64_t>(firstFraction) - 1;
  }
  std::int64_t exponent = 0;
  for (char digit : numeral.exponentDigits) {
    exponent = std::min<std::int64_t>(exponent * 10 + (digit - '0'), 1'000'000'000);
  }
  if (numeral.exponentNegative) exponent = -exponent;
  return order + exponent > 0;
}

std::u16string_view WithoutBlanksAround(std::u16string_view text) {
  while (!text.empty() && text.front() == u' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == u' ') text.remove_suffix(1);
  return text;
}

}  // namespace

bool IsHoursNumeral(std::u16string_view text) {
  return ParseNumeral(WithoutBlanksAround(text)).has_value();
}

double HoursValue(std::u16string_view text) {
  const std::optional<Numeral> numeral = ParseNumeral(WithoutBlanksAround(text));
  if (!numeral) return 1;

  std::string plain = numeral->integerDigits.empty() ? "0" : numeral->integerDigits;
  if (!numeral->fractionDigits.empty()) plain += "." + numeral->fractionDigits;
  if (numeral->hasExponent) {
    plain += numeral->exponentNegative ? "e-" : "e";
    plain += numeral->exponentDigits;
  }
  double value = 0;
  const auto result = std::from_chars(plain.data(), plain.data() + plain.size(), value);
  if (result.ec == std::errc::result_out_of_range) {
    value = Overflows(*numeral) ? std::numeric_limits<double>::infinity() : 0.0;
  }
  return numeral->negative ? -value : value;
}

double StoredHours(double value) {
  if (!std::isfinite(value)) return value;
  // The real field keeps 4 decimals; the sessions follow what it keeps.
  char buffer[400];
  const auto written =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 4);
  if (written.ec != std::errc()) return value;
  double stored = value;
  std::from_chars(buffer, written.ptr, stored);
  return stored;
}

std::optional<std::int32_t> SessionCount(double value) {
  const double ceiling = std::ceil(StoredHours(value));
  if (!(ceiling >= std::numeric_limits<std::int32_t>::min() &&
        ceiling <= std::numeric_limits<std::int32_t>::max())) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(ceiling);
}

std::u16string SessionsPattern(std::int32_t sessions) {
  if (sessions <= 0) return {};
  if (sessions <= 13) return std::u16string(static_cast<std::size_t>(sessions), u'1');
  return DecimalText(sessions - 13) + std::u16string(13, u'1');
}

}  // namespace brivasto::hours
