// The import run from exchange tables to the saved SAGA document.
#include "import/import.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "export/export.h"
#include "import/steps.h"
#include "testsupport/test_support.h"

namespace brivasto {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// The saved text without the white space between tags, so that comparisons
// do not depend on the layout of the saved file.
std::string WithoutLayout(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '>') {
      std::size_t next = i + 1;
      while (next < text.size() && (text[next] == ' ' || text[next] == '\n' || text[next] == '\t' ||
                                    text[next] == '\r')) {
        ++next;
      }
      out += '>';
      if (next < text.size() && text[next] == '<') {
        i = next - 1;
      }
      continue;
    }
    out += text[i];
  }
  return out;
}

// The last `time-tables` section of a saved file, as serialized.
std::string SavedSection(const fs::path& file) {
  const std::string text = WithoutLayout(ReadFile(file));
  const std::size_t begin = text.rfind("<time-tables>");
  const std::size_t end = text.rfind("</time-tables>");
  if (begin == std::string::npos || end == std::string::npos) return "(no section)";
  return text.substr(begin, end + std::string_view("</time-tables>").size() - begin);
}

// ---------------------------------------------------------------------------
// Exchange tables as Talvenor leaves them.

struct FrameRow {
  std::u16string dia, textoDia, hora, desde, hasta;
};
struct CatalogueRow {
  std::u16string code, sagaId, name;
};
struct SolutionRow {
  std::u16string dia, hora, sesiones, asig, grupo, prof, aula;
};

// Talvenor decides SOLUC's field types; every layout must read alike.
enum class SolucLayout {
  kText,         // every field a text
  kNumbers,      // DIA, HORA and SESIONES numeric (N)
  kLevel7,       // dBase level 7: DIA a long integer (I), HORA and SESIONES doubles (O)
  kWithoutRoom,  // texts, without AULA
  kAbsent,       // no SOLUC yet
};

constexpr FieldDef kSolucTextFields[] = {
    {field::kCodGrupo, FieldKind::kText, 10}, {field::kProf, FieldKind::kText, 10},
    {field::kAsig, FieldKind::kText, 10},     {field::kAula, FieldKind::kText, 10},
    {field::kDia, FieldKind::kText, 2},       {field::kHora, FieldKind::kText, 6},
    {field::kSesiones, FieldKind::kText, 6}};
constexpr FieldDef kSolucNumberFields[] = {
    {field::kDia, FieldKind::kInteger, 0},    {field::kHora, FieldKind::kReal, 0},
    {field::kSesiones, FieldKind::kReal, 0},  {field::kAsig, FieldKind::kText, 10},
    {field::kCodGrupo, FieldKind::kText, 10}, {field::kProf, FieldKind::kText, 10},
    {field::kAula, FieldKind::kText, 10}};
// A SOLUC that lacks AULA.
constexpr FieldDef kSolucWithoutRoomFields[] = {
    {field::kCodGrupo, FieldKind::kText, 10}, {field::kProf, FieldKind::kText, 10},
    {field::kAsig, FieldKind::kText, 10},     {field::kDia, FieldKind::kText, 2},
    {field::kHora, FieldKind::kText, 6},      {field::kSesiones, FieldKind::kText, 6}};

const ExchangeTable kSolucText{kSolucName, kSolucTextFields};
const ExchangeTable kSolucNumbers{kSolucName, kSolucNumberFields};
const ExchangeTable kSolucWithoutRoom{kSolucName, kSolucWithoutRoomFields};

