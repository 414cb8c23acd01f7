// The export history through the command line: every export kept, a
// timetable made from an older export stopped before it is imported, and
// restoring that export so that the timetable imports as it was made.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>
#include <vector>

#include "app/test_support.h"
#include "bench/bench.h"
#include "import/import.h"
#include "tables/tables.h"

namespace brivasto {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::SourceDir;
using testing::TempDir;
using testing::WriteFile;

using testing::CliResult;

CliResult Cli(const fs::path& zwork, std::vector<std::string> words) {
  std::vector<std::string> arguments = {"--zwork", zwork.string()};
  arguments.insert(arguments.end(), words.begin(), words.end());
  return testing::RunCli(arguments);
}

// The document with a new teacher, named as the first one, listed before
// every other: the namesakes after it get other codes.
std::string WithNamesakeFirst(std::string xml) {
  const std::size_t first = xml.find("<teacher id=\"");
  const std::size_t nameStart = xml.find('>', first) + 1;
  const std::size_t nameEnd = xml.find("</teacher>", nameStart);
  const std::string name = xml.substr(nameStart, nameEnd - nameStart);
  xml.insert(first, "<teacher id=\"homonimo-nuevo\">" + name + "</teacher>\n    ");
  return xml;
}

// The document with the name of its first room of several words changed
// in its second letter: the room keeps its code.
std::string WithRoomRenamed(std::string xml) {
  std::size_t at = xml.find("<location id=\"");
  for (;;) {
    const std::size_t nameStart = xml.find('>', at) + 1;
    const std::size_t nameEnd = xml.find("</location>", nameStart);
    if (xml.substr(nameStart, nameEnd - nameStart).find(' ') != std::string::npos) {
      xml[nameStart + 1] = xml[nameStart + 1] == 'x' ? 'y' : 'x';
      return xml;
    }
    at = xml.find("<location id=\"", nameEnd);
  }
}

// A generated school whose exchange directory holds the export of its
// document (kept in the history) and Talvenor's frame and solution for it.
struct School {
  TempDir temp;
  fs::path zwork = temp / "zwork";
  fs::path document = temp / "saga.xml";

  explicit School(double scale) {
    bench::GenerateSchool(temp.Path(), scale, 7);
    Export(document);
    bench::WriteDayHourFrame(zwork);  // Talvenor fills the frame again
  }

