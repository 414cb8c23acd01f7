#include "export/hours.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "text/text.h"

namespace brivasto::hours {
namespace {

struct HoursRow {
  std::u16string text;  // ASIGNOMT.HORAS
  double value;         // ASIGT.HORAS
  std::int32_t sessions;
  std::u16string pattern;  // ASIGT.SESIONES
};

const std::u16string k13 = std::u16string(13, u'1');

const HoursRow kHoursRows[] = {
    {u"4", 4, 4, u"1111"},
    {u"2.5", 2.5, 3, u"111"},
    {u"2,5", 2.5, 3, u"111"},
    {u"3.5", 3.5, 4, u"1111"},
    {u"0.5", 0.5, 1, u"1"},
    {u"0", 0, 0, u""},
    {u"x", 1, 1, u"1"},
    {u"13", 13, 13, k13},
    {u"13.5", 13.5, 14, u"1" + k13},
    {u"14", 14, 14, u"1" + k13},
    {u"15", 15, 15, u"2" + k13},
    {u"22", 22, 22, u"9" + k13},
    {u"23", 23, 23, u"10" + k13},
    // How the number may be written.
    {u" +2,5 ", 2.5, 3, u"111"},
    {u"-3", -3, -3, u""},
    {u"-0,5", -0.5, 0, u""},
    {u"25e-1", 2.5, 3, u"111"},
    {u"0,02E2", 2, 2, u"11"},
    {u",5", 0.5, 1, u"1"},
    {u"4.", 4, 4, u"1111"},
    {u"4,00001", 4.00001, 4, u"1111"},  // HORAS keeps 4 decimals: 4.0000
    {u"1.000,5", 1, 1, u"1"},           // thousands separators: no number
    {u"2.5.1", 1, 1, u"1"},
    {u"", 1, 1, u"1"},
    {u"e5", 1, 1, u"1"},
    {u"5e", 1, 1, u"1"},
    {u"inf", 1, 1, u"1"},
    {u"nan", 1, 1, u"1"},
    {u"0x10", 1, 1, u"1"},
    {u"4\t", 1, 1, u"1"},
    {u"2147483647", 2147483647, 2147483647, u"2147483634" + k13},
    {u"-2147483648", -2147483648.0, -2147483647 - 1, u""},
};

TEST(Hours, ValueSessionsAndPattern) {
  for (const HoursRow& row : kHoursRows) {
    const std::string where = "hours '" + ToUtf8(row.text) + "'";
    const double value = HoursValue(row.text);
    EXPECT_DOUBLE_EQ(value, row.value) << where;
    const std::optional<std::int32_t> sessions = SessionCount(value);
    ASSERT_TRUE(sessions.has_value()) << where;
    EXPECT_EQ(*sessions, row.sessions) << where;
    EXPECT_EQ(SessionsPattern(*sessions), row.pattern) << where;
  }
}

TEST(Hours, SessionsOutsideThe32BitRangeAreNoCount) {
  for (const std::u16string text :
       {u"2147483647.5", u"2147483648", u"-2147483649", u"1e20", u"1e400", u"-1e400"}) {
    EXPECT_FALSE(SessionCount(HoursValue(text)).has_value()) << ToUtf8(text);
  }
  EXPECT_EQ(HoursValue(u"1e-400"), 0);
  EXPECT_TRUE(std::isinf(HoursValue(u"99999e99999")));
}

}  // namespace
}  // namespace brivasto::hours
