#include "text/text.h"

#include <gtest/gtest.h>

namespace brivasto {
namespace {

enum class Helper { kTrim, kTrimLeading, kTrimTrailing, kUpperOnly, kInitials };

struct HelperCase {
  Helper helper;
  std::u16string text;
  std::u16string want;
};

std::u16string Apply(Helper helper, std::u16string_view text) {
  switch (helper) {
    case Helper::kTrim:
      return TrimBlanks(text);
    case Helper::kTrimLeading:
      return TrimLeadingBlanks(text);
    case Helper::kTrimTrailing:
      return TrimTrailingBlanks(text);
    case Helper::kUpperOnly:
      return UpperLettersOnly(text);
    case Helper::kInitials:
      return InitialsAfterBlanks(text);
  }
  return {};
}

const HelperCase kHelperCases[] = {
    {Helper::kTrim, u"", u""},
    {Helper::kTrim, u"   ", u""},
    {Helper::kTrim, u" Matemáticas  ", u"Matemáticas"},
    {Helper::kTrim, u"Lengua  Castellana", u"Lengua  Castellana"},
    {Helper::kTrim, u"\tHistoria ", u"\tHistoria"},
    {Helper::kTrim, u"\u00A0Física\u00A0", u"\u00A0Física\u00A0"},
    {Helper::kTrimLeading, u"  1ESO ", u"1ESO "},
    {Helper::kTrimTrailing, u"  1ESO ", u"  1ESO"},
    {Helper::kUpperOnly, u"Educación Física", u"EF"},
    {Helper::kUpperOnly, u"ÁLGEBRA 2", u"LGEBRA"},
    {Helper::kUpperOnly, u"matemáticas", u""},
    {Helper::kInitials, u"Lengua Castellana y Literatura", u"CyL"},
    {Helper::kInitials, u"Música", u""},
    {Helper::kInitials, u"Historia ", u""},
    {Helper::kInitials, u" Música", u"M"},
    {Helper::kInitials, u"Ciencias  Naturales", u" N"},
    {Helper::kInitials, u"", u""},
};

TEST(TextHelpers, TableOfCases) {
  int row = 0;
  for (const auto& c : kHelperCases) {
    EXPECT_EQ(Apply(c.helper, c.text), c.want)
        << "row " << row << ": '" << ToUtf8(c.text) << "' gave '" << ToUtf8(Apply(c.helper, c.text))
        << "'";
    ++row;
  }
}

struct RightmostCase {
  std::u16string text;
  std::int32_t count;
  std::u16string want;
};
const RightmostCase kRightmostCases[] = {
    {u"1ESO-D", 1, u"D"}, {u"ABC", 5, u"ABC"}, {u"ABC", 3, u"ABC"},
    {u"ABC", 0, u""},     {u"", 1, u""},       {u"ABC", -2, u""},
};

TEST(RightmostChars, TableOfCases) {
  for (const auto& c : kRightmostCases) {
    EXPECT_EQ(RightmostChars(c.text, c.count), c.want) << "'" << ToUtf8(c.text) << "', " << c.count;
  }
}

TEST(EqualIgnoringCase, FoldsLettersButKeepsAccents) {
  EXPECT_TRUE(EqualIgnoringCase(u"JG", u"jg"));
  EXPECT_TRUE(EqualIgnoringCase(u"Á", u"á"));
  EXPECT_TRUE(EqualIgnoringCase(u"2BACH ", u"2bach "));
  EXPECT_TRUE(EqualIgnoringCase(u"Straße", u"STRASSE"));
  EXPECT_FALSE(EqualIgnoringCase(u"a", u"á"));
  EXPECT_FALSE(EqualIgnoringCase(u"2BACH ", u"2BACH"));
}

TEST(Utf8, RoundTripsAndReplacesIllFormedInput) {
  const std::u16string text = u"Ñandú € 𝄞";
  EXPECT_EQ(FromUtf8(ToUtf8(text)), text);
  EXPECT_EQ(FromUtf8("a\xFF"
                     "b"),
            u"a\uFFFDb");
}

// The first position of each text, as a scan from the start finds it; also
// when many texts share a slot's neighbourhood.
TEST(FirstPositions, FindsTheFirstOccurrence) {
  std::vector<std::u16string> texts = {u"b", u"a", u"", u"b", u"a", u"c"};
  for (int i = 0; i < 5000; ++i) texts.push_back(DecimalText(i % 3000));
  const FirstPositions first(texts);
  EXPECT_EQ(first.Find(u"a"), 1u);
  EXPECT_EQ(first.Find(u"b"), 0u);
  EXPECT_EQ(first.Find(u""), 2u);
  EXPECT_EQ(first.Find(u"c"), 5u);
  EXPECT_EQ(first.Find(u"d"), std::nullopt);
  EXPECT_EQ(first.Find(u"B"), std::nullopt);
  for (int i = 0; i < 3000; i += 7) EXPECT_EQ(first.Find(DecimalText(i)), 6u + i);
  EXPECT_EQ(first.Find(u"3000"), std::nullopt);
  const std::vector<std::u16string> none;
  EXPECT_EQ(FirstPositions(none).Find(u"a"), std::nullopt);
}

}  // namespace
}  // namespace brivasto
