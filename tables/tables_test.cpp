#include "tables/tables.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "tables/dbf_format.h"
#include "testsupport/held_elsewhere.h"
#include "testsupport/test_support.h"

namespace brivasto {
namespace {

namespace fs = std::filesystem;
using testing::ErrorOf;
using testing::HeldElsewhere;
using testing::LockKind;
using testing::LockName;
using testing::SourceDir;
using testing::TempDir;
using Bytes = std::vector<std::uint8_t>;

Bytes ReadBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<std::string> FileNames(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

const FieldDef kSmallFields[] = {{"NOMBRE", FieldKind::kText, 6},
                                 {"DIA", FieldKind::kInteger, 0},
                                 {"HORA", FieldKind::kReal, 0}};
const ExchangeTable kSmall{"SMALL", kSmallFields};

// Writes SMALL with one record per name (DIA = position, HORA = position / 2).
void WriteSmall(const fs::path& dir, std::initializer_list<std::u16string_view> names) {
  TableWriter writer(dir, kSmall);
  int position = 0;
  for (const auto name : names) {
    ++position;
    writer.Append();
    writer.SetText("NOMBRE", name);
    writer.SetInteger("DIA", position);
    writer.SetReal("HORA", position / 2.0);
    writer.Post();
  }
  writer.Commit();
}

// ---------------------------------------------------------------------------

const ExchangeTable* const kCatalogue[] = {&kAsignomt, &kProft, &kAulat,
                                           &kGrupost,  &kAsigt, &kDiashorast};

// A value for a text field of `width`: accented text, a character outside
// 1252 (日), and more than the width.
std::u16string SampleText(int width, int record) {
  std::u16string text = record == 0 ? u"áéíóúñÑü€ 123456789" : u"日Ñandú €uro 日";
  while (text.size() < static_cast<std::size_t>(width) + 3) text += u"x";
  return text;
}

TEST(TableWriter, RoundTripsEveryCatalogueTable) {
  TempDir dir;
  const std::int32_t integers[] = {2147483647, -2147483647 - 1};
  const double reals[] = {2.5, -199.99};
  for (const ExchangeTable* table : kCatalogue) {
    SCOPED_TRACE(std::string(table->name));
    {
      TableWriter writer(dir.Path(), *table);
      for (int record = 0; record < 2; ++record) {
        writer.Append();
        for (const FieldDef& f : table->fields) {
          switch (f.kind) {
            case FieldKind::kText:
              writer.SetText(f.name, SampleText(f.width, record));
              break;
            case FieldKind::kInteger:
              writer.SetInteger(f.name, integers[record]);
              break;
            case FieldKind::kReal:
              writer.SetReal(f.name, reals[record]);
              break;
          }
        }
        writer.Post();
      }
      EXPECT_EQ(writer.RecordCount(), 2u);
      writer.Commit();
    }
    EXPECT_TRUE(fs::exists(dir.Path() / (std::string(table->name) + ".DBF")));
    const Table read = Table::Open(dir.Path(), table->name, u',');
    ASSERT_EQ(read.RecordCount(), 2u);
    for (std::size_t record = 0; record < 2; ++record) {
      for (const FieldDef& f : table->fields) {
        SCOPED_TRACE(std::string(f.name));
        const std::size_t index = read.FieldIndex(f.name);
        switch (f.kind) {
          case FieldKind::kText: {
            std::u16string want = SampleText(f.width, static_cast<int>(record))
                                      .substr(0, static_cast<std::size_t>(f.width));
            std::replace(want.begin(), want.end(), u'日', u'?');
            EXPECT_EQ(ToUtf8(read.Text(record, index)), ToUtf8(TrimTrailingBlanks(want)));
            break;
          }
          case FieldKind::kInteger:
            EXPECT_EQ(read.Integer(record, index), integers[record]);
            break;
          case FieldKind::kReal:
            EXPECT_DOUBLE_EQ(read.Real(record, index), reals[record]);
            break;
        }
      }
    }
  }
}

TEST(TableWriter, WritesTheDbase3LayoutThatOtherReadersOpen) {
  TempDir dir;
  {
    TableWriter writer(dir.Path(), kSmall);
    writer.Append();
    writer.Post();  // every field left empty
    writer.Commit();
  }
  const Bytes file = ReadBytes(dir.Path() / "SMALL.DBF");
  const std::size_t headerLength = 32 + 3 * 32 + 1;
  const std::size_t recordLength = 1 + 6 + 11 + 20;
  ASSERT_EQ(file.size(), headerLength + recordLength + 1);
  EXPECT_EQ(file[0], 0x03);
  const std::time_t now = std::time(nullptr);
  std::tm today{};
  ::localtime_r(&now, &today);
  EXPECT_EQ(file[1], today.tm_year);
  EXPECT_EQ(file[2], today.tm_mon + 1);
  EXPECT_EQ(file[3], today.tm_mday);
  EXPECT_EQ(dbf::ReadU32(&file[4]), 1u);
  EXPECT_EQ(dbf::ReadU16(&file[8]), headerLength);
  EXPECT_EQ(dbf::ReadU16(&file[10]), recordLength);
  EXPECT_EQ(file[28], 0x00);  // no production index
  EXPECT_EQ(file[29], 0x58);  // Windows 1252
  struct Descriptor {
    std::string name;
    char type;
    int width, decimals;
  };
  const Descriptor want[] = {{"NOMBRE", 'C', 6, 0}, {"DIA", 'N', 11, 0}, {"HORA", 'N', 20, 4}};
  for (std::size_t i = 0; i < 3; ++i) {
    const std::uint8_t* d = &file[32 + 32 * i];
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(d)), want[i].name);
    EXPECT_EQ(d[11], want[i].type);
    EXPECT_EQ(d[16], want[i].width);
    EXPECT_EQ(d[17], want[i].decimals);
    EXPECT_EQ(d[31], 0);
  }
  EXPECT_EQ(file[headerLength - 1], 0x0D);
  // The empty record: live flag and blanks only, then the end mark.
  EXPECT_EQ(std::string(file.begin() + headerLength, file.end() - 1),
            std::string(recordLength, ' '));
  EXPECT_EQ(file.back(), 0x1A);
}

TEST(TableWriter, StoresTextInWindows1252CutToTheWidth) {
  struct Case {
    std::u16string text;
    std::string stored;
  };
  const Case cases[] = {
      {u"áéíóú", "\xE1\xE9\xED\xF3\xFA "},
      {u"ñÑü€", "\xF1\xD1\xFC\x80  "},
      {u"abcdefgh", "abcdef"},         // cut to the width
      {u"日本", "??    "},             // outside 1252
      {u"a\U0001F600b", "a?b   "},     // a surrogate pair is one character
      {u"abcde\U0001F600", "abcde?"},  // ... and is not split at the cut
      {u"abcdef\U0001F600", "abcdef"},
      {std::u16string(u"x\xD800y"), "x?y   "},  // unpaired surrogate
      {u"", "      "},
      {u"Mate\u0301ti", "Mat\xE9ti"},          // composed first: a + U+0301 is á
      {u"A\u200BB\uFEFFC\u2060D", "ABCD  "},   // invisible characters are dropped
      {u"\u270F\uFE0F\U000E0041x", "?x    "},  // ... a variation selector, a tag
      {u"a\tb\nc\rd", "a b c "},               // controls become blanks
      {std::u16string(u"a\x01\x7F", 3), "a     "},
      {u"\u0081\u008D\u008F\u0090\u009D\u0080", "??????"},  // never an undefined byte
      {u"\u20AC\u0152\u017E", "\x80\x8C\x9E   "},           // what 1252 holds above U+00FF
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.text));
    TempDir dir;
    WriteSmall(dir.Path(), {c.text});
    const Bytes file = ReadBytes(dir.Path() / "SMALL.DBF");
    const std::size_t firstRecord = 32 + 3 * 32 + 1;
    EXPECT_EQ(std::string(file.begin() + firstRecord + 1, file.begin() + firstRecord + 7),
              c.stored);
  }
}