  void Export(const fs::path& file) const {
    const CliResult exported = Cli(zwork, {"export", file.string()});
    ASSERT_EQ(exported.code, 0) << exported.err;
  }
  // Exports a copy of the document changed by `edit`.
  void ExportEdited(std::string (*edit)(std::string), const std::string& name) const {
    WriteFile(temp / name, edit(ReadFile(document)));
    Export(temp / name);
  }
  // Imports into a fresh copy of the document; the copy's path.
  fs::path Import(const std::string& name, CliResult& result) const {
    fs::copy_file(document, temp / name);
    result = Cli(zwork, {"import", (temp / name).string()});
    return temp / name;
  }
};

TEST(ExportHistory, TimetableOfAnOlderExportStopsUntilThatExportIsRestored) {
  School school(0.2);
  CliResult undisturbed;
  const fs::path undisturbedFile = school.Import("undisturbed.xml", undisturbed);
  ASSERT_EQ(undisturbed.code, 0) << undisturbed.err;
  const KeptExport first = KeptExports(school.zwork).front();

  school.ExportEdited(WithNamesakeFirst, "edited.xml");
  CliResult stale;
  const fs::path staleFile = school.Import("stale.xml", stale);
  EXPECT_EQ(stale.code, 1);
  EXPECT_EQ(ReadFile(staleFile), ReadFile(school.document)) << "the document changed";
  EXPECT_FALSE(fs::exists(staleFile.string() + ".bak"));
  EXPECT_NE(stale.err.find("se hizo con la exportación del " + first.date), std::string::npos)
      << stale.err;
  EXPECT_NE(stale.err.find("PROFT "), std::string::npos) << stale.err;
  EXPECT_NE(stale.err.find("restaurar " + first.name), std::string::npos) << stale.err;

  // The check stops on the same changes and lists every one.
  const TimetableOrigin origin = FindTimetableOrigin({.exchangeDirectory = school.zwork});
  ASSERT_TRUE(origin.Stale());
  ASSERT_TRUE(origin.kept);
  EXPECT_EQ(origin.kept->name, first.name);
  const std::size_t changed = origin.changes.size();
  EXPECT_NE(stale.err.find(std::to_string(changed) + (changed == 1 ? " código " : " códigos ")),
            std::string::npos)
      << stale.err;
  EXPECT_NE(stale.err.find(ChangedCodeText(origin.changes.front())), std::string::npos);
  const CliResult check = Cli(school.zwork, {"check", school.document.string()});
  EXPECT_EQ(check.code, 1);
  EXPECT_NE(check.out.find("se hizo con la exportación del " + first.date), std::string::npos);
  for (const ChangedCode& change : origin.changes) {
    EXPECT_NE(check.out.find("Código que cambió de significado: " + ChangedCodeText(change)),
              std::string::npos)
        << ChangedCodeText(change);
  }

  // Back to the first export's tables, with the frame Talvenor had filled.
  const CliResult restored = Cli(school.zwork, {"restaurar", first.name});
  ASSERT_EQ(restored.code, 0) << restored.err;
  EXPECT_EQ(KeptExports(school.zwork).front().origin, "restauración de " + first.name);
  CliResult again;
  const fs::path againFile = school.Import("again.xml", again);
  ASSERT_EQ(again.code, 0) << again.err;
  EXPECT_EQ(ReadFile(againFile), ReadFile(undisturbedFile));
}

TEST(ExportHistory, AnEditThatKeepsEveryCodeImportsNormally) {
  School school(0.2);
  CliResult undisturbed;
  const fs::path undisturbedFile = school.Import("undisturbed.xml", undisturbed);
  ASSERT_EQ(undisturbed.code, 0) << undisturbed.err;

  school.ExportEdited(WithRoomRenamed, "renamed.xml");
  bench::WriteDayHourFrame(school.zwork);
  CliResult imported;
  const fs::path importedFile = school.Import("imported.xml", imported);
  ASSERT_EQ(imported.code, 0) << imported.err;
  EXPECT_EQ(ReadFile(importedFile), ReadFile(undisturbedFile));
  EXPECT_EQ(Cli(school.zwork, {"check", school.document.string()}).code, 0);
}

// Older exports of other documents in the history never make a timetable
// of the current export stale: generated schools and the sample school.
TEST(ExportHistory, TimetableOfTheCurrentExportNeverStops) {
  for (const double scale : {0.01, 0.2, 1.0}) {
    SCOPED_TRACE("scale " + std::to_string(scale));
    School school(scale);
    school.ExportEdited(WithNamesakeFirst, "edited.xml");
    school.ExportEdited(WithRoomRenamed, "renamed.xml");
    school.Export(school.document);
    // The solution is Talvenor's for the document just exported.
    bench::WriteDayHourFrame(school.zwork);
    EXPECT_FALSE(FindTimetableOrigin({.exchangeDirectory = school.zwork}).Stale());
    CliResult imported;
    school.Import("imported.xml", imported);
    EXPECT_EQ(imported.code, 0) << imported.err;
  }

  TempDir temp;
  const fs::path zwork = temp / "zwork";
  fs::create_directory(zwork);
  const fs::path sample = SourceDir() / "samples/saga-ejemplo.xml";
  WriteFile(temp / "edited.xml", WithNamesakeFirst(ReadFile(sample)));
  ASSERT_EQ(Cli(zwork, {"export", (temp / "edited.xml").string()}).code, 0);
  ASSERT_EQ(Cli(zwork, {"export", sample.string()}).code, 0);
  for (const char* table : {"DIASHORAST.DBF", "SOLUC.DBF"}) {
    fs::copy_file(SourceDir() / "samples/talvenor" / table, zwork / table,
                  fs::copy_options::overwrite_existing);
  }
  fs::copy_file(sample, temp / "saga.xml");
  const CliResult imported = Cli(zwork, {"import", (temp / "saga.xml").string()});
  EXPECT_EQ(imported.code, 0) << imported.err;
}

TEST(ExportHistory, KeepsTheConfiguredNumberOfExportsWithTheTablesTheyWroteAndReplaced) {
  TempDir temp;
  const fs::path zwork = temp / "zwork";
  fs::create_directory(zwork);
  const fs::path document = SourceDir() / "saga/testdata/example.xml";
  ::setenv(std::string(kKeptExportsVariable).c_str(), "3", 1);
  for (int i = 0; i < 5; ++i) ASSERT_EQ(Cli(zwork, {"export", document.string()}).code, 0);
  ::unsetenv(std::string(kKeptExportsVariable).c_str());

  const std::vector<KeptExport> kept = KeptExports(zwork);
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_GT(kept[0].name, kept[1].name);  // newest first, also within one second
  EXPECT_EQ(std::distance(fs::directory_iterator(zwork / kHistoryFolder), fs::directory_iterator()),
            3);
  // Nothing else in the exchange directory but the tables and the folder.
  for (const auto& entry : fs::directory_iterator(zwork)) {
    const std::string name = entry.path().filename().string();
    EXPECT_TRUE(name == kHistoryFolder || entry.path().extension() == ".DBF") << name;
  }
  for (const ExchangeTable* table : kExportedTables) {
    const std::string file = std::string(table->name) + ".DBF";
    EXPECT_EQ(ReadFile(kept[0].writtenTables / file), ReadFile(zwork / file)) << file;
    EXPECT_TRUE(fs::exists(kept[0].replacedTables / file)) << file;
  }
  EXPECT_EQ(kept[0].origin, "exportación");
  EXPECT_EQ(kept[0].document, document.string());
  EXPECT_EQ(kept[0].documentBytes, fs::file_size(document));
  ASSERT_EQ(kept[0].records.size(), 6u);
  EXPECT_EQ(kept[0].records[5].first, "DIASHORAST");
  EXPECT_EQ(kept[0].records[5].second, 0u);

  const CliResult listed = Cli(zwork, {"historial"});
  EXPECT_EQ(listed.code, 0);
  for (const KeptExport& entry : kept) {
    EXPECT_NE(listed.out.find(entry.name + "  " + entry.date), std::string::npos) << listed.out;
  }
  const CliResult unknown = Cli(zwork, {"restaurar", "2001-01-01_00-00-00"});
  EXPECT_EQ(unknown.code, 1);
  EXPECT_NE(unknown.err.find("no tiene la exportación \"2001-01-01_00-00-00\""), std::string::npos)
      << unknown.err;
}

}  // namespace
}  // namespace brivasto
