// export/hours.h (private): a subject's weekly hours, from the text kept in
// ASIGNOMT.HORAS to the number ASIGT.HORAS and the pattern ASIGT.SESIONES.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace brivasto::hours {

// The hours "4" that a subject without hours gets.
inline constexpr std::u16string_view kDefaultHours = u"4";

// The number an hours text spells, with '.' or ',' as its decimal separator
// whatever the user's locale: an optional sign, digits with at most one
// separator, an optional exponent, blanks around ignored. Any other text
// (thousands separators, two separators, words) counts as 1 hour.
double HoursValue(std::u16string_view text);
// Whether HoursValue reads `text` as the number it spells (else it gives 1).
bool IsHoursNumeral(std::u16string_view text);

// The value as ASIGT.HORAS stores it (4 decimals).
double StoredHours(double value);

// The number of sessions: the smallest whole number not below the stored
// hours; nullopt when it lies outside the 32-bit signed range.
std::optional<std::int32_t> SessionCount(double value);

// SESIONES: n characters "1" up to 13 sessions (empty for 0 or fewer);
// from 14 on, the decimal text of n - 13 followed by thirteen "1".
std::u16string SessionsPattern(std::int32_t sessions);

}  // namespace brivasto::hours