// One code point in UTF-16.
std::u16string Utf16Of(char32_t c) {
  if (c < 0x10000) return std::u16string(1, static_cast<char16_t>(c));
  return {static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)),
          static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF))};
}

// Every character, alone in its field, written through the writer and read
// back: never an error, and exactly what StoredText says the field keeps.
TEST(TableWriter, StoresEveryCharacterAsStoredTextSays) {
  constexpr std::size_t kFields = 200;
  constexpr int kWidth = 4;  // NFC makes up to three characters of one
  std::vector<std::string> names;
  for (std::size_t i = 0; i < kFields; ++i) names.push_back("F" + std::to_string(i));
  std::vector<FieldDef> defs;
  for (const std::string& name : names) defs.push_back({name, FieldKind::kText, kWidth});
  const ExchangeTable wide{"TODOS", defs};

  std::vector<std::u16string> texts;
  for (char32_t c = 1; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    texts.push_back(Utf16Of(c));
  }
  TempDir dir;
  {
    TableWriter writer(dir.Path(), wide);
    for (std::size_t i = 0; i < texts.size(); ++i) {
      if (i % kFields == 0) writer.Append();
      ASSERT_NO_THROW(writer.SetText(names[i % kFields], texts[i])) << i;
    }
    writer.Commit();
  }
  const Table table = Table::Open(dir.Path(), "TODOS", u'.');
  ASSERT_EQ(table.RecordCount(), (texts.size() + kFields - 1) / kFields);
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < texts.size(); ++i) {
    const std::u16string read = table.Text(i / kFields, i % kFields);
    if (read != StoredText(texts[i], kWidth) && ++wrong <= 10) {
      ADD_FAILURE() << "U+" << std::hex << static_cast<std::uint32_t>(texts[i][0]) << " "
                    << ToUtf8(texts[i]) << " reads back as " << ToUtf8(read);
    }
  }
  EXPECT_EQ(wrong, 0u);
}

TEST(StoredText, CutsMapsAndDropsTrailingBlanks) {
  EXPECT_EQ(StoredText(u"Matemáticas I", 10), u"Matemática");
  EXPECT_EQ(StoredText(u"ABCDEFGHI J", 10), u"ABCDEFGHI");
  EXPECT_EQ(StoredText(u"€ Œ ñ", 10), u"€ Œ ñ");       // in Windows 1252
  EXPECT_EQ(StoredText(u"дa\U0001F600b", 3), u"?a?");  // a pair is one character
  EXPECT_EQ(StoredText(u"   ", 10), u"");
}

// The invisible characters that names pasted from web pages and word
// processors bring: dropped, never a '?' and never an error.
TEST(StoredText, DropsInvisibleCharacters) {
  for (const char32_t c : {U'\u200B', U'\uFEFF', U'\u200C', U'\u200D', U'\u200E', U'\u200F',
                           U'\u202A', U'\u202E', U'\u2060', U'\u2066', U'\uFE0F', U'\u034F',
                           U'\u180E', U'\U000E0041', U'\U0001D173', U'\u00AD'}) {
    const std::u16string text = u"Ana" + Utf16Of(c) + u" Gil";
    EXPECT_EQ(StoredText(text, 10), u"Ana Gil") << std::hex << static_cast<std::uint32_t>(c);
    EXPECT_FALSE(ChangesInStoredText(text).dropped.empty());
  }
}

TEST(StoredText, SaysWhatItChanges) {
  EXPECT_TRUE(StoredExactly(u"Matemáticas"));
  EXPECT_TRUE(StoredExactly(u"€uro"));
  EXPECT_FALSE(StoredExactly(u"T-\u01411"));        // Ł is outside 1252
  EXPECT_FALSE(StoredExactly(u"Mate\u0301ticas"));  // composed, so changed
  EXPECT_FALSE(StoredExactly(u"T\u200B1"));         // an invisible character
  EXPECT_FALSE(StoredExactly(u"T1\t"));             // a control character
  EXPECT_FALSE(StoredExactly(u"T1 "));              // the trailing blank goes
  const StoredTextChanges changes = ChangesInStoredText(u"\u0141a\u200B\tb\u0141\u200B");
  EXPECT_EQ(changes.replaced, u"\u0141");
  EXPECT_EQ(changes.dropped, u"\u200B");
  EXPECT_EQ(changes.blanked, u"\t");
  EXPECT_EQ(CharacterNames(u"\u200B\U000E0041"), "U+200B, U+E0041");
}

TEST(TableWriter, ReplacesTheTableInAnyLetterCaseAndItsIndex) {
  TempDir dir;
  for (const char* old : {"small.dbf", "Small.Mdx", "SMALL.MDX", "smallx.dbf"}) {
    WriteBytes(dir.Path() / old, {'o', 'l', 'd'});
  }
  WriteSmall(dir.Path(), {u"nuevo"});
  EXPECT_EQ(FileNames(dir.Path()), (std::vector<std::string>{"SMALL.DBF", "smallx.dbf"}));
  const Table read = Table::Open(dir.Path(), "small", u'.');
  EXPECT_EQ(read.Text(0, read.FieldIndex("nombre")), u"nuevo");
}

TEST(Table, FindsItsFileInAnyLetterCase) {
  for (const char* fileName : {"SOLUC.DBF", "soluc.dbf", "Soluc.Dbf"}) {
    SCOPED_TRACE(fileName);
    TempDir dir;
    WriteSmall(dir.Path(), {u"uno", u"dos"});
    fs::rename(dir.Path() / "SMALL.DBF", dir.Path() / fileName);
    for (const char* asked : {"SOLUC", "soluc", "SOLUC.DBF"}) {
      const Table table = Table::Open(dir.Path(), asked, u'.');
      EXPECT_EQ(table.Name(), asked);
      EXPECT_EQ(table.RecordCount(), 2u);
    }
  }
}

TEST(Table, ReportsAMissingTableOrField) {
  TempDir dir;
  WriteSmall(dir.Path(), {u"uno"});
  const std::string where = dir.Path().string();
  EXPECT_EQ(ErrorOf([&] { Table::Open(dir.Path(), "SOLUC", u'.'); }),
            "No existe la tabla SOLUC (SOLUC.DBF) en " + where + ".");
  EXPECT_EQ(ErrorOf([&] { Table::Open(dir.Path() / "nada", "SOLUC", u'.'); }),
            "No existe la tabla SOLUC (SOLUC.DBF) en " + where + "/nada: no existe el directorio.");
  const Table table = Table::Open(dir.Path(), "SMALL", u'.');
  EXPECT_TRUE(table.HasField("dia"));
  EXPECT_FALSE(table.HasField("AULA"));
  EXPECT_EQ(ErrorOf([&] { table.FieldIndex("AULA"); }),
            "La tabla SMALL (" + where + "/SMALL.DBF) no tiene el campo AULA.");
}

// ---------------------------------------------------------------------------
// Reading what other programs wrote.