// A level-7 table as a Talvenor built on that level writes it: 68-byte
// header, 48-byte field descriptors, integers and doubles in their
// order-preserving big-endian forms.
void WriteLevel7Soluc(const fs::path& dir, const std::vector<SolutionRow>& rows) {
  struct Level7Field {
    const char* name;
    char type;
    std::uint8_t width;
  };
  const Level7Field fields[] = {{"CODGRUPO", 'C', 10}, {"PROF", 'C', 10}, {"ASIG", 'C', 10},
                                {"AULA", 'C', 10},     {"DIA", 'I', 4},   {"HORA", 'O', 8},
                                {"SESIONES", 'O', 8}};
  const std::size_t fieldCount = std::size(fields);
  std::size_t recordLength = 1;
  for (const auto& f : fields) recordLength += f.width;
  const std::size_t headerLength = 68 + 48 * fieldCount + 1;
  std::string bytes(headerLength, '\0');
  auto put16 = [&](std::size_t at, std::size_t v) {
    bytes[at] = static_cast<char>(v & 0xFF);
    bytes[at + 1] = static_cast<char>(v >> 8);
  };
  bytes[0] = 0x04;
  bytes[1] = 126;  // 2026-09-01
  bytes[2] = 9;
  bytes[3] = 1;
  bytes[4] = static_cast<char>(rows.size());
  put16(8, headerLength);
  put16(10, recordLength);
  bytes.replace(32, 8, "DBWINUS0");
  for (std::size_t i = 0; i < fieldCount; ++i) {
    const std::size_t at = 68 + 48 * i;
    bytes.replace(at, std::strlen(fields[i].name), fields[i].name);
    bytes[at + 32] = fields[i].type;
    bytes[at + 33] = static_cast<char>(fields[i].width);
  }
  bytes[headerLength - 1] = 0x0D;
  auto bigEndian = [&](std::uint64_t v, int size) {
    for (int shift = 8 * (size - 1); shift >= 0; shift -= 8) {
      bytes += static_cast<char>((v >> shift) & 0xFF);
    }
  };
  auto text = [&](std::u16string_view value, std::size_t width) {
    std::string field = ToUtf8(value);  // the rows use ASCII only
    field.resize(width, ' ');
    bytes += field;
  };
  auto real = [&](std::u16string_view value) {
    const double number = std::stod(ToUtf8(value));
    std::uint64_t bits = 0;
    std::memcpy(&bits, &number, sizeof bits);
    bits = (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
    bigEndian(bits, 8);
  };
  for (const auto& row : rows) {
    bytes += ' ';
    text(row.grupo, 10);
    text(row.prof, 10);
    text(row.asig, 10);
    text(row.aula, 10);
    const auto day = static_cast<std::uint32_t>(std::stoi(ToUtf8(row.dia)));
    bigEndian(day ^ 0x80000000U, 4);
    real(row.hora);
    real(row.sesiones);
  }
  bytes += '\x1A';
  WriteFile(dir / "soluc.dbf", bytes);
}

struct Tables {
  std::vector<FrameRow> frame;
  std::vector<CatalogueRow> groups, teachers, rooms, subjects;
  std::vector<SolutionRow> solution;
  SolucLayout soluc = SolucLayout::kText;
  bool writeRooms = true;
};

void WriteCatalogue(const fs::path& dir, const ExchangeTable& table, std::string_view codeField,
                    const std::vector<CatalogueRow>& rows) {
  TableWriter writer(dir, table);
  for (const auto& row : rows) {
    writer.Append();
    writer.SetText(codeField, row.code);
    writer.SetText(field::kIdSaga, row.sagaId);
    if (!row.name.empty()) writer.SetText(field::kNombre, row.name);
    writer.Post();
  }
  writer.Commit();
}

void WriteTables(const fs::path& dir, const Tables& tables) {
  {
    TableWriter writer(dir, kDiashorast);
    for (const auto& row : tables.frame) {
      writer.Append();
      writer.SetText(field::kDia, row.dia);
      writer.SetText(field::kTextoDia, row.textoDia);
      writer.SetText(field::kHora, row.hora);
      writer.SetText(field::kHoraDesde, row.desde);
      writer.SetText(field::kHoraHasta, row.hasta);
      writer.Post();
    }
    writer.Commit();
  }
  WriteCatalogue(dir, kGrupost, field::kAbrev, tables.groups);
  WriteCatalogue(dir, kProft, field::kAbrev, tables.teachers);
  if (tables.writeRooms) WriteCatalogue(dir, kAulat, field::kAbrev, tables.rooms);
  WriteCatalogue(dir, kAsignomt, field::kCod, tables.subjects);
  switch (tables.soluc) {
    case SolucLayout::kAbsent:
      return;
    case SolucLayout::kLevel7:
      WriteLevel7Soluc(dir, tables.solution);
      return;
    default:
      break;
  }
  const bool numbers = tables.soluc == SolucLayout::kNumbers;
  const bool withRoom = tables.soluc != SolucLayout::kWithoutRoom;
  TableWriter writer(dir, numbers ? kSolucNumbers : withRoom ? kSolucText : kSolucWithoutRoom);
  for (const auto& row : tables.solution) {
    writer.Append();
    if (numbers) {
      writer.SetInteger(field::kDia, std::stoi(ToUtf8(row.dia)));
      writer.SetReal(field::kHora, std::stod(ToUtf8(row.hora)));
      writer.SetReal(field::kSesiones, std::stod(ToUtf8(row.sesiones)));
    } else {
      writer.SetText(field::kDia, row.dia);
      writer.SetText(field::kHora, row.hora);
      writer.SetText(field::kSesiones, row.sesiones);
    }
    writer.SetText(field::kAsig, row.asig);
    writer.SetText(field::kCodGrupo, row.grupo);
    writer.SetText(field::kProf, row.prof);
    if (withRoom) writer.SetText(field::kAula, row.aula);
    writer.Post();
  }
  writer.Commit();
}

// The week, catalogues and lessons of the example section: two days, one
// group, one teacher, one subject, one room; the second lesson's room X9
// has no record.
Tables ExampleTables() {
  Tables tables;
  tables.frame = {{u"1", u"Lunes", u"1", u"8:00", u"8:55"},
                  {u"1", u"Lunes", u"2", u"8:55", u"9:50"},
                  {u"2", u"Martes", u"1", u"8:00", u"8:55"}};
  tables.groups = {{u"1A", u"301", u""}};
  tables.teachers = {{u"AP", u"512", u""}};
  tables.rooms = {{u"A1", u"940", u""}};
  tables.subjects = {{u"L", u"77", u"Lengua"}};
  tables.solution = {{u"1", u"2", u"1", u"L", u"1A", u"AP", u"A1"},
                     {u"2", u"1", u"1", u"L", u"1A", u"AP", u"X9"}};
  return tables;
}

const char kExampleSection[] =
    R"(<time-tables><time-table id="tt1" name="Talvenor"><days>)"
    R"(<day id="1" name="Lunes"><interval id="i1" begin="8:00" end="08:55"/>)"
    R"(<interval id="i2" begin="8:55" end="09:50"/></day>)"
    R"(<day id="2" name="Martes"><interval id="i1" begin="8:00" end="08:55"/></day></days>)"
    R"(<groups><group id="301"/></groups><members><member id="512"/></members>)"
    R"(<activities><activity id="a1" name="Lengua" subject="77"/></activities><inputs>)"
    R"(<input id="input1" day="1" interval="i2" activity="a1"><groups><group id="301"/></groups>)"
    R"(<members><member id="512"/></members><locations><location id="940"/></locations></input>)"
    R"(<input id="input2" day="2" interval="i1" activity="a1"><groups><group id="301"/></groups>)"
    R"(<members><member id="512"/></members><locations><location id="X9"/></locations></input>)"
    R"(</inputs></time-table></time-tables>)";

// A SAGA document in ISO-8859-1 with two earlier sections at the top and
// one nested in a group, which stays.
const char kDocumentHead[] =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
    "<!-- exportado desde SAGA -->\n"
    "<document version=\"2\">\n"
    "  <subjects><subject id=\"77\" name=\"Lengua Castellana y Literatura\"/></subjects>\n";
const char kEarlierSection[] =
    "  <time-tables><time-table id=\"tt1\" name=\"Talvenor\"/></time-tables>\n";
const char kDocumentMiddle[] =
    "  <groups><group id=\"301\" name=\"1ESO A\">1\xBA ESO A &amp; refuerzo"
    "<time-tables><kept/></time-tables></group></groups>\n";
const char kDocumentTail[] =
    "  <teachers><teacher id=\"512\">Ana Pe\xF1"
    "a Mu\xF1oz</teacher></teachers>\n";

std::string DocumentWithEarlierSections() {
  return std::string(kDocumentHead) + kEarlierSection + kDocumentMiddle + kEarlierSection +
         kDocumentTail + "</document>\n";
}

// Runs the import on `document` saved as SAGA.xml in `dir`, with the tables
// in the same directory.
fs::path RunImport(const fs::path& dir, const std::string& documentBytes,
                   char16_t decimalSeparator = u'.') {
  const fs::path sagaFile = dir / "SAGA.xml";
  WriteFile(sagaFile, documentBytes);
  ImportTimetable(SagaDocument::Load(sagaFile, LoadScope::kRootElement), sagaFile,
                  RunContext{dir, decimalSeparator});
  return sagaFile;
}

// ---------------------------------------------------------------------------

class ImportExample : public ::testing::TestWithParam<SolucLayout> {};

TEST_P(ImportExample, WritesTheSectionAndKeepsTheRestOfTheDocument) {
  TempDir dir;
  Tables tables = ExampleTables();
  tables.soluc = GetParam();
  WriteTables(dir.Path(), tables);
  const std::string original = DocumentWithEarlierSections();
  const fs::path sagaFile = RunImport(dir.Path(), original);

  EXPECT_EQ(SavedSection(sagaFile), kExampleSection);
  // Both earlier top-level sections are gone with their lines, the nested
  // one stays, the new one is the root's last child, on lines of its own,
  // and every other byte is kept.
  const std::string kept = std::string(kDocumentHead) + kDocumentMiddle + kDocumentTail;
  const std::string end = "</document>\n";
  const std::string saved = ReadFile(sagaFile);
  ASSERT_TRUE(saved.starts_with(kept)) << saved;
  ASSERT_TRUE(saved.ends_with(end)) << saved;
  const std::string section = saved.substr(kept.size(), saved.size() - kept.size() - end.size());
  EXPECT_TRUE(section.starts_with("  <time-tables>\n    <time-table id=\"tt1\"")) << section;
  EXPECT_TRUE(section.ends_with("\n  </time-tables>\n")) << section;
  // The previous version is kept beside it.
  EXPECT_EQ(ReadFile(BackupPath(sagaFile)), original);
}

INSTANTIATE_TEST_SUITE_P(SolucFieldTypes, ImportExample,
                         ::testing::Values(SolucLayout::kText, SolucLayout::kNumbers,
                                           SolucLayout::kLevel7),
                         [](const ::testing::TestParamInfo<SolucLayout>& layout) {
                           switch (layout.param) {
                             case SolucLayout::kText:
                               return "TextFields";
                             case SolucLayout::kNumbers:
                               return "NumericFields";
                             default:
                               return "Level7IntegerAndDouble";
                           }
                         });

TEST(ImportDaysAndIntervals, OrdersByDayAndHourAndSkipsOtherNumbers) {
  TempDir dir;
  Tables tables;
  tables.frame = {
      {u"2", u"Martes", u"2", u"9:00", u"10:00"},  // day 2 comes first in the table
      {u"2", u"Martes", u"1", u"8:00", u"9:00"},
      {u"1", u"Lunes", u"3", u"10:00", u"1100"},
      {u"1", u"LUNES", u"1", u"8:00", u"0900"},  // a second name for day 1 is not used
      {u"1", u"Lunes", u"41", u"x", u"x"},       // hours that name no interval
      {u"1", u"Lunes", u"0", u"x", u"x"},
      {u"1", u"Lunes", u"01", u"x", u"x"},
      {u"1", u"Lunes", u"1.0", u"x", u"x"},
      {u"1", u"Lunes", u"1", u"8:30", u""},  // a second interval i1
      {u"01", u"Lunes", u"2", u"x", u"x"},   // days that name no day
      {u"8", u"Octavo", u"1", u"x", u"x"},
      {u"0", u"Cero", u"1", u"x", u"x"},
      {u"5", u"Viernes", u"40", u"14:00", u"8"},  // no day 3 or 4: ids not renumbered
  };
  WriteTables(dir.Path(), tables);  // an empty SOLUC
  const fs::path sagaFile = RunImport(dir.Path(), "<document/>");

  EXPECT_EQ(SavedSection(sagaFile),
            R"(<time-tables><time-table id="tt1" name="Talvenor"><days>)"
            R"(<day id="1" name="Lunes"><interval id="i1" begin="8:00" end="0900"/>)"
            R"(<interval id="i1" begin="8:30" end=""/>)"
            R"(<interval id="i3" begin="10:00" end="01100"/></day>)"
            R"(<day id="2" name="Martes"><interval id="i1" begin="8:00" end="09:00"/>)"
            R"(<interval id="i2" begin="9:00" end="10:00"/></day>)"
            R"(<day id="5" name="Viernes"><interval id="i40" begin="14:00" end="08"/></day>)"
            R"(</days><groups/><members/><activities/><inputs/></time-table></time-tables>)");
}

TEST(ImportInputs, NumberingReferencesAndActivityLookup) {
  TempDir dir;
  Tables tables;
  tables.frame = {{u"1", u"Lunes", u"1", u"8:00", u"8:55"}};
  tables.groups = {{u"1A", u"301", u""}, {u"2B", u"", u""}, {u"3C", u"303", u""}};
  tables.teachers = {{u"AP", u"512", u""}, {u"JG", u"513", u""}};
  tables.rooms = {{u"A1", u"940", u""}};
  tables.subjects = {{u"L", u"77", u"Lengua"},
                     {u"M", u"MAT-7", u"Matemáticas"},
                     {u"H", u"80", u"Historia"},  // used by no row
                     {u"M2", u"77", u"Lengua bis"},
                     {u"EF", u"90", u"Educación Física"}};
  tables.solution = {
      {u"1", u"1", u"1", u"L", u"1A", u"AP", u"A1"},
      {u"0", u"x", u"x", u"EF", u"3C", u"JG", u"A1"},    // unscheduled: listed, no input
      {u"01", u"3", u"0,5", u"M", u"2B", u"AP", u"X9"},  // room without record; DIA as text
      {u"2", u"2,5", u"1", u"M2", u"1a", u"AP", u""},    // same subject id; group code case
      {u"3", u"4", u"1", u"mat-7", u"1A", u"", u"A1"},   // subject id in other case
  };
  WriteTables(dir.Path(), tables);
  const fs::path sagaFile = RunImport(dir.Path(), "<document/>", u',');

  EXPECT_EQ(SavedSection(sagaFile),
            R"(<time-tables><time-table id="tt1" name="Talvenor"><days><day id="1" name="Lunes">)"
            R"(<interval id="i1" begin="8:00" end="08:55"/></day></days>)"
            // The lists follow the catalogues: 1a names no group, 2B is listed with
            // its empty id.
            R"(<groups><group id="301"/><group id=""/><group id="303"/></groups>)"
            R"(<members><member id="512"/><member id="513"/></members>)"
            R"(<activities><activity id="a1" name="Lengua" subject="77"/>)"
            R"(<activity id="a2" name="Matemáticas" subject="MAT-7"/>)"
            R"(<activity id="a3" name="Lengua bis" subject="77"/>)"
            R"(<activity id="a4" name="Educación Física" subject="90"/></activities><inputs>)"
            R"(<input id="input1" day="1" interval="i1" activity="a1"><groups><group id="301"/>)"
            R"(</groups><members><member id="512"/></members><locations><location id="940"/>)"
            R"(</locations></input>)"
            R"(<input id="input2" day="01" interval="i5" activity="a2"><groups><group/></groups>)"
            R"(<members><member id="512"/></members><locations><location id="X9"/></locations>)"
            R"(</input>)"
            R"(<input id="input3" day="2" interval="i2,5" activity="a1"><groups><group id="1a"/>)"
            R"(</groups><members><member id="512"/></members><locations><location/></locations>)"
            R"(</input>)"
            R"(<input id="input4" day="3" interval="i4" activity="a2"><groups><group id="301"/>)"
            R"(</groups><members><member/></members><locations><location id="940"/></locations>)"
            R"(</input></inputs></time-table></time-tables>)");
}

// The sample school's round trip: the export of the sample document, the
// sample solution put beside its tables as Talvenor leaves it, the import.
TEST(ImportTimetable, SampleSchoolRoundTripGivesTheExpectedSection) {
  const fs::path root = testing::SourceDir();
  TempDir dir;
  const fs::path sagaFile = dir.Path() / "saga-ejemplo.xml";
  fs::copy_file(root / "samples" / "saga-ejemplo.xml", sagaFile);
  const RunContext context{dir.Path(), u'.'};
  RunExportSteps(SagaDocument::Load(sagaFile), context);
  for (const char* table : {"DIASHORAST.DBF", "SOLUC.DBF"}) {
    fs::copy_file(root / "samples" / "talvenor" / table, dir.Path() / table,
                  fs::copy_options::overwrite_existing);
  }
  ImportTimetable(SagaDocument::Load(sagaFile, LoadScope::kRootElement), sagaFile, context);

  EXPECT_EQ(SavedSection(sagaFile),
            SavedSection(root / "samples" / "talvenor" / "expected-time-tables.xml"));
  EXPECT_EQ(ReadFile(BackupPath(sagaFile)), ReadFile(root / "samples" / "saga-ejemplo.xml"));
}

// The same lessons and frame in the layouts and code pages other programs
// write (tables/testdata/make_fixtures.py) import to the same section as in
// the sample's own layout.
TEST(ImportTimetable, TablesOtherProgramsWriteImportAsTheSampleLayout) {
  const fs::path root = testing::SourceDir();
  const auto importFrom = [&](const std::string& layout) {
    TempDir dir;
    const fs::path sagaFile = dir.Path() / "saga-ejemplo.xml";
    fs::copy_file(root / "samples" / "saga-ejemplo.xml", sagaFile);
    const RunContext context{dir.Path(), u'.'};
    RunExportSteps(SagaDocument::Load(sagaFile), context);
    for (const auto& entry :
         fs::directory_iterator(root / "tables" / "testdata" / "solution" / layout)) {
      fs::copy_file(entry.path(), dir.Path() / entry.path().filename(),
                    fs::copy_options::overwrite_existing);
    }
    ImportTimetable(SagaDocument::Load(sagaFile, LoadScope::kRootElement), sagaFile, context);
    return SavedSection(sagaFile);
  };
  const std::string want = importFrom("sample");
  // Accented day names and subject codes (whose activity the section holds
  // only when the code was read right), the room without record, half
  // sessions.
  for (const char* text :
       {"name=\"Miércoles\"", "name=\"Matemáticas\"", "id=\"LAB9\"", "<input "}) {
    EXPECT_NE(want.find(text), std::string::npos) << text;
  }
  for (const char* layout : {"level7", "foxpro", "cp850", "cp437", "cpg850", "cpgutf8"}) {
    SCOPED_TRACE(layout);
    EXPECT_EQ(importFrom(layout), want);
  }
}

// ---------------------------------------------------------------------------
// Failures: the run stops with a message naming what is wrong, and the SAGA
// file stays byte-identical, without a backup.

struct FailureCase {
  const char* name;
  void (*change)(Tables&);
  std::vector<std::string> messageParts;
};

const FailureCase kFailureCases[] = {
    // Subject codes match exactly: "l" is not the code "L".
    {"subject without activity",
     [](Tables& t) {
       t.solution.push_back({u"1", u"1", u"1", u"l", u"1A", u"AP", u"A1"});
     },
     {"La tabla SOLUC, registro 3, campo ASIG: la asignatura \"l\" no tiene actividad."}},
    {"day that is no number",
     [](Tables& t) { t.solution[1].dia = u"x"; },
     {"La tabla SOLUC, registro 2, campo DIA: \"x\" no es un número."}},
    {"hour that is no number",
     [](Tables& t) { t.solution[1].hora = u"tres"; },
     {"La tabla SOLUC, registro 2, campo HORA: \"tres\" no es un número."}},
    {"sessions that are no number",
     [](Tables& t) { t.solution[0].sesiones = u"media"; },
     {"La tabla SOLUC, registro 1, campo SESIONES: \"media\" no es un número."}},
    {"empty hour",
     [](Tables& t) { t.solution[0].hora = u""; },
     {"La tabla SOLUC, registro 1, campo HORA: \"\" no es un número."}},
    {"no solution yet",
     [](Tables& t) { t.soluc = SolucLayout::kAbsent; },
     {"No existe la tabla SOLUC"}},
    {"solution without room field",
     [](Tables& t) { t.soluc = SolucLayout::kWithoutRoom; },
     {"La tabla SOLUC", "no tiene el campo AULA."}},
    {"no room table, the last one opened",
     [](Tables& t) { t.writeRooms = false; },
     {"No existe la tabla AULAT"}},
};

TEST(ImportTimetable, FailuresStopTheRunAndLeaveTheFileAsItWas) {
  for (const auto& c : kFailureCases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    Tables tables = ExampleTables();
    c.change(tables);
    WriteTables(dir.Path(), tables);
    const std::string original = DocumentWithEarlierSections();
    const fs::path sagaFile = dir.Path() / "SAGA.xml";
    WriteFile(sagaFile, original);
    SagaDocument document = SagaDocument::Load(sagaFile);
    try {
      ImportTimetable(document, sagaFile, RunContext{dir.Path(), u'.'});
      ADD_FAILURE() << "no error";
    } catch (const TransferError& error) {
      const std::string message = error.what();
      for (const auto& part : c.messageParts) {
        EXPECT_NE(message.find(part), std::string::npos) << message << " lacks " << part;
      }
    }
    EXPECT_EQ(ReadFile(sagaFile), original);
    EXPECT_FALSE(fs::exists(BackupPath(sagaFile)));
    // Every table was closed: each can be opened again.
    for (const auto* name : {"DIASHORAST", "GRUPOST", "PROFT", "ASIGNOMT"}) {
      EXPECT_NO_THROW(Table::Open(dir.Path(), name, u'.')) << name;
    }
  }
}

// ---------------------------------------------------------------------------

// A section of `count` elements named `name`.
std::function<void(XmlSectionWriter&)> Elements(std::string_view name, int count = 1) {
  return [name, count](XmlSectionWriter& out) {
    for (int i = 0; i < count; ++i) {
      out.Open(name);
      out.Close();
    }
  };
}

TEST(SaveSagaDocument, ReplacesAnOlderBackupWithThePreviousVersion) {
  TempDir dir;
  const fs::path sagaFile = dir.Path() / "centro.xml";
  WriteFile(sagaFile, "<document><a/></document>");
  WriteFile(BackupPath(sagaFile), "older backup");

  SaveSagaDocument(SagaDocument::Load(sagaFile, LoadScope::kRootElement), sagaFile, Elements("b"));

  EXPECT_EQ(BackupPath(sagaFile), dir.Path() / "centro.xml.bak");
  EXPECT_EQ(ReadFile(BackupPath(sagaFile)), "<document><a/></document>");
  EXPECT_EQ(ReadFile(sagaFile),
            "<document><a/>\n  <time-tables>\n    <b/>\n  </time-tables>\n</document>");
  // Nothing else is left beside them.
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 2);
}

