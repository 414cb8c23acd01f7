// The transfers look things up through indexes; their tables and documents
// must be byte for byte what plain scans from the first record give
// (reference_scans.h), on the sample school, on generated schools and on
// Talvenor tables full of awkward records. On the same inputs, the check
// must foresee the runs exactly.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "bench/bench.h"
#include "bench/reference_scans.h"
#include "check/check.h"
#include "export/export.h"
#include "import/import.h"
#include "testsupport/test_support.h"

namespace brivasto {
namespace {

namespace fs = std::filesystem;

using testing::ReadFile;
using testing::SourceDir;
using testing::TempDir;

// Equal bytes, or where they first differ (files are too large to print).
::testing::AssertionResult SameBytes(const fs::path& actual, const fs::path& expected) {
  const std::string a = ReadFile(actual);
  const std::string b = ReadFile(expected);
  if (a == b) return ::testing::AssertionSuccess();
  std::size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  const std::size_t from = at < 60 ? 0 : at - 60;
  return ::testing::AssertionFailure()
         << actual << " (" << a.size() << " bytes) and " << expected << " (" << b.size()
         << " bytes) differ from byte " << at << ":\n  " << a.substr(from, 160)
         << "\nreference:\n  " << b.substr(from, 160);
}

std::size_t Occurrences(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
    ++count;
  }
  return count;
}

// ASIGT of the export, and the document of the import, against the reference.
// `zwork` holds the catalogue tables and Talvenor's DIASHORAST and SOLUC.
void ExpectSameAsReference(const fs::path& sagaFile, const fs::path& zwork, const fs::path& work,
                           char16_t decimalSeparator) {
  const RunContext context{zwork, decimalSeparator};
  // The export reads the sections as the file streams past; the reference
  // reads them from the whole tree.
  ExportAssignments(SagaDocument::Load(sagaFile, LoadScope::kCatalogueSections), context);
  fs::create_directories(work / "reference");
  reference::WriteAssignments(SagaDocument::Load(sagaFile), zwork, work / "reference",
                              decimalSeparator);
  EXPECT_TRUE(SameBytes(zwork / "ASIGT.DBF", work / "reference" / "ASIGT.DBF"));

  fs::create_directories(work / "import");
  const fs::path imported = work / "import" / "saga.xml";
  fs::copy_file(sagaFile, imported, fs::copy_options::overwrite_existing);
  ImportTimetable(SagaDocument::Load(imported, LoadScope::kRootElement), imported, context);

  const fs::path expectedFile = work / "reference" / "saga.xml";
  fs::copy_file(sagaFile, expectedFile, fs::copy_options::overwrite_existing);
  SaveWithNewRootSection(SagaDocument::Load(expectedFile), expectedFile, "time-tables",
                         [&](XmlSectionWriter& out) {
                           reference::WriteTimetableSection(out, zwork, decimalSeparator);
                         },
                         {});
  EXPECT_TRUE(SameBytes(imported, expectedFile));
  // Not a comparison of two empty sections.
  EXPECT_GT(Occurrences(ReadFile(imported), "<input "), 0u);
}

std::string Lines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

// One catalogue table after an export: record i holds the stored texts of
// the code, the name and the id of entry i, as the check foresees them with
// the export's own code functions and the tables' StoredText.
template <typename Item>
void ExpectStoredTexts(const fs::path& zwork, const ExchangeTable& table,
                       std::string_view codeField, std::string_view nameField,
                       const std::vector<Item>& items, const std::vector<GivenCode>& codes) {
  SCOPED_TRACE(std::string(table.name));
  const Table written = Table::Open(zwork, table.name, u'.');
  ASSERT_EQ(written.RecordCount(), items.size());
  const auto width = [&](std::string_view name) {
    for (const FieldDef& def : table.fields) {
      if (def.name == name) return static_cast<std::size_t>(def.width);
    }
    return std::size_t{0};
  };
  for (std::size_t i = 0; i < items.size(); ++i) {
    EXPECT_EQ(written.Text(i, written.FieldIndex(codeField)),
              StoredText(codes[i].code, width(codeField)))
        << i;
    EXPECT_EQ(written.Text(i, written.FieldIndex(field::kIdSaga)),
              StoredText(items[i].id.value_or(u""), width(field::kIdSaga)))
        << i;
    if (!nameField.empty()) {
      EXPECT_EQ(written.Text(i, written.FieldIndex(nameField)),
                StoredText(codes[i].name, width(nameField)))
          << i;
    }
  }
}

// The check on copies of the document and the tables, then the import and
// the export on the same copies: each reports a stop exactly when its run
// fails, and the export's catalogues hold what the check foresaw. Returns
// whether the import failed.
bool ExpectCheckForesees(const fs::path& sagaFile, const fs::path& zwork, const fs::path& work,
                         char16_t decimalSeparator) {
  const fs::path folder = work / "foreseen";
  fs::create_directories(folder);
  const fs::path document = folder / "saga.xml";
  fs::copy_file(sagaFile, document, fs::copy_options::overwrite_existing);
  fs::copy(zwork, folder / "zwork",
           fs::copy_options::recursive | fs::copy_options::overwrite_existing);
  const RunContext context{folder / "zwork", decimalSeparator};
  const CheckReport report = CheckBeforeRun(SagaDocument::Load(document), context);

  bool importFailed = false;
  try {
    ImportTimetable(SagaDocument::Load(document, LoadScope::kRootElement), document, context);
  } catch (const TransferError&) {
    importFailed = true;
  }
  EXPECT_EQ(!report.importStops.empty(), importFailed) << Lines(report.importStops);

  const SagaDocument original = SagaDocument::Load(sagaFile);
  bool exportFailed = false;
  try {
    RunExportSteps(original, context);
  } catch (const TransferError&) {
    exportFailed = true;
  }
  EXPECT_EQ(!report.stops.empty(), exportFailed) << Lines(report.stops);
  if (exportFailed) return importFailed;
  CatalogueSections storage;
  const CatalogueSections& sections = ReadCatalogueSections(original, storage);
  ExpectStoredTexts(context.exchangeDirectory, kAsignomt, field::kCod, field::kNombre,
                    sections.subjects, SubjectCodes(sections.subjects));
  ExpectStoredTexts(context.exchangeDirectory, kProft, field::kAbrev, field::kNombre,
                    sections.teachers, TeacherCodes(sections.teachers));
  ExpectStoredTexts(context.exchangeDirectory, kAulat, field::kAbrev, field::kNombre,
                    sections.locations, RoomCodes(sections.locations));
  ExpectStoredTexts(context.exchangeDirectory, kGrupost, field::kAbrev, "", sections.groups,
                    GroupCodes(sections.groups));
  return importFailed;
}

TEST(ReferenceScans, SampleSchool) {
  const fs::path samples = SourceDir() / "samples";
  TempDir dir;
  const fs::path zwork = dir.Path() / "zwork";
  fs::create_directories(zwork);
  RunExportSteps(SagaDocument::Load(samples / "saga-ejemplo.xml"), {zwork, u'.'});
  for (const char* table : {"DIASHORAST.DBF", "SOLUC.DBF"}) {
    fs::copy_file(samples / "talvenor" / table, zwork / table,
                  fs::copy_options::overwrite_existing);
  }
  ExpectSameAsReference(samples / "saga-ejemplo.xml", zwork, dir.Path(), u'.');
  EXPECT_FALSE(ExpectCheckForesees(samples / "saga-ejemplo.xml", zwork, dir.Path(), u'.'));
}

struct GeneratedCase {
  double scale;
  std::uint64_t seed;
};
const GeneratedCase kGeneratedCases[] = {{0.25, 1}, {0.25, 2}, {0.5, 7}};

TEST(ReferenceScans, GeneratedSchools) {
  for (const GeneratedCase& c : kGeneratedCases) {
    SCOPED_TRACE("scale " + std::to_string(c.scale) + ", seed " + std::to_string(c.seed));
    TempDir dir;
    bench::GenerateSchool(dir.Path(), c.scale, c.seed);
    ExpectSameAsReference(dir.Path() / "saga.xml", dir.Path() / "zwork", dir.Path(), u'.');
    EXPECT_FALSE(
        ExpectCheckForesees(dir.Path() / "saga.xml", dir.Path() / "zwork", dir.Path(), u'.'));
  }
}

// ---------------------------------------------------------------------------
// Awkward tables: the catalogues with ids and codes given twice and empty ids,
// a day/hour frame out of order with numbers that are no plain numerals, and
// a solution with codes that match nothing, match in another letter case or
// name a subject by its SAGA id.

using Record = std::map<std::string_view, std::u16string>;

std::vector<Record> ReadRecords(const fs::path& directory, const ExchangeTable& table) {
  const Table opened = Table::Open(directory, table.name, u'.');
  std::vector<Record> records;
  for (std::size_t r = 0; r < opened.RecordCount(); ++r) {
    Record record;
    for (const FieldDef& def : table.fields)
      record[def.name] = opened.Text(r, opened.FieldIndex(def.name));
    records.push_back(std::move(record));
  }
  return records;
}

void WriteRecords(const fs::path& directory, const ExchangeTable& table,
                  const std::vector<Record>& records) {
  TableWriter writer(directory, table);
  for (const Record& record : records) {
    writer.Append();
    for (const auto& [name, value] : record) {
      if (!value.empty()) writer.SetText(name, value);
    }
    writer.Post();
  }
  writer.Commit();
}

// Appends records to a catalogue table: one holding the IDSAGA of the first
// record, one holding the code of the second, one with an empty IDSAGA.
void AddDuplicates(const fs::path& zwork, const ExchangeTable& table, std::string_view codeField,
                   const std::u16string& prefix) {
  std::vector<Record> records = ReadRecords(zwork, table);
  ASSERT_GE(records.size(), 2u);
  Record sameId = records[0];
  sameId[codeField] = prefix + u"DUP";
  Record sameCode = records[1];
  sameCode[field::kIdSaga] = u"999" + prefix;
  Record noId = records[1];
  noId[codeField] = prefix + u"VACIO";
  noId[field::kIdSaga] = u"";
  records.insert(records.end(), {sameId, sameCode, noId});
  WriteRecords(zwork, table, records);
}

constexpr FieldDef kAwkwardSolucFields[] = {
    {field::kCodGrupo, FieldKind::kText, 10}, {field::kAsig, FieldKind::kText, 10},
    {field::kProf, FieldKind::kText, 10},     {field::kAula, FieldKind::kText, 10},
    {field::kDia, FieldKind::kText, 2},       {field::kHora, FieldKind::kReal, 0},
    {field::kSesiones, FieldKind::kReal, 0}};
constexpr ExchangeTable kAwkwardSoluc{kSolucName, kAwkwardSolucFields};

TEST(ReferenceScans, AwkwardTables) {
  TempDir dir;
  bench::GenerateSchool(dir.Path(), 0.1, 11);
  const fs::path zwork = dir.Path() / "zwork";
  const std::vector<Record> subjects = ReadRecords(zwork, kAsignomt);
  const std::vector<Record> groups = ReadRecords(zwork, kGrupost);
  AddDuplicates(zwork, kAsignomt, field::kCod, u"ZA");
  AddDuplicates(zwork, kGrupost, field::kAbrev, u"ZG");
  AddDuplicates(zwork, kProft, field::kAbrev, u"ZP");
  AddDuplicates(zwork, kAulat, field::kAbrev, u"ZR");

  // Talvenor's rows, then the awkward ones. Hours are read as reals here, and
  // the day as text ("01" is day 1 but is written as 01).
  std::vector<Record> solution;
  {
    const Table soluc = Table::Open(zwork, kSolucName, u'.');
    for (std::size_t r = 0; r < soluc.RecordCount(); ++r) {
      Record row;
      for (const FieldDef& def : kAwkwardSolucFields) {
        row[def.name] = soluc.Text(r, soluc.FieldIndex(def.name));
      }
      row[field::kSesiones] = row[field::kSesiones] == u"0.5000" ? u"0.5" : u"1";
      solution.push_back(std::move(row));
    }
  }
  const auto row = [](std::u16string group, std::u16string subject, std::u16string teacher,
                      std::u16string room, std::u16string day, std::u16string hour,
                      std::u16string sessions) {
    return Record{{field::kCodGrupo, group},   {field::kAsig, subject}, {field::kProf, teacher},
                  {field::kAula, room},        {field::kDia, day},      {field::kHora, hour},
                  {field::kSesiones, sessions}};
  };
  const std::u16string firstGroup = groups[0].at(field::kAbrev);
  std::u16string lowerGroup = firstGroup;
  for (char16_t& c : lowerGroup) c = (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
  solution.insert(solution.begin() + 3,
                  {row(u"ZGVACIO", u"ZAVACIO", u"ZPVACIO", u"ZRVACIO", u"1", u"2", u"1"),
                   row(lowerGroup, subjects[2].at(field::kIdSaga), u"", u"", u"01", u"2.5", u"1"),
                   row(u"ZGDUP", u"ZADUP", u"ZPDUP", u"ZRDUP", u"0", u"3", u"1"),
                   row(firstGroup, u"ZADUP", u"", u"XX", u"2", u"4", u"0.5"),
                   row(firstGroup, subjects[0].at(field::kCod), u"", u"", u"3", u"1", u"0.5"),
                   row(firstGroup, subjects[2].at(field::kCod), u"", u"", u"4", u"8", u"1")});
  WriteRecords(zwork, kAwkwardSoluc, solution);

  const auto frame = [](std::u16string day, std::u16string name, std::u16string hour,
                        std::u16string from, std::u16string to) {
    return Record{{field::kDia, day},
                  {field::kTextoDia, name},
                  {field::kHora, hour},
                  {field::kHoraDesde, from},
                  {field::kHoraHasta, to}};
  };
  WriteRecords(
      zwork, kDiashorast,
      {frame(u"2", u"Martes", u"2", u"8:55", u"9:50"),
       frame(u"2", u"Martes", u"1", u"8:00", u"8:55"), frame(u"1", u"LUNES", u"3", u"9:50", u"930"),
       frame(u"1", u"Lunes", u"1", u"8:00", u"8"), frame(u"1", u"Lunes", u"3", u"9:50", u"10:45"),
       frame(u"1", u"Lunes", u"01", u"8:00", u"8:55"),
       frame(u"1", u"Lunes", u"41", u"8:00", u"8:55"),
       frame(u"1", u"Lunes", u"0", u"8:00", u"8:55"),
       frame(u"1", u"Lunes", u"1.0", u"8:00", u"8:55"),
       frame(u"01", u"Lunes", u"2", u"8:55", u"9:50"),
       frame(u"8", u"Octavo", u"1", u"8:00", u"8:55"), frame(u"6", u"Sábado", u"41", u"8:00", u""),
       frame(u"4", u"Jueves", u"40", u"20:00", u"09:30"),
       frame(u"4", u"Jueves", u"2", u"8:55", u"")});

  ExpectSameAsReference(dir.Path() / "saga.xml", zwork, dir.Path(), u',');
  const std::string imported = ReadFile(dir.Path() / "import" / "saga.xml");
  EXPECT_EQ(Occurrences(imported, "interval=\"i2,5\""), 1u);  // the awkward rows were read
  EXPECT_FALSE(ExpectCheckForesees(dir.Path() / "saga.xml", zwork, dir.Path(), u','));

  // A lesson whose subject has no activity stops the import, and the check
  // says so.
  solution.push_back(row(firstGroup, u"NADIE", u"", u"", u"1", u"1", u"1"));
  WriteRecords(zwork, kAwkwardSoluc, solution);
  EXPECT_TRUE(
      ExpectCheckForesees(dir.Path() / "saga.xml", zwork, dir.Path() / "sin-actividad", u','));
}

}  // namespace
}  // namespace brivasto