TEST(DbfFormat, DecodesLevel7Numbers) {
  struct LongCase {
    Bytes bytes;
    std::int32_t value;
  };
  const LongCase longs[] = {{{0x80, 0, 0, 0}, 0},
                            {{0x80, 0, 0, 1}, 1},
                            {{0x7F, 0xFF, 0xFF, 0xFF}, -1},
                            {{0x80, 0x4C, 0x4B, 0x40}, 5000000},
                            {{0xFF, 0xFF, 0xFF, 0xFF}, 2147483647},
                            {{0x00, 0, 0, 0}, -2147483647 - 1}};
  for (const LongCase& c : longs) {
    EXPECT_EQ(dbf::DecodeLong(c.bytes.data()), c.value);
    const auto encoded = dbf::EncodeLong(c.value);
    EXPECT_EQ(Bytes(encoded.begin(), encoded.end()), c.bytes) << c.value;
  }
  struct DoubleCase {
    Bytes bytes;
    double value;
  };
  const DoubleCase doubles[] = {{{0x80, 0, 0, 0, 0, 0, 0, 0}, 0.0},
                                {{0xC0, 0x45, 0xD3, 0x33, 0x33, 0x33, 0x33, 0x33}, 43.65},
                                {{0x3F, 0x97, 0x00, 0x51, 0xEB, 0x85, 0x1E, 0xB7}, -199.99}};
  for (const DoubleCase& c : doubles) {
    EXPECT_EQ(dbf::DecodeDouble(c.bytes.data()), c.value);
    const auto encoded = dbf::EncodeDouble(c.value);
    EXPECT_EQ(Bytes(encoded.begin(), encoded.end()), c.bytes) << c.value;
  }
}

// dbase3.dbf (N, F fields, language driver 0x58), dbase7.dbf (I, O, +
// fields, driver name DBWINES0) and foxpro.dbf (Visual FoxPro: I, B, Y
// fields, a null name) hold the same records; the second is deleted.
// The fixture tables copied into `dir`: an open table is held exclusively,
// and the tests run side by side.
fs::path CopyOfFixtures(const TempDir& dir) {
  for (const auto& entry : fs::directory_iterator(SourceDir() / "tables" / "testdata")) {
    if (entry.is_regular_file())
      fs::copy_file(entry.path(), dir / entry.path().filename().string());
  }
  return dir.Path();
}

TEST(Table, ReadsDbase3Level7AndFoxProFilesToTheSameValues) {
  struct Row {
    std::u16string nombre;
    std::u16string dia;
    std::int32_t diaValue;
    double hora;
    std::u16string activo, fecha;
    std::int32_t num;
    std::size_t recordNumber;
  };
  const Row want[] = {{u"Álgebra", u"0", 0, 0.0, u"T", u"20240102", 1, 1},
                      {u"Niño €", u"-1", -1, 43.65, u"F", u"", 3, 3},
                      {u"Química", u"5000000", 5000000, -199.99, u"", u"19991231", 4, 4},
                      {u"", u"2147483647", 2147483647, 0.5, u"", u"20000229", 5, 5}};
  const TempDir fixtures;
  CopyOfFixtures(fixtures);
  for (const char* name : {"DBASE3", "DBASE7", "FOXPRO"}) {
    SCOPED_TRACE(name);
    const Table table = Table::Open(fixtures.Path(), name, u',');
    ASSERT_EQ(table.RecordCount(), std::size(want));
    const std::size_t nombre = table.FieldIndex("NOMBRE"), dia = table.FieldIndex("DIA"),
                      hora = table.FieldIndex("HORA"), activo = table.FieldIndex("ACTIVO"),
                      fecha = table.FieldIndex("FECHA"), num = table.FieldIndex("NUM");
    for (std::size_t r = 0; r < std::size(want); ++r) {
      SCOPED_TRACE(r);
      EXPECT_EQ(ToUtf8(table.Text(r, nombre)), ToUtf8(want[r].nombre));
      EXPECT_EQ(ToUtf8(table.Text(r, dia)), ToUtf8(want[r].dia));
      EXPECT_EQ(table.Integer(r, dia), want[r].diaValue);
      EXPECT_EQ(table.Real(r, hora), want[r].hora);
      EXPECT_EQ(table.Text(r, activo), want[r].activo);
      EXPECT_EQ(table.Text(r, fecha), want[r].fecha);
      EXPECT_EQ(table.Integer(r, num), want[r].num);
      EXPECT_EQ(table.Text(r, num), DecimalText(want[r].num));
      EXPECT_EQ(table.RecordNumber(r), want[r].recordNumber);
    }
    EXPECT_EQ(ToUtf8(table.Text(1, hora)), name == std::string("DBASE3") ? "43.6500" : "43.65");
    // A text that holds no number names the table, the record's position in
    // the file, the field and the text.
    EXPECT_EQ(ErrorOf([&] { table.Integer(1, nombre); }),
              "La tabla " + std::string(name) +
                  ", registro 3, campo NOMBRE: \"Niño €\" no es un número.");
  }
}

TEST(Table, ReadsFoxProDatesAndTimesCurrencyAndNulls) {
  const TempDir copy;
  const fs::path fixtures = CopyOfFixtures(copy);
  const Table table = Table::Open(fixtures, "FOXPRO", u'.');
  const std::size_t when = table.FieldIndex("CUANDO"), num = table.FieldIndex("NUM");
  // A date and time; then a null one and one of zero bytes, both empty.
  EXPECT_EQ(ToUtf8(table.Text(0, when)), "20240102 08:30:00");
  EXPECT_EQ(table.Text(1, when), u"");
  EXPECT_EQ(table.Text(2, when), u"");
  EXPECT_EQ(table.Real(1, when), 0);
  EXPECT_FALSE(table.HasField("_NullFlags"));

  // Currency is exact to the ten-thousandth.
  Bytes bytes = ReadBytes(fixtures / "foxpro.dbf");
  const std::size_t firstRecord = dbf::ReadU16(&bytes[8]);
  const std::size_t numOffset = 1 + 12 + 4 + 8 + 1 + 8;
  const std::int64_t currency = -1234567;  // -123.4567
  for (int i = 0; i < 8; ++i) {
    bytes[firstRecord + numOffset + static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(static_cast<std::uint64_t>(currency) >> (8 * i));
  }
  TempDir dir;
  WriteBytes(dir.Path() / "T.DBF", bytes);
  EXPECT_EQ(ToUtf8(Table::Open(dir.Path(), "T", u'.').Text(0, num)), "-123.4567");
  EXPECT_EQ(Table::Open(dir.Path(), "T", u'.').Real(0, num), -123.4567);

  // python3-dbf gives a field the _NullFlags bit of its position (CUANDO is
  // the seventh field), Visual FoxPro the next bit among the fields that can
  // be null (CUANDO's is the second); the null values' blank bytes tell.
  const std::size_t recordLength = dbf::ReadU16(&bytes[10]), nullFlags = 50;
  const auto withFlags = [&](std::size_t fileRecord, std::uint8_t flags) {
    Bytes changed = bytes;
    changed[firstRecord + fileRecord * recordLength + nullFlags] = flags;
    WriteBytes(dir.Path() / "T.DBF", changed);
  };
  withFlags(2, 1 << 6);
  EXPECT_EQ(Table::Open(dir.Path(), "T", u'.').Text(1, when), u"");
  withFlags(0, 1 << 1);  // CUANDO holds a date and time; DIA cannot be null
  EXPECT_EQ(ErrorOf([&] { Table::Open(dir.Path(), "T", u'.'); }),
            "La tabla T (" + (dir.Path() / "T.DBF").string() +
                ") está dañada: en el registro 1, los indicadores de valores nulos (_NullFlags) no "
                "corresponden a los campos.");

  // A field type that is not read names the table, the field and the type.
  bytes[32 + 11] = 'V';
  WriteBytes(dir.Path() / "T.DBF", bytes);
  EXPECT_EQ(ErrorOf([&] { Table::Open(dir.Path(), "T", u'.'); }),
            "La tabla T (" + (dir.Path() / "T.DBF").string() +
                ") tiene el campo 1 (NOMBRE) de tipo \"V\", un tipo de campo que no se puede "
                "leer.");
}

// dBase 7 writes zero bytes in an I, +, O or @ field nobody filled in.
TEST(Table, ReadsEmptyLevel7BinaryFieldsAsEmptyAndZero) {
  Bytes bytes = ReadBytes(SourceDir() / "tables" / "testdata" / "dbase7.dbf");
  const std::size_t firstRecord = dbf::ReadU16(&bytes[8]);
  // NOMBRE C12, DIA I, HORA O, ACTIVO L, FECHA D, NUM +; FECHA made @.
  const std::size_t dia = 1 + 12, hora = dia + 4, fecha = hora + 8 + 1, num = fecha + 8;
  bytes[68 + 4 * 48 + 32] = '@';
  std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(firstRecord + dia),
            bytes.begin() + static_cast<std::ptrdiff_t>(firstRecord + hora + 8), 0);
  std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(firstRecord + fecha),
            bytes.begin() + static_cast<std::ptrdiff_t>(firstRecord + num + 4), 0);
  // The second live record's timestamp: 2000-01-01 00:00.
  const Bytes y2000 = {0x42, 0xCC, 0xAF, 0xC1, 0x11, 0x70, 0x00, 0x00};
  const std::size_t third = firstRecord + 2 * dbf::ReadU16(&bytes[10]);
  std::copy(y2000.begin(), y2000.end(), bytes.begin() + static_cast<std::ptrdiff_t>(third + fecha));
  TempDir dir;
  WriteBytes(dir.Path() / "T.DBF", bytes);
  const Table table = Table::Open(dir.Path(), "T", u'.');
  for (const char* field : {"DIA", "HORA", "FECHA", "NUM"}) {
    SCOPED_TRACE(field);
    const std::size_t index = table.FieldIndex(field);
    EXPECT_EQ(table.Text(0, index), u"");
    EXPECT_EQ(table.Integer(0, index), 0);
    EXPECT_EQ(table.Real(0, index), 0.0);
  }
  EXPECT_EQ(ToUtf8(table.Text(1, table.FieldIndex("FECHA"))), "20000101 00:00:00");
  EXPECT_EQ(table.Integer(1, table.FieldIndex("DIA")), -1);
}

