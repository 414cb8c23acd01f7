#include "export/codes.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "text/text.h"

namespace brivasto::codes {
namespace {

struct CodeRow {
  std::u16string name;
  std::u16string derived;
  std::u16string final;
};

// Derives and gives the code of every row in order from one empty list, the
// way the subjects step does, and compares both stages.
void ExpectSubjectCodes(const std::vector<CodeRow>& rows) {
  CodesGiven given(LetterCase::kRespected);
  for (const CodeRow& row : rows) {
    const std::u16string derived = SubjectCode(row.name);
    const std::u16string code = given.Give(derived, SubjectBase(derived));
    EXPECT_EQ(derived, row.derived) << "derived code of '" << ToUtf8(row.name) << "'";
    EXPECT_EQ(code, row.final) << "final code of '" << ToUtf8(row.name) << "' was '" << ToUtf8(code)
                               << "'";
  }
}

TEST(SubjectCode, FirstGroupOfExamples) {
  ExpectSubjectCodes({
      {u"Lengua Castellana y Literatura", u"LCL", u"LCL"},
      {u"Ciencias de la Naturaleza", u"CN", u"CN"},
      {u"matemáticas", u"matemá", u"matemá"},
      {u"Religión católica", u"Rc", u"Rc"},
      {u"Religión Católica", u"RC", u"RC"},
      {u"1º Bachillerato Artes", u"1BA", u"1BA"},
      {u"Ámbito Sociolingüístico", u"ÁS", u"ÁS"},
      {u"FORMACIÓN Y ORIENTACIÓN LABORAL", u"FORMACINYO", u"FORMACINYO"},
      {u"X", u"X", u"X"},
  });
}

TEST(SubjectCode, CollidingCodesGetTheirBasePlusACounter) {
  ExpectSubjectCodes({
      {u"Música", u"Música", u"Música"},
      {u"Matemáticas I", u"MI", u"MI"},
      {u"Música I", u"MI", u"MI1"},
      {u"Mecánica I", u"MI", u"MI2"},
      {u"Matemáticas 1", u"M1", u"M1"},
      {u"Matemáticas 2", u"M2", u"M2"},
      {u"Música 1", u"M1", u"M3"},
  });
}

// Codes are unique as the 10-character COD stores them: a counter that
// would not fit takes room from the base, and codes that differ only beyond
// the 10th character or in characters the code page lacks are the same code.
TEST(SubjectCode, StoredCodesStayUnique) {
  ExpectSubjectCodes({
      {u"ABCDEFGHIJ", u"ABCDEFGHIJ", u"ABCDEFGHIJ"},
      {u"ABCDEFGHIJ y más", u"ABCDEFGHIJ", u"ABCDEFGHI1"},
      {u"ABCDEFGHIJ o menos", u"ABCDEFGHIJ", u"ABCDEFGHI2"},
      {u"Química ABCDEFGHIJKL", u"QABCDEFGHI", u"QABCDEFGHI"},
      {u"Química ABCDEFGHIJKM", u"QABCDEFGHI", u"QABCDEFGH1"},
      // Cyrillic letters are stored as '?': two different codes, one stored text.
      {u"д ж", u"дж", u"дж"},
      {u"ф ц", u"фц", u"фц1"},
  });
}

struct NamedRow {
  std::u16string name;
  std::u16string final;
};

template <typename Derive, typename Base>
void ExpectAbbreviations(const std::vector<NamedRow>& rows, Derive derive, Base base) {
  CodesGiven given(LetterCase::kIgnored);
  for (const NamedRow& row : rows) {
    const std::u16string derived = derive(row.name);
    const std::u16string code = given.Give(derived, base(derived));
    EXPECT_EQ(code, row.final) << "'" << ToUtf8(row.name) << "' gave '" << ToUtf8(code) << "'";
  }
}

std::u16string Itself(std::u16string_view text) { return std::u16string(text); }

TEST(TeacherAbbreviation, ExamplesInOrder) {
  ExpectAbbreviations(
      {
          {u"María José García López", u"MJGL"},
          {u"GARCÍA PÉREZ, MARÍA", u"GPM"},
          {u"Juan García", u"JG"},
          {u"José Gómez", u"JG1"},
          {u"Jorge Gil", u"JG2"},
          {u"juan garcía", u"jg3"},
          {u"Profesor 1", u"P1"},
          {u"Pedro 1", u"P11"},
          {u"Ana María de la Paz Ruiz de Alarcón y Fernández de Córdoba", u"AMdlPRdAyF"},
          {u"Ana  Ruiz", u"A R"},
          {u"Ángel Ñúñez", u"ÁÑ"},
          {u"ángel ñúñez", u"áñ1"},  // Á = á and Ñ = ñ ignoring case
          {u"Alberto Nuño", u"AN"},  // a ≠ á: no collision with ÁÑ
          {u"", u""},
          {u"", u"1"},
          {u"", u"2"},
          {u"X", u"X"},
          {u"X", u"X1"},
          // A counter past the 10th character shortens the base instead.
          {u"Ana María de la Paz Ruiz de Alarcón y Fernández de Córdoba", u"AMdlPRdAy1"},
      },
      TeacherAbbreviation, Itself);
}

TEST(RoomAbbreviation, ExamplesInOrder) {
  ExpectAbbreviations(
      {
          {u"Aula 1", u"A1"},
          {u"Aula 2", u"A2"},
          {u"Laboratorio", u"Labora"},
          {u"Aula 1", u"A3"},
          {u"Laboratorio", u"Labor1"},
          {u"Gimnasio cubierto", u"Gc"},
          {u"aula 1", u"a4"},
          {u"X", u"X"},
          {u"X", u"1"},
          {u"Taller", u"Taller"},
          // More than 10 words: stored cut to 10 characters, so a second one
          // whose first 10 initials agree is a collision.
          {u"a b c d e f g h i j k l", u"abcdefghijkl"},
          {u"a b c d e f g h i j k m", u"abcdefghi1"},
      },
      RoomAbbreviation, RoomBase);
}

struct GroupRow {
  std::u16string name;
  std::u16string nivel, curso, grupo, base, final;
};

TEST(GroupPartsOf, ExamplesInOrder) {
  const GroupRow rows[] = {
      {u"1ESO A", u"1ESO", u" ", u"A", u"1ESO A", u"1ESO A"},
      {u"1ESO B", u"1ESO", u" ", u"B", u"1ESO B", u"1ESO B"},
      {u"2BACH A", u"2BACH", u" ", u"A", u"2BACH ", u"2BACH "},
      {u"2BACH B", u"2BACH", u" ", u"B", u"2BACH ", u"2BACH 1"},
      {u"2bach d", u"2bach", u" ", u"d", u"2bach ", u"2bach 2"},
      {u"1ESO A", u"1ESO", u" ", u"A", u"1ESO A", u"1ESO A1"},
      {u"1ESO AB", u"1ESO", u"A", u"B", u"1ESOAB", u"1ESOAB"},
      {u"4t ESO B", u"4t", u" ", u"B", u"4t B", u"4t B"},
      {u"ESO1A", u"E", u"1", u"A", u"E1A", u"E1A"},
      {u"A", u"A", u"A", u"A", u"AAA", u"AAA"},
      {u"BACHILLERATO 1 A", u"BACHILLERATO", u" ", u"A", u"BACHIL", u"BACHIL"},
      {u"", u"", u"", u"", u"", u""},
      {u"", u"", u"", u"", u"", u"1"},
      {u"ESO1A", u"E", u"1", u"A", u"E1A", u"E1A1"},
      {u"E1 A1", u"E1", u"A", u"1", u"E1A1", u"E1A11"},
      // The code as stored has no trailing blank: 2BACH and "2BACH " are one.
      {u"2BA CH", u"2BA", u"C", u"H", u"2BACH", u"2BACH1"},
  };
  CodesGiven given(LetterCase::kIgnored);
  for (const GroupRow& row : rows) {
    const GroupParts parts = GroupPartsOf(row.name);
    const std::u16string code = given.Give(parts.base, parts.base);
    const std::string where = "'" + ToUtf8(row.name) + "'";
    EXPECT_EQ(parts.nivel, row.nivel) << where;
    EXPECT_EQ(parts.curso, row.curso) << where;
    EXPECT_EQ(parts.grupo, row.grupo) << where;
    EXPECT_EQ(parts.base, row.base) << where;
    EXPECT_EQ(code, row.final) << where << " gave '" << ToUtf8(code) << "'";
  }
}

TEST(CodesGiven, ComparesCodesAsTheTableStoresThem) {
  CodesGiven given(LetterCase::kIgnored);
  given.Give(u"2BACH ", u"2BACH ");
  EXPECT_TRUE(given.Contains(u"2bach"));     // trailing blank and letter case
  EXPECT_TRUE(given.Contains(u"2BACH   "));  // any number of trailing blanks
  EXPECT_FALSE(given.Contains(u" 2BACH"));   // leading blanks are kept
  given.Give(u"ABCDEFGHIJKLM", u"ABCDEFGHIJKLM");
  EXPECT_TRUE(given.Contains(u"ABCDEFGHIJ"));
  EXPECT_TRUE(given.Contains(u"abcdefghijXYZ"));

  CodesGiven respected(LetterCase::kRespected);
  respected.Give(u"Rc", u"Rc");
  EXPECT_FALSE(respected.Contains(u"RC"));
  EXPECT_TRUE(respected.Contains(u"Rc "));
}

TEST(CodesGiven, ACounterOfManyDigitsKeepsTheCodeWithinTenCharacters) {
  CodesGiven given(LetterCase::kRespected);
  for (int i = 0; i < 100; ++i) given.Give(u"ABCDEFGHI", u"ABCDEFGHI");
  // ABCDEFGHI, then ABCDEFGHI1 ... ABCDEFGHI9, then ABCDEFGH10 ...
  const std::u16string next = given.Give(u"ABCDEFGHI", u"ABCDEFGHI");
  EXPECT_EQ(next, u"ABCDEFG100");
}

// Codes are compared as the table stores them: composed, invisible
// characters gone.
TEST(CodesGiven, DecomposedOrInvisibleCharactersMakeNoNewCode) {
  CodesGiven given(LetterCase::kRespected);
  EXPECT_EQ(given.Give(u"M\u00E1", u"M\u00E1"), u"M\u00E1");
  EXPECT_EQ(given.Give(u"Ma\u0301", u"Ma\u0301"), u"Ma\u03011");
  EXPECT_EQ(given.Give(u"M\u00E1\u200B", u"M\u00E1\u200B"), u"M\u00E1\u200B2");  // Má1 is taken
}

}  // namespace
}  // namespace brivasto::codes