TEST(SaveSagaDocument, BackupThatCannotBeWrittenStopsTheSave) {
  TempDir dir;
  const fs::path sagaFile = dir.Path() / "centro.xml";
  WriteFile(sagaFile, "<document/>");
  // A folder in the backup's place cannot be replaced.
  fs::create_directory(BackupPath(sagaFile));
  WriteFile(BackupPath(sagaFile) / "keep", "x");

  try {
    SaveSagaDocument(SagaDocument::Load(sagaFile, LoadScope::kRootElement), sagaFile,
                     Elements("b"));
    ADD_FAILURE() << "no error";
  } catch (const TransferError& error) {
    EXPECT_NE(std::string(error.what()).find("centro.xml.bak"), std::string::npos) << error.what();
  }
  EXPECT_EQ(ReadFile(sagaFile), "<document/>");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 2);
}

// Limits the size of the files this process writes while it lives; writing
// beyond it fails (EFBIG) instead of raising SIGXFSZ.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(rlim_t bytes) {
    ::getrlimit(RLIMIT_FSIZE, &saved_);
    savedHandler_ = ::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved_;
    limited.rlim_cur = bytes;
    ::setrlimit(RLIMIT_FSIZE, &limited);
  }
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &saved_);
    ::signal(SIGXFSZ, savedHandler_);
  }

 private:
  rlimit saved_{};
  sighandler_t savedHandler_{};
};

TEST(SaveSagaDocument, SaveThatFailsLeavesTheFileAndItsBackupAsTheyWere) {
  TempDir dir;
  const fs::path sagaFile = dir.Path() / "centro.xml";
  const std::string original = "<document><a/></document>";
  WriteFile(sagaFile, original);
  WriteFile(BackupPath(sagaFile), "older backup");

  {
    const FileSizeLimit limit(4096);  // the new document is larger
    EXPECT_THROW(SaveSagaDocument(SagaDocument::Load(sagaFile, LoadScope::kRootElement), sagaFile,
                                  Elements("lesson", 1000)),
                 TransferError);
  }
  EXPECT_EQ(ReadFile(sagaFile), original);
  EXPECT_EQ(ReadFile(BackupPath(sagaFile)), "older backup");
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace brivasto