TEST(Table, ReadsTextInTheCodePageTheFileDeclares) {
  struct Case {
    std::string fixture;     // dbase3.dbf: driver byte; dbase7.dbf: driver name
    std::uint8_t driver;     // byte 29
    std::string driverName;  // at 32-63 of a level 7 header
    std::string cpg;         // the .cpg file beside the table, when not empty
    Bytes stored;            // the first bytes of NOMBRE in the first record
    std::u16string read;     // its first character; empty: an error
    std::string notice;      // a part of the code page notice, or empty
  };
  const std::string unknown = ", que no se conoce: su texto se ha leído como Windows 1252";
  const Case cases[] = {
      {"dbase3.dbf", 0x58, "", "", {0xF1}, u"ñ", ""},
      {"dbase3.dbf", 0x00, "", "", {0xF1}, u"ñ", ""},
      {"dbase3.dbf", 0x7E, "", "", {0x80}, u"€", ""},  // 1256
      {"dbase3.dbf", 0x01, "", "", {0xA4}, u"ñ", ""},
      {"dbase3.dbf", 0x02, "", "", {0xA4}, u"ñ", ""},
      {"dbase3.dbf", 0x14, "", "", {0xB5}, u"Á", ""},  // Spanish OEM drivers: 850
      {"dbase3.dbf", 0x37, "", "", {0xE0}, u"Ó", ""},
      {"dbase3.dbf", 0x18, "", "", {0x82}, u"é", ""},  // and 437
      {"dbase3.dbf", 0x04, "", "", {0x96}, u"ñ", ""},  // Mac Roman
      {"dbase3.dbf", 0x64, "", "", {0xA4}, u"Ą", ""},
      {"dbase3.dbf", 0x65, "", "", {0xE0}, u"р", ""},
      {"dbase3.dbf", 0xC8, "", "", {0x8A}, u"Š", ""},
      {"dbase3.dbf", 0xC9, "", "", {0xC0}, u"А", ""},
      {"dbase3.dbf", 0x13, "", "", {0xB1}, u"ｱ", ""},         // 932, one byte
      {"dbase3.dbf", 0x13, "", "", {0x82, 0xA0}, u"あ", ""},  // and two
      {"dbase3.dbf", 0x42, "", "", {0xF1}, u"ñ", "el controlador de idioma 0x42" + unknown},
      // Byte 29 = 0: the .cpg file, as GDAL and other tools write it.
      {"dbase3.dbf", 0x00, "", "UTF-8\n", {0xC3, 0xB1}, u"ñ", ""},
      {"dbase3.dbf", 0x00, "", "\xEF\xBB\xBFutf8", {0xC3, 0xB1}, u"ñ", ""},
      {"dbase3.dbf", 0x00, "", "CP850", {0xA4}, u"ñ", ""},
      {"dbase3.dbf", 0x00, "", "850", {0xA4}, u"ñ", ""},
      {"dbase3.dbf", 0x00, "", "ANSI 1251", {0xC0}, u"А", ""},
      {"dbase3.dbf", 0x00, "", "ISO-8859-1", {0x80}, u"\u0080", ""},
      {"dbase3.dbf", 0x00, "", "88591", {0xF1}, u"ñ", ""},
      {"dbase3.dbf", 0x00, "", "latin1", {0xF1}, u"ñ", ""},
      {"dbase3.dbf",
       0x00,
       "",
       "OEM",
       {0xF1},
       u"ñ",
       "en T.cpg la página de códigos \"OEM\"" + unknown},
      {"dbase3.dbf", 0x02, "", "UTF-8", {0xA4}, u"ñ", ""},  // the driver byte first
      // Bytes that are no text in the code page the table declares.
      {"dbase3.dbf", 0x00, "", "UTF-8", {0xF1, 0x6C}, u"", ""},
      {"dbase3.dbf", 0x00, "", "UTF-8", {0xC3, 0x28}, u"", ""},
      {"dbase3.dbf", 0x13, "", "", {0x81, 0x20}, u"", ""},
      {"dbase7.dbf", 0x00, "DBWINUS0", "", {0x80}, u"€", ""},
      {"dbase7.dbf", 0x00, "DB437US0", "", {0xA4}, u"ñ", ""},
      {"dbase7.dbf", 0x00, "DB850ES0", "", {0xB5}, u"Á", ""},
      {"dbase7.dbf", 0x00, "DB866RU0", "", {0xE0}, u"р", ""},
      {"dbase7.dbf", 0x02, "DB866RU0", "", {0xA4}, u"ñ", ""},  // the driver byte first
      {"dbase7.dbf", 0x42, "DB850ES0", "", {0xB5}, u"Á", ""},  // else the name
      {"dbase7.dbf", 0x00, "XXXXXXXX", "", {0xF1}, u"ñ", "el controlador de idioma \"XXXXXXXX\""},
      {"dbase7.dbf", 0x00, "DBWINUS0", "UTF-8", {0x80}, u"€", ""},  // no .cpg for level 7
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fixture + " " + std::to_string(c.driver) + " " + c.driverName + " " + c.cpg);
    Bytes bytes = ReadBytes(SourceDir() / "tables" / "testdata" / c.fixture);
    bytes[29] = c.driver;
    std::copy(c.driverName.begin(), c.driverName.end(), bytes.begin() + 32);
    std::copy(c.stored.begin(), c.stored.end(), bytes.begin() + dbf::ReadU16(&bytes[8]) + 1);
    TempDir dir;
    WriteBytes(dir.Path() / "T.DBF", bytes);
    if (!c.cpg.empty()) WriteBytes(dir.Path() / "T.cpg", Bytes(c.cpg.begin(), c.cpg.end()));
    const Table table = Table::Open(dir.Path(), "T", u'.');
    if (c.read.empty()) {
      EXPECT_NE(ErrorOf([&] { table.Text(0, 0); })
                    .find("La tabla T, registro 1, campo NOMBRE: el texto no es válido en la "
                          "página de códigos "),
                std::string::npos);
    } else {
      EXPECT_EQ(ToUtf8(table.Text(0, 0).substr(0, c.read.size())), ToUtf8(c.read));
    }
    if (c.notice.empty()) {
      EXPECT_EQ(table.CodePageNotice(), "");
    } else {
      EXPECT_EQ(table.CodePageNotice().rfind("La tabla T declara " + c.notice, 0), 0u)
          << table.CodePageNotice();
    }
  }
}

