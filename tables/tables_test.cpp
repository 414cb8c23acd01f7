#include "tables/tables.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tables/dbf_format.h"

namespace brivasto {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

// A fresh directory, removed with everything in it at the end of the test.
class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "brivasto-tables-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = pattern;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
  }
  const fs::path& Path() const { return path_; }

 private:
  fs::path path_;
};

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

[[maybe_unused]] fs::path SourceDir() {
  const char* dir = std::getenv("BRIVASTO_SOURCE_DIR");
  return dir != nullptr ? fs::path(dir) : fs::path(".");
}

// The message of the TransferError that `action` throws ("" when none).
template <typename Action>
std::string ErrorOf(Action action) {
  try {
    action();
  } catch (const TransferError& e) {
    return e.what();
  }
  return "";
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

// A value for a text field of `width`: accented text, cut to the width.
std::u16string SampleText(int width, int record) {
  std::u16string text = record == 0 ? u"áéíóúñÑü€ 123456789" : u"Ñandú €uro ";
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
            const std::u16string want = SampleText(f.width, static_cast<int>(record))
                                            .substr(0, static_cast<std::size_t>(f.width));
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

}  // namespace
}  // namespace brivasto
