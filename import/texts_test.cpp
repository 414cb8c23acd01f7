// The computed texts of the section: end times, interval hours, day and
// hour numbers.
#include <gtest/gtest.h>

#include "import/steps.h"

namespace brivasto {
namespace {

struct PadCase {
  std::u16string stored;
  std::u16string want;
};
const PadCase kPadCases[] = {{u"9:30", u"09:30"},  {u"8", u"08"},        {u"930", u"0930"},
                             {u"10:15", u"10:15"}, {u"09:30", u"09:30"}, {u"0930", u"0930"},
                             {u"", u""},           {u"8:55", u"08:55"},  {u" 9:3", u"0 9:3"},
                             {u"1:00 ", u"1:00 "}};

TEST(PadEndTime, TableOfCases) {
  for (const auto& c : kPadCases) {
    EXPECT_EQ(PadEndTime(c.stored), c.want) << "'" << ToUtf8(c.stored) << "'";
  }
}

struct HourCase {
  double hour;
  double sessions;
  char16_t separator;
  std::u16string want;
};
const HourCase kHourCases[] = {
    {3, 1, u'.', u"3"},
    {3, 0.5, u'.', u"5"},
    {1, 0.5, u'.', u"1"},
    {4, 2, u'.', u"4"},
    {40, 0, u',', u"40"},
    {0, 0.5, u'.', u"-1"},   // an hour of 0 in a half session, as computed
    {2.5, 1, u',', u"2,5"},  // the locale's separator for a fractional hour
    {2.5, 1, u'.', u"2.5"},
    {2.25, 0.5, u',', u"3,5"},
    {3, 0.50000001, u'.', u"3"},                 // only exactly 0.5 changes the hour
    {1.0 / 3.0, 1, u',', u"0,333333333333333"},  // at most 15 significant digits
    {0.1 + 0.2, 1, u'.', u"0.3"},
    {123456789012345.0, 1, u'.', u"123456789012345"}};

TEST(IntervalHourText, TableOfCases) {
  for (const auto& c : kHourCases) {
    EXPECT_EQ(IntervalHourText(c.hour, c.sessions, c.separator), c.want)
        << c.hour << " x " << c.sessions << " gave "
        << ToUtf8(IntervalHourText(c.hour, c.sessions, c.separator));
  }
}

struct NumeralCase {
  std::u16string text;
  int max;
  std::optional<int> want;
};
const NumeralCase kNumeralCases[] = {
    {u"1", 7, 1},
    {u"7", 7, 7},
    {u"8", 7, std::nullopt},
    {u"40", 40, 40},
    {u"41", 40, std::nullopt},
    {u"0", 40, std::nullopt},
    {u"01", 40, std::nullopt},
    {u"1.0", 40, std::nullopt},
    {u" 1", 40, std::nullopt},
    {u"", 40, std::nullopt},
    {u"+1", 40, std::nullopt},
    {u"99999999999", 40, std::nullopt},
    {u"\uFF11", 7, std::nullopt}};  // a full-width digit is no numeral

TEST(PlainNumeral, MatchesOnlyThePlainNumerals) {
  for (const auto& c : kNumeralCases) {
    EXPECT_EQ(PlainNumeral(c.text, c.max), c.want) << "'" << ToUtf8(c.text) << "'";
  }
  // The same texts the day and hour numbers are written with.
  for (int n = 1; n <= 40; ++n) EXPECT_EQ(PlainNumeral(DecimalText(n), 40), n);
}

}  // namespace
}  // namespace brivasto