// A table that declares no code page but holds UTF-8 (as LibreOffice writes
// it) is read as 1252, as ever, with a notice that says what it looks like.
TEST(Table, NamesUndeclaredUtf8) {
  TempDir dir;
  WriteSmall(dir.Path(), {u"uno", u"dos"});
  Bytes bytes = ReadBytes(dir.Path() / "SMALL.DBF");
  bytes[29] = 0;
  const std::size_t secondName = 32 + 3 * 32 + 1 + (1 + 6 + 11 + 20) + 1;
  // The second name and the notice, with the second name's bytes `name`.
  const auto withName = [&](const Bytes& name) {
    Bytes changed = bytes;
    std::copy(name.begin(), name.end(), changed.begin() + static_cast<std::ptrdiff_t>(secondName));
    WriteBytes(dir.Path() / "SMALL.DBF", changed);
    const Table table = Table::Open(dir.Path(), "SMALL", u'.');
    return std::pair(ToUtf8(table.Text(1, 0)), table.CodePageNotice());
  };
  EXPECT_EQ(withName({'n', 0xC3, 0xB1, 'o'}),  // "nño" in UTF-8
            std::pair(std::string("nÃ±o"),
                      std::string("La tabla SMALL no declara su página de códigos y su texto "
                                  "parece UTF-8: se ha leído como Windows 1252 y puede tener "
                                  "caracteres equivocados. Si es UTF-8, ponga junto a ella un "
                                  "archivo SMALL.cpg que diga UTF-8.")));
  EXPECT_EQ(withName({'n', 0xF1, 'o'}).second, "");  // "nño" in 1252
  EXPECT_EQ(withName({'n', 'o'}).second, "");
}

// What the independent dBase reader python3-dbfread makes of a table we write.
TEST(TableWriter, WritesTablesThatDbfreadReads) {
  if (std::system("/usr/bin/python3 -c 'import dbfread' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "python3-dbfread is not installed for /usr/bin/python3";
  }
  TempDir dir;
  {
    TableWriter writer(dir.Path(), kSmall);
    writer.Append();
    writer.SetText("NOMBRE", u"Ñandú€");
    writer.SetInteger("DIA", -2147483647 - 1);
    writer.SetReal("HORA", 43.65);
    writer.Post();
    writer.Append();
    writer.SetText("NOMBRE", u"áéíóúüx");  // cut to 6
    writer.SetInteger("DIA", 7);
    writer.Post();  // HORA left empty
    writer.Commit();
  }
  const std::string script =
      "import sys, dbfread\n"
      "t = dbfread.DBF(sys.argv[1], char_decode_errors='strict')\n"
      "print(t.encoding)\n"
      "for f in t.fields: print(f.name, f.type, f.length, f.decimal_count)\n"
      "for r in t: print('|'.join(repr(v) for v in r.values()))\n";
  const std::string command = "PYTHONIOENCODING=utf-8 /usr/bin/python3 -c \"" + script + "\" " +
                              (dir.Path() / "SMALL.DBF").string() + " 2>&1";
  FILE* pipe = ::popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string output;
  char chunk[256];
  while (std::fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
  EXPECT_EQ(::pclose(pipe), 0) << output;
  EXPECT_EQ(output,
            "cp1252\n"
            "NOMBRE C 6 0\n"
            "DIA N 11 0\n"
            "HORA N 20 4\n"
            "'Ñandú€'|-2147483648|43.65\n"
            "'áéíóúü'|7|None\n");
}

// ---------------------------------------------------------------------------
// Numbers.

const FieldDef kNumberFields[] = {{"TEXTO", FieldKind::kText, 12}, {"REAL", FieldKind::kReal, 0}};
const ExchangeTable kNumbers{"NUMEROS", kNumberFields};

TEST(Table, ReadsNumbers) {
  struct Case {
    std::u16string text;  // in TEXTO, or in REAL when `numeric`
    bool numeric;
    char16_t separator;
    std::optional<double> real;           // std::nullopt: no number
    std::optional<std::int32_t> integer;  // std::nullopt: an error
  };
  const Case cases[] = {
      {u"", true, u',', 0, 0},       // an empty numeric field is 0
      {u"2.5", true, u',', 2.5, 2},  // numeric fields always use '.'
      {u"3.5", true, u'.', 3.5, 4},
      {u"-2.5", true, u'.', -2.5, -2},
      {u"2,5", false, u',', 2.5, 2},
      {u"2.5", false, u'.', 2.5, 2},
      {u"  -3,5 ", false, u',', -3.5, -4},
      {u"+1e3", false, u'.', 1000, 1000},
      {u"15E-1", false, u'.', 1.5, 2},
      {u"2147483647.4", false, u'.', 2147483647.4, 2147483647},
      {u"3000000000", false, u'.', 3e9, std::nullopt},  // beyond 32 bits
      {u"2.5", false, u',', std::nullopt, std::nullopt},
      {u"1.000,5", false, u',', std::nullopt, std::nullopt},
      {u"", false, u'.', std::nullopt, std::nullopt},  // the empty text is no number
      {u"7x", false, u'.', std::nullopt, std::nullopt},
      {u"-", false, u'.', std::nullopt, std::nullopt},
      {u"1e", false, u'.', std::nullopt, std::nullopt},
      {u"1 2", false, u'.', std::nullopt, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(ToUtf8(c.text) + (c.numeric ? " numeric" : " text") + " separator " +
                 static_cast<char>(c.separator));
    TempDir dir;
    {
      TableWriter writer(dir.Path(), kNumbers);
      writer.Append();
      writer.SetText(c.numeric ? "REAL" : "TEXTO", c.text);
      writer.Post();
      writer.Commit();
    }
    const Table table = Table::Open(dir.Path(), "NUMEROS", c.separator);
    const std::size_t field = table.FieldIndex(c.numeric ? "REAL" : "TEXTO");
    if (c.real) {
      EXPECT_EQ(table.Real(0, field), *c.real);
    } else {
      EXPECT_EQ(
          ErrorOf([&] { table.Real(0, field); }),
          "La tabla NUMEROS, registro 1, campo TEXTO: \"" + ToUtf8(c.text) + "\" no es un número.");
    }
    if (c.integer) {
      EXPECT_EQ(table.Integer(0, field), *c.integer);
    } else {
      EXPECT_NE(ErrorOf([&] { table.Integer(0, field); }), "");
    }
  }
}

// The digits of a numeric field read as exactly the double a full parse of
// them gives, whatever their form.
TEST(Table, ReadsNumericDigitsAsTheirFullParse) {
  const std::string texts[] = {"-0",
                               "1.",
                               ".5",
                               "0.1",
                               "-12.50",
                               "  7",
                               "007",
                               "2.675",
                               "123456789012345",
                               "1234567890123456",
                               "0.30000000000000004",
                               "9007199254740993",
                               "99999999999999.9",
                               "-0.000000000000001",
                               "12345678901234567890"};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    TempDir dir;
    {
      TableWriter writer(dir.Path(), kNumbers);
      writer.Append();
      writer.SetReal("REAL", 0);
      writer.Commit();
    }
    // REAL's 20 bytes follow the deletion flag and TEXTO's 12.
    Bytes bytes = ReadBytes(dir.Path() / "NUMEROS.DBF");
    const std::string field = std::string(20 - text.size(), ' ') + text;
    std::copy(field.begin(), field.end(), bytes.begin() + 32 + 2 * 32 + 1 + 1 + 12);
    WriteBytes(dir.Path() / "NUMEROS.DBF", bytes);
    const std::string plain = text.substr(text.find_first_not_of(' '));
    double want = 0;
    std::from_chars(plain.data(), plain.data() + plain.size(), want);
    const Table table = Table::Open(dir.Path(), "NUMEROS", u'.');
    const double read = table.Real(0, table.FieldIndex("REAL"));
    EXPECT_EQ(read, want);
    EXPECT_EQ(std::signbit(read), std::signbit(want));
  }
}

TEST(TableWriter, RefusesNumbersThatDoNotFitTheirField) {
  TempDir dir;
  TableWriter writer(dir.Path(), kSmall);
  writer.Append();
  EXPECT_NE(ErrorOf([&] { writer.SetReal("HORA", 1e16); }).find("campo HORA: el valor"),
            std::string::npos);
  EXPECT_NE(ErrorOf([&] { writer.SetReal("DIA", 3e9); }), "");
  EXPECT_NE(ErrorOf([&] { writer.SetReal("HORA", std::nan("")); }), "");
  EXPECT_NE(ErrorOf([&] { writer.SetText("DIA", u"siete"); }), "");
  EXPECT_NE(ErrorOf([&] { writer.SetText("AULA", u"x"); }).find("no tiene el campo AULA"),
            std::string::npos);
}

// ---------------------------------------------------------------------------
// Damaged files.

// SMALL with three records, as bytes.
Bytes SmallTableBytes() {
  TempDir dir;
  WriteSmall(dir.Path(), {u"uno", u"dos", u"tres"});
  return ReadBytes(dir.Path() / "SMALL.DBF");
}

TEST(Table, CopesWithDamagedFiles) {
  constexpr std::size_t kHeaderLength = 32 + 3 * 32 + 1;
  constexpr std::size_t kRecordLength = 1 + 6 + 11 + 20;
  auto setCount = [](std::uint32_t count) {
    return [count](Bytes& b) {
      const auto bytes = dbf::U32Bytes(count);
      std::copy(bytes.begin(), bytes.end(), b.begin() + 4);
    };
  };
  struct Case {
    std::string what;
    std::function<void(Bytes&)> damage;
    std::string error;                  // a part of the message; empty when the file reads
    std::vector<std::u16string> names;  // the live records read
  };
  const Case cases[] = {
      {"intact", [](Bytes&) {}, "", {u"uno", u"dos", u"tres"}},
      {"header cut short", [](Bytes& b) { b.resize(20); }, "la cabecera está incompleta", {}},
      {"descriptors cut short", [](Bytes& b) { b.resize(80); }, "la cabecera está incompleta", {}},
      {"header length too small",
       [](Bytes& b) { b[8] = 64; },
       "la longitud de la cabecera (64) no corresponde a los campos",
       {}},
      {"header length beyond the file",
       [](Bytes& b) { b[9] = 0x10; },
       "la cabecera está incompleta",
       {}},
      {"record length wrong",
       [](Bytes& b) { b[10] = kRecordLength + 1; },
       "la longitud de registro de la cabecera (39) no corresponde a los campos, que suman 38",
       {}},
      {"unknown field type",
       [](Bytes& b) { b[32 + 32 + 11] = 'X'; },
       "tiene el campo 2 (DIA) de tipo \"X\", un tipo de campo que no se puede leer.",
       {}},
      {"memo field, never read",
       [](Bytes& b) { b[32 + 32 + 11] = 'M'; },
       "",
       {u"uno", u"dos", u"tres"}},
      {"no fields",
       [](Bytes& b) {
         b.resize(33);
         b[32] = 0x0D;
         b[8] = 33;
         b[9] = 0;
         b[10] = 1;
       },
       "la cabecera no describe ningún campo",
       {}},
      {"dBase II", [](Bytes& b) { b[0] = 0x02; }, "es una tabla de dBase II", {}},
      {"count beyond the file", setCount(5), "", {u"uno", u"dos", u"tres"}},
      {"count of 2^31 records", setCount(0x80000000u), "", {u"uno", u"dos", u"tres"}},
      {"count below the file", setCount(1), "", {u"uno"}},
      {"no end mark", [](Bytes& b) { b.pop_back(); }, "", {u"uno", u"dos", u"tres"}},
      {"last record cut short",
       [](Bytes& b) { b.resize(kHeaderLength + 2 * kRecordLength + 5); },
       "",
       {u"uno", u"dos"}},
      {"deleted record",
       [](Bytes& b) { b[kHeaderLength + kRecordLength] = '*'; },
       "",
       {u"uno", u"tres"}},
      {"end mark in place of a record",
       [](Bytes& b) { b[kHeaderLength + 2 * kRecordLength] = 0x1A; },
       "",
       {u"uno", u"dos"}},
  };
  const Bytes intact = SmallTableBytes();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    Bytes bytes = intact;
    c.damage(bytes);
    WriteBytes(dir.Path() / "SMALL.DBF", bytes);
    for (const bool streamed : {false, true}) {
      SCOPED_TRACE(streamed ? "streamed" : "whole");
      const std::string error = ErrorOf([&] {
        const Table table = streamed ? Table::OpenStreamed(dir.Path(), "SMALL", u'.')
                                     : Table::Open(dir.Path(), "SMALL", u'.');
        std::vector<std::u16string> names;
        for (std::size_t r = 0; r < table.RecordCount(); ++r) names.push_back(table.Text(r, 0));
        EXPECT_EQ(names, c.names);
      });
      if (c.error.empty()) {
        EXPECT_EQ(error, "");
        // Counted without reading the records, the table has as many.
        EXPECT_EQ(LiveRecordCount(dir.Path(), "small"), c.names.size());
      } else {
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_NE(error.find("La tabla SMALL (" + (dir.Path() / "SMALL.DBF").string() + ")"),
                  std::string::npos)
            << error;
      }
    }
  }
}

// A streamed table reads what the whole one does, across its windows of
// records and out of order, with a deleted record between them; a field
// read into a text replaces what it held.
TEST(Table, StreamedReadsAsWhole) {
  TempDir dir;
  std::vector<std::u16string> names;
  for (int i = 0; i < 20000; ++i) names.push_back(u"n" + DecimalText(i % 7919));
  {
    TableWriter writer(dir.Path(), kSmall);
    for (std::size_t i = 0; i < names.size(); ++i) {
      writer.Append();
      writer.SetText("NOMBRE", names[i]);
      writer.SetInteger("DIA", static_cast<std::int32_t>(i));
      writer.SetReal("HORA", static_cast<double>(i) / 4);
      writer.Post();
    }
    writer.Commit();
  }
  Bytes bytes = ReadBytes(dir.Path() / "SMALL.DBF");
  bytes[32 + 3 * 32 + 1 + 9000 * (1 + 6 + 11 + 20)] = '*';  // record 9001 deleted
  WriteBytes(dir.Path() / "SMALL.DBF", bytes);

  // Each record's fields and number, as the whole table reads them.
  std::vector<std::tuple<std::u16string, std::int32_t, double, std::size_t>> want;
  {
    const Table whole = Table::Open(dir.Path(), "SMALL", u'.');
    for (std::size_t r = 0; r < whole.RecordCount(); ++r) {
      want.emplace_back(whole.Text(r, 0), whole.Integer(r, 1), whole.Real(r, 2),
                        whole.RecordNumber(r));
    }
  }
  const Table streamed = Table::OpenStreamed(dir.Path(), "SMALL", u'.');
  ASSERT_EQ(streamed.RecordCount(), names.size() - 1);
  ASSERT_EQ(want.size(), streamed.RecordCount());
  std::u16string text = u"held before";
  const auto same = [&](std::size_t r) {
    streamed.ReadText(r, 0, text);
    ASSERT_EQ(
        std::tuple(text, streamed.Integer(r, 1), streamed.Real(r, 2), streamed.RecordNumber(r)),
        want[r])
        << r;
  };
  for (std::size_t r = 0; r < streamed.RecordCount(); ++r) same(r);
  for (const std::size_t r : {19998u, 0u, 9000u, 8999u, 12345u}) same(r);
  EXPECT_EQ(streamed.RecordNumber(9000), 9002u);
}

// ---------------------------------------------------------------------------
// Other processes, and failures on disk.

// Runs `body` in a child process and returns the text it gives back.
std::string RunInChild(const std::function<std::string()>& body) {
  int out[2];
  if (::pipe(out) != 0) throw std::runtime_error("pipe");
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(out[0]);
    std::string result;
    try {
      result = body();
    } catch (const std::exception& e) {
      result = std::string("unexpected: ") + e.what();
    }
    const ssize_t ignored = ::write(out[1], result.data(), result.size());
    static_cast<void>(ignored);
    ::_exit(0);
  }
  ::close(out[1]);
  std::string result;
  char chunk[256];
  for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;) {
    result.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return result;
}

constexpr LockKind kLockKinds[] = {LockKind::kFlock, LockKind::kRecordRead, LockKind::kRecordWrite,
                                   LockKind::kOfdWrite};

// Another program's hold on a table, by flock or by a record lock, stops
// both reading and writing it; while we hold it, no other program can lock
// it for writing (a reader's read lock can still come).
TEST(Table, HoldsItsTableExclusively) {
  TempDir dir;
  WriteSmall(dir.Path(), {u"uno"});
  const fs::path file = dir.Path() / "SMALL.DBF";
  const Bytes before = ReadBytes(file);
  const std::string inUse = "La tabla SMALL está en uso por otro programa: " + file.string() + ".";
  for (const LockKind kind : kLockKinds) {
    SCOPED_TRACE(LockName(kind));
    const HeldElsewhere other(file, kind);
    ASSERT_TRUE(other.Held());
    EXPECT_EQ(ErrorOf([&] { Table::Open(dir.Path(), "small", u'.'); }), inUse);
    EXPECT_EQ(ErrorOf([&] { WriteSmall(dir.Path(), {u"nuevo"}); }), inUse);
    EXPECT_EQ(ReadBytes(file), before);
    EXPECT_EQ(FileNames(dir.Path()), std::vector<std::string>{"SMALL.DBF"});
  }
  {
    const Table table = Table::Open(dir.Path(), "SMALL", u'.');
    for (const LockKind kind : {LockKind::kFlock, LockKind::kRecordWrite, LockKind::kOfdWrite}) {
      EXPECT_FALSE(HeldElsewhere(file, kind).Held()) << LockName(kind);
    }
  }
  for (const LockKind kind : kLockKinds) {
    EXPECT_TRUE(HeldElsewhere(file, kind).Held()) << LockName(kind);
  }
}

// ---------------------------------------------------------------------------
// Tables replaced as a set.

const ExchangeTable kSetTables[] = {
    {"TA", kSmallFields}, {"TB", kSmallFields}, {"TC", kSmallFields}};
constexpr std::string_view kSetNames[] = {"TA", "TB", "TC"};

TableWriter OneRecord(const fs::path& dir, const ExchangeTable& table, std::u16string_view name) {
  TableWriter writer(dir, table);
  writer.Append();
  writer.SetText("NOMBRE", name);
  writer.Post();
  return writer;
}

// The NOMBRE of a table's one record.
std::u16string NameIn(const fs::path& dir, std::string_view table) {
  return Table::Open(dir, table, u'.').Text(0, 0);
}

// Every file of a folder with its bytes.
std::map<std::string, Bytes> Contents(const fs::path& dir) {
  std::map<std::string, Bytes> contents;
  for (const std::string& name : FileNames(dir)) contents[name] = ReadBytes(dir / name);
  return contents;
}

TEST(TableSet, PutsEveryTableInPlace) {
  TempDir dir;
  for (const ExchangeTable& table : kSetTables) OneRecord(dir.Path(), table, u"viejo").Commit();
  fs::rename(dir / "TB.DBF", dir / "tb.dbf");  // an old table in another letter case
  WriteSmall(dir.Path(), {});
  std::ofstream(dir / "TC.MDX") << "an index";
  {
    TableSet set(dir.Path(), kSetNames);
    const std::map<std::string, Bytes> old = Contents(dir.Path());
    for (const ExchangeTable& table : kSetTables) {
      set.Add(OneRecord(dir.Path(), table, u"nuevo").Finish());
    }
    std::map<std::string, Bytes> staged = Contents(dir.Path());
    std::erase_if(staged, [](const auto& file) { return file.first.starts_with("."); });
    EXPECT_EQ(staged, old);
    set.Commit();
  }
  for (const std::string_view table : kSetNames) EXPECT_EQ(NameIn(dir.Path(), table), u"nuevo");
  EXPECT_EQ(FileNames(dir.Path()),
            (std::vector<std::string>{"SMALL.DBF", "TA.DBF", "TB.DBF", "TC.DBF"}));
}

// A rename that fails (here: a folder where the table should be) stops the
// commit; the message says which tables are already the new ones, and the
// new files not renamed are removed.
TEST(TableSet, ARenameThatFailsSaysWhichTablesAreNew) {
  struct Case {
    std::size_t blocked;  // the table whose place is taken by a folder
    std::string message;
  };
  const Case cases[] = {
      {0,
       "No se puede reemplazar la tabla TA (<dir>/TA.DBF): es un directorio. No se ha cambiado "
       "ninguna tabla de intercambio."},
      {1,
       "No se puede reemplazar la tabla TB (<dir>/TB.DBF): es un directorio. El cambio de tablas "
       "quedó a medias: ya son las nuevas TA; siguen siendo las anteriores TB y TC. Repita la "
       "operación antes de abrir las tablas en Talvenor."},
      {2,
       "No se puede reemplazar la tabla TC (<dir>/TC.DBF): es un directorio. El cambio de tablas "
       "quedó a medias: ya son las nuevas TA y TB; siguen siendo las anteriores TC. Repita la "
       "operación antes de abrir las tablas en Talvenor."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.blocked);
    TempDir dir;
    for (const ExchangeTable& table : kSetTables) OneRecord(dir.Path(), table, u"viejo").Commit();
    const fs::path blocked = dir / (std::string(kSetNames[c.blocked]) + ".DBF");
    fs::remove(blocked);
    fs::create_directories(blocked / "x");
    std::string want = c.message;
    want.replace(want.find("<dir>"), 5, dir.Path().string());
    {
      TableSet set(dir.Path(), kSetNames);
      for (const ExchangeTable& table : kSetTables) {
        set.Add(OneRecord(dir.Path(), table, u"nuevo").Finish());
      }
      EXPECT_EQ(ErrorOf([&] { set.Commit(); }), want);
    }
    for (std::size_t i = 0; i < c.blocked; ++i) {
      EXPECT_EQ(NameIn(dir.Path(), kSetNames[i]), u"nuevo");
    }
    for (std::size_t i = c.blocked + 1; i < std::size(kSetNames); ++i) {
      EXPECT_EQ(NameIn(dir.Path(), kSetNames[i]), u"viejo");
    }
    EXPECT_EQ(FileNames(dir.Path()), (std::vector<std::string>{"TA.DBF", "TB.DBF", "TC.DBF"}));
  }
}

// A table another program holds, when the set is held or taken by the time
// the set is committed, stops the set with every old table as it was.
TEST(TableSet, TablesHeldByOthersStopItBeforeAnythingChanges) {
  enum class When { kBeforeTheSet, kBeforeTheCommit };
  struct Case {
    LockKind kind;
    When when;
    bool newTable;         // TC is not there until the other program makes it
    bool othersCanTakeIt;  // false: the hold we have keeps them out
  };
  const Case cases[] = {
      {LockKind::kFlock, When::kBeforeTheSet, false, true},
      {LockKind::kRecordRead, When::kBeforeTheSet, false, true},
      {LockKind::kRecordWrite, When::kBeforeTheSet, false, true},
      {LockKind::kOfdWrite, When::kBeforeTheSet, false, true},
      {LockKind::kRecordRead, When::kBeforeTheCommit, false, true},
      {LockKind::kFlock, When::kBeforeTheCommit, false, false},
      {LockKind::kRecordWrite, When::kBeforeTheCommit, false, false},
      {LockKind::kOfdWrite, When::kBeforeTheCommit, false, false},
      {LockKind::kFlock, When::kBeforeTheCommit, true, true},
      {LockKind::kRecordWrite, When::kBeforeTheCommit, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(LockName(c.kind)) +
                 (c.when == When::kBeforeTheSet ? " before the set" : " before the commit") +
                 (c.newTable ? " on a new table" : ""));
    TempDir dir;
    for (const ExchangeTable& table : kSetTables) {
      if (!c.newTable || table.name != "TC") OneRecord(dir.Path(), table, u"viejo").Commit();
    }
    const fs::path held = dir / (c.newTable ? "TC.DBF" : "TB.DBF");
    const std::string inUse = "La tabla " + held.stem().string() +
                              " está en uso por otro programa: " + held.string() +
                              ". No se ha cambiado ninguna tabla de intercambio.";
    std::optional<HeldElsewhere> other;
    std::map<std::string, Bytes> before;
    std::string error;
    if (c.when == When::kBeforeTheSet) {
      other.emplace(held, c.kind);
      ASSERT_TRUE(other->Held());
      before = Contents(dir.Path());
      error = ErrorOf([&] { TableSet set(dir.Path(), kSetNames); });
    } else {
      TableSet set(dir.Path(), kSetNames);
      other.emplace(held, c.kind, c.newTable);
      EXPECT_EQ(other->Held(), c.othersCanTakeIt);
      for (const ExchangeTable& table : kSetTables) {
        set.Add(OneRecord(dir.Path(), table, u"nuevo").Finish());
      }
      before = Contents(dir.Path());
      std::erase_if(before, [](const auto& file) { return file.first.starts_with("."); });
      error = ErrorOf([&] { set.Commit(); });
    }
    if (!c.othersCanTakeIt) {
      EXPECT_EQ(error, "");
      for (const std::string_view table : kSetNames) {
        EXPECT_EQ(NameIn(dir.Path(), table), u"nuevo");
      }
      continue;
    }
    EXPECT_EQ(error, inUse);
    EXPECT_EQ(Contents(dir.Path()), before);
  }
}

// Runs of one exchange directory: any number of shared holders, or one
// exclusive holder.
TEST(ExchangeRunLock, LetsReadersShareAndAWriterAlone) {
  using Mode = ExchangeRunLock::Mode;
  struct Case {
    Mode first;
    Mode second;
    bool secondRuns;
  };
  const Case cases[] = {{Mode::kShared, Mode::kShared, true},
                        {Mode::kShared, Mode::kExclusive, false},
                        {Mode::kExclusive, Mode::kShared, false},
                        {Mode::kExclusive, Mode::kExclusive, false}};
  TempDir dir;
  const std::string busy = "Otra transferencia está usando el directorio de intercambio " +
                           dir.Path().string() +
                           "; no se ha cambiado nada. Espere a que termine y vuelva a intentarlo.";
  for (const Case& c : cases) {
    const ExchangeRunLock first = ExchangeRunLock::Take(dir.Path(), c.first);
    EXPECT_EQ(ErrorOf([&] { ExchangeRunLock::Take(dir.Path(), c.second); }),
              c.secondRuns ? "" : busy);
  }
  // Given back when its holder goes; no file is added to the folder.
  EXPECT_EQ(ErrorOf([&] { ExchangeRunLock::Take(dir.Path(), Mode::kExclusive); }), "");
  EXPECT_TRUE(FileNames(dir.Path()).empty());
  // A missing folder is for the run itself to report.
  EXPECT_EQ(ErrorOf([&] { ExchangeRunLock::Take(dir / "nada", Mode::kExclusive); }), "");
}

TEST(TableWriter, LeavesTheOldTableWhenNotCommitted) {
  TempDir dir;
  WriteSmall(dir.Path(), {u"uno", u"dos"});
  const Bytes before = ReadBytes(dir.Path() / "SMALL.DBF");
  {
    TableWriter writer(dir.Path(), kSmall);
    for (int i = 0; i < 20000; ++i) {  // enough to reach the disk before Commit
      writer.Append();
      writer.SetText("NOMBRE", u"nuevo");
      writer.Post();
    }
    EXPECT_EQ(FileNames(dir.Path()).size(), 2u);  // the table and the new file beside it
  }
  EXPECT_EQ(ReadBytes(dir.Path() / "SMALL.DBF"), before);
  EXPECT_EQ(FileNames(dir.Path()), std::vector<std::string>{"SMALL.DBF"});
}

TEST(TableWriter, ReportsFailedWritesAndLeavesNoTemporaryFile) {
  struct Case {
    std::string what;
    std::function<std::string(const fs::path& dir)> write;  // gives the error message
    std::string error;
  };
  const Case cases[] = {
      {"missing directory",
       [](const fs::path& dir) { return ErrorOf([&] { WriteSmall(dir / "nada", {u"uno"}); }); },
       "No se puede crear la tabla SMALL (<dir>/nada/SMALL.DBF): no existe el archivo o el "
       "directorio."},
      {"directory without permission to write",
       [](const fs::path& dir) {
         fs::permissions(dir, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
         return RunInChild([&] {
           // Root may write anywhere: the child gives up its rights first.
           if (::geteuid() != 0) {
             fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec);
           } else if (::setgid(65534) != 0 || ::setuid(65534) != 0) {
             return std::string("setuid");
           }
           return ErrorOf([&] { WriteSmall(dir, {u"uno"}); });
         });
       },
       "No se puede crear la tabla SMALL (<dir>/SMALL.DBF): no hay permiso de acceso."},
      {"disk full",
       [](const fs::path& dir) {
         return RunInChild([&] {
           const rlimit limit{20000, 20000};
           ::signal(SIGXFSZ, SIG_IGN);
           ::setrlimit(RLIMIT_FSIZE, &limit);
           std::vector<std::u16string> names(2000, u"nombre");
           return ErrorOf([&] {
             TableWriter writer(dir, kSmall);
             for (const auto& name : names) {
               writer.Append();
               writer.SetText("NOMBRE", name);
               writer.Post();
             }
             writer.Commit();
           });
         });
       },
       "No se puede escribir la tabla SMALL (<dir>/SMALL.DBF): el archivo supera el tamaño "
       "permitido."},
      {"no room for the new name",
       [](const fs::path& dir) {
         fs::remove(dir / "SMALL.DBF");
         fs::create_directories(dir / "SMALL.DBF" / "x");
         return ErrorOf([&] { WriteSmall(dir, {u"uno"}); });
       },
       "No se puede reemplazar la tabla SMALL (<dir>/SMALL.DBF): es un directorio."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempDir dir;
    WriteSmall(dir.Path(), {u"viejo"});
    const std::vector<std::string> namesBefore = FileNames(dir.Path());
    std::string want = c.error;
    want.replace(want.find("<dir>"), 5, dir.Path().string());
    EXPECT_EQ(c.write(dir.Path()), want);
    fs::permissions(dir.Path(), fs::perms::owner_all, fs::perm_options::add);
    EXPECT_EQ(FileNames(dir.Path()), namesBefore);
  }
}
}  // namespace
}  // namespace brivasto
