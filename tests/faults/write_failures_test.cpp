// Every file system call through which a run changes files is made to fail
// in turn (the first, the second, ... the last of a whole run), and after
// each failure: the run reports it naming the file; every table holds its
// old content or its new complete content, and the export's six tables are
// all old unless the message says exactly which are new; the SAGA document
// and the other files are as before or completely new; no temporary file is
// left behind.
#include <gtest/gtest.h>
#include <sys/xattr.h>

#include <algorithm>
#include <cctype>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/run.h"
#include "saga/saga.h"
#include "tests/faults/fault_injection.h"
#include "tests/support/sample_school.h"
#include "tests/support/snapshot.h"
#include "testsupport/test_support.h"

namespace brivasto {
namespace {

using testing::ReadFile;
using testing::Restore;
using testing::Snapshot;
using testing::SourceDir;
using testing::TakeSnapshot;
using testing::TempDir;
using testing::WriteFile;

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// "zwork/proft.dbf" -> "zwork/PROFT" (a table and its index in any letter
// case); "" for a file that is not a table or an index.
std::string TableKey(const std::string& relative) {
  const std::filesystem::path path(relative);
  const std::string extension = Upper(path.extension().string());
  if (extension != ".DBF" && extension != ".MDX") return "";
  return (path.parent_path() / Upper(path.stem().string())).string();
}

std::optional<std::string> FileOfTable(const Snapshot& files, const std::string& key,
                                       const std::string& extension) {
  for (const auto& [name, content] : files) {
    if (TableKey(name) == key &&
        Upper(std::filesystem::path(name).extension().string()) == extension) {
      return content;
    }
  }
  return std::nullopt;
}

std::string Describe(const std::optional<std::string>& content) {
  return content ? std::to_string(content->size()) + " bytes" : "absent";
}

// The state after a failed run, against the states before and after a clean run.
void CheckState(const Snapshot& now, const Snapshot& before, const Snapshot& after) {
  // No file that neither state has: no temporary file left behind.
  for (const auto& [name, content] : now) {
    EXPECT_TRUE(before.contains(name) || after.contains(name)) << "left behind: " << name;
  }
  std::set<std::string> tables;
  for (const Snapshot* state : {&before, &after, &now}) {
    for (const auto& [name, content] : *state) {
      if (const std::string key = TableKey(name); !key.empty()) tables.insert(key);
    }
  }
  // Each table: its old content or its new complete content. Its index may
  // stay beside a new table (which does not use it), never go from an old one.
  for (const std::string& key : tables) {
    const auto dbfNow = FileOfTable(now, key, ".DBF");
    const auto dbfBefore = FileOfTable(before, key, ".DBF");
    const auto dbfAfter = FileOfTable(after, key, ".DBF");
    EXPECT_TRUE(dbfNow == dbfBefore || dbfNow == dbfAfter)
        << key << ".DBF is neither old nor new: " << Describe(dbfNow);
    if (dbfNow == dbfBefore && dbfNow != dbfAfter) {
      EXPECT_EQ(FileOfTable(now, key, ".MDX"), FileOfTable(before, key, ".MDX"))
          << "the index of the old table " << key << " changed";
    }
    std::size_t copies = 0;
    for (const auto& [name, content] : now) {
      if (TableKey(name) == key &&
          Upper(std::filesystem::path(name).extension().string()) == ".DBF") {
        ++copies;
      }
    }
    EXPECT_LE(copies, 1u) << key << ".DBF is there in more than one letter case";
  }
  // Every other file: as before or completely new.
  for (const Snapshot* state : {&before, &after}) {
    for (const auto& [name, content] : *state) {
      if (!TableKey(name).empty()) continue;
      const auto nowIt = now.find(name);
      const std::optional<std::string> current =
          nowIt == now.end() ? std::nullopt : std::optional(nowIt->second);
      const auto beforeIt = before.find(name);
      const auto afterIt = after.find(name);
      const std::optional<std::string> old =
          beforeIt == before.end() ? std::nullopt : std::optional(beforeIt->second);
      const std::optional<std::string> fresh =
          afterIt == after.end() ? std::nullopt : std::optional(afterIt->second);
      EXPECT_TRUE(current == old || current == fresh) << name << " is neither old nor new";
    }
  }
}

// The export history of a snapshot made comparable between runs: each entry
// named by its place ("historial/#1" the oldest), the date and time left out
// of its description.
Snapshot Comparable(const Snapshot& files) {
  const std::string history = "zwork/historial/";
  std::set<std::string> entries;
  for (const auto& [name, content] : files) {
    if (name.starts_with(history))
      entries.insert(name.substr(history.size(), name.find('/', history.size()) - history.size()));
  }
  Snapshot comparable;
  for (const auto& [name, content] : files) {
    if (!name.starts_with(history)) {
      comparable[name] = content;
      continue;
    }
    const std::size_t end = name.find('/', history.size());
    const std::string entry = name.substr(history.size(), end - history.size());
    const auto place = std::distance(entries.begin(), entries.find(entry)) + 1;
    std::string text = content;
    if (name.ends_with("/exportacion.txt")) {
      const std::size_t date = text.find("fecha=");
      if (date != std::string::npos) text.erase(date, text.find('\n', date) + 1 - date);
    }
    comparable[history + "#" + std::to_string(place) + name.substr(end)] = text;
  }
  return comparable;
}

// The files of a snapshot in the export history (`inside`), or all the others.
Snapshot HistoryPart(const Snapshot& files, bool inside) {
  Snapshot part;
  for (const auto& [name, content] : files) {
    if (name.starts_with("zwork/historial/") == inside) part[name] = content;
  }
  return part;
}

// "A, B y C" -> {"A", "B", "C"}.
std::vector<std::string> NamesIn(std::string list) {
  std::vector<std::string> names;
  for (const std::string separator : {", ", " y "}) {
    for (std::size_t at = list.find(separator); at != std::string::npos;
         at = list.find(separator)) {
      list.replace(at, separator.size(), ",");
    }
  }
  std::istringstream in(list);
  for (std::string name; std::getline(in, name, ',');) names.push_back(name);
  return names;
}

// The exchange tables replaced as one set: after a failed run the message
// says which of them are new, and it is true. Nothing new at all, and the
// whole folder is as before (the old tables byte for byte, under their own
// names); some new, and they are the first ones of the set's order.
void CheckSet(const Snapshot& now, const Snapshot& before, const Snapshot& after,
              const std::string& message, const std::vector<std::string>& set) {
  std::vector<std::string> fresh;  // tables with the new content only
  std::vector<std::string> old;    // tables with the old content only
  for (const std::string& table : set) {
    const std::string key = "zwork/" + table;
    const auto content = FileOfTable(now, key, ".DBF");
    const auto oldContent = FileOfTable(before, key, ".DBF");
    const auto newContent = FileOfTable(after, key, ".DBF");
    if (oldContent == newContent) continue;  // the same either way (an empty table)
    if (content == newContent) fresh.push_back(table);
    if (content == oldContent) old.push_back(table);
  }
  const std::string halfway = "El cambio de tablas quedó a medias: ya son las nuevas ";
  if (message.find("No se ha cambiado ninguna tabla de intercambio.") != std::string::npos) {
    EXPECT_EQ(testing::Differences(before, now), "") << "says nothing changed";
  } else if (message.find("ya están todas en su sitio") != std::string::npos) {
    EXPECT_TRUE(old.empty()) << "says every new table is in place, old: " << old.front();
  } else if (const std::size_t at = message.find(halfway); at != std::string::npos) {
    const std::size_t freshEnd = message.find("; siguen siendo las anteriores ", at);
    const std::size_t oldEnd = message.find(". Repita", freshEnd);
    ASSERT_NE(oldEnd, std::string::npos);
    const std::size_t oldStart = freshEnd + std::string("; siguen siendo las anteriores ").size();
    const std::vector<std::string> saidFresh =
        NamesIn(message.substr(at + halfway.size(), freshEnd - at - halfway.size()));
    const std::vector<std::string> saidOld = NamesIn(message.substr(oldStart, oldEnd - oldStart));
    for (const std::string& table : fresh) {
      EXPECT_NE(std::find(saidFresh.begin(), saidFresh.end(), table), saidFresh.end())
          << table << " is new, but the message does not say so";
    }
    for (const std::string& table : old) {
      EXPECT_NE(std::find(saidOld.begin(), saidOld.end(), table), saidOld.end())
          << table << " is old, but the message does not say so";
    }
    // The first tables of the set are the new ones, the rest the old ones.
    std::vector<std::string> order = saidFresh;
    order.insert(order.end(), saidOld.begin(), saidOld.end());
    EXPECT_EQ(order, set);
  } else {
    ADD_FAILURE() << "the message does not say which tables are new";
  }
}

// One whole run that changes files, in a folder laid out by `prepare`.
struct Scenario {
  const char* label;
  std::function<void(const std::filesystem::path& root)> prepare;
  // Runs; returns the exit code and the message (the CLI's stderr, then its
  // standard output, where the summary gives the warnings).
  std::function<std::pair<int, std::string>(const std::filesystem::path& root)> run;
  // The names a failure message may be about (tables, files), for the file
  // the failing call touched.
  std::vector<std::string> names;
  // Calls the file system does not offer: they always fail (see faults::Arm).
  std::set<std::string> unsupported = {};
  // Tables of zwork/ that the run replaces as one set, in the set's order.
  std::vector<std::string> set = {};
};

std::pair<int, std::string> Cli(std::vector<std::string> arguments) {
  std::ostringstream out;
  std::ostringstream err;
  const int code = RunFromCommandLine(arguments, out, err);
  return {code, err.str() + out.str()};
}

// The exchange folder of a school that has already exported once (from the
// small test document) and been through Talvenor: a table in another letter
// case, an index file, Talvenor's own SOLUC.
void PrepareExchange(const std::filesystem::path& root) {
  std::filesystem::create_directories(root / "zwork");
  std::filesystem::create_directories(root / "saga");
  std::filesystem::copy_file(SourceDir() / "saga/testdata/example.xml", root / "old.xml");
  ASSERT_EQ(
      Cli({"--zwork", (root / "zwork").string(), "export", (root / "old.xml").string()}).first, 0);
  std::filesystem::remove(root / "old.xml");
  std::filesystem::rename(root / "zwork/PROFT.DBF", root / "zwork/proft.dbf");
  WriteFile(root / "zwork/ASIGNOMT.MDX", "an index Talvenor made");
  std::filesystem::copy_file(SourceDir() / "tables/testdata/dbase3.dbf", root / "zwork/SOLUC.DBF");
}

// The sample school exported and through Talvenor, with an older backup of
// its document.
void PrepareSampleImport(const std::filesystem::path& root) {
  testing::PrepareSampleSchool(root);
  WriteFile(root / "saga/saga.xml.bak", "an older backup");
}

std::pair<int, std::string> RunImport(const std::filesystem::path& root) {
  return Cli({"--zwork", (root / "zwork").string(), "import", (root / "saga/saga.xml").string()});
}

// The exchange folder of PrepareExchange and the sample school's document.
void PrepareSampleExport(const std::filesystem::path& root) {
  PrepareExchange(root);
  std::filesystem::copy_file(SourceDir() / "samples/saga-ejemplo.xml", root / "saga/saga.xml");
}

std::pair<int, std::string> RunExport(const std::filesystem::path& root) {
  return Cli({"--zwork", (root / "zwork").string(), "export", (root / "saga/saga.xml").string()});
}

const std::vector<std::string> kExportNames = {"ASIGNOMT", "PROFT", "AULAT",
                                               "GRUPOST",  "ASIGT", "DIASHORAST"};

std::vector<Scenario> Scenarios() {
  return {
      {"export of the sample school through the command line", PrepareSampleExport, RunExport,
       kExportNames},
      {"the same export where the file system has no hard links",
       PrepareSampleExport,
       RunExport,
       kExportNames,
       {"link"}},
      {"restoring the first kept export",
       [](const std::filesystem::path& root) {
         PrepareSampleExport(root);
         ASSERT_EQ(RunExport(root).first, 0);
       },
       [](const std::filesystem::path& root) {
         const std::vector<KeptExport> kept = KeptExports(root / "zwork");
         return Cli({"--zwork", (root / "zwork").string(), "restaurar", kept.back().name});
       },
       kExportNames,
       {},
       kExportNames},
      {"import of the sample solution through the command line",
       PrepareSampleImport,
       RunImport,
       {"saga.xml"}},
      {"the same import of a document with an extended attribute",
       PrepareSampleImport,
       [](const std::filesystem::path& root) {
         // Given before each run (a restored folder has plain files): the
         // save copies it onto the new file, a call that may fail too.
         const std::string origin = "SAGA";
         ::setxattr((root / "saga/saga.xml").c_str(), "user.origin", origin.data(), origin.size(),
                    0);
         return RunImport(root);
       },
       {"saga.xml"}},
      {"the same import where the file system has no hard links",
       PrepareSampleImport,
       RunImport,
       {"saga.xml"},
       {"link"}},
      {"saving a SAGA document through its whole tree (an encoding the byte copy does not "
       "follow)",
       [](const std::filesystem::path& root) {
         std::filesystem::create_directories(root / "saga");
         WriteFile(root / "saga/saga.xml",
                   "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?>\n<document>\n"
                   "  <time-tables/>\n  <teachers/>\n</document>\n");
       },
       [](const std::filesystem::path& root) -> std::pair<int, std::string> {
         const std::filesystem::path file = root / "saga/saga.xml";
         try {
           SaveWithNewRootSection(SagaDocument::Load(file, LoadScope::kRootElement), file,
                                  "time-tables",
                                  [](XmlSectionWriter& out) {
                                    out.Open("time-tables");
                                    out.Open("day");
                                    out.Attribute("name", u"lunes");
                                    out.Close();
                                    out.Close();
                                  },
                                  {});
           return {0, ""};
         } catch (const TransferError& error) {
           return {1, error.what()};
         }
       },
       {"saga.xml"}},
      {"the status file after a batch run",
       [](const std::filesystem::path& root) {
         std::filesystem::create_directories(root / "program");
         WriteFile(root / "program/Talvenor.ini",
                   "[Talvenor]\r\nCentro=IES\r\n[Transformadores]\r\nTransformado=0\r\n");
       },
       [](const std::filesystem::path& root) -> std::pair<int, std::string> {
         try {
           WriteTransferStatus(StatusFilePath(root / "program"), 1);
           return {0, ""};
         } catch (const TransferError& error) {
           return {1, error.what()};
         }
       },
       {"Talvenor.ini"}},
  };
}

bool ContainsIgnoringCase(const std::string& text, const std::string& part) {
  return Upper(text).find(Upper(part)) != std::string::npos;
}

TEST(WriteFailures, EveryFailingCallOfAWholeRunLeavesOldOrNewContentAndNamesTheFile) {
  for (const Scenario& scenario : Scenarios()) {
    SCOPED_TRACE(scenario.label);
    TempDir temp;
    const std::filesystem::path root = temp.Path();
    scenario.prepare(root);
    if (::testing::Test::HasFatalFailure()) return;
    const Snapshot saved = TakeSnapshot(root);
    const Snapshot before = Comparable(saved);

    // A clean run gives the new state and the number of calls.
    faults::Arm(0, scenario.unsupported);
    const auto [cleanCode, cleanMessage] = scenario.run(root);
    const std::size_t calls = faults::Disarm();
    ASSERT_EQ(cleanCode, 0) << cleanMessage;
    const Snapshot after = Comparable(TakeSnapshot(root));
    ASSERT_NE(before, after);
    ASSERT_GT(calls, 0u);

    std::set<std::string> kinds;
    for (std::size_t n = 1; n <= calls; ++n) {
      Restore(root, saved);
      faults::Arm(n, scenario.unsupported);
      const auto [code, message] = scenario.run(root);
      faults::Disarm();
      const std::optional<faults::InjectedFailure> failure = faults::Injected();
      ASSERT_TRUE(failure) << "call " << n << " of " << calls << " never came";
      kinds.insert(failure->call);
      SCOPED_TRACE("call " + std::to_string(n) + " of " + std::to_string(calls) + ": " +
                   failure->call + " on " + failure->path + " fails; message: " + message);
      const Snapshot now = Comparable(TakeSnapshot(root));
      if (code == 0) {
        // A failure the run may pass over; then its work must be complete,
        // but for the export history, which may lack this run's entry (and
        // then has nothing of it) when a warning says so.
        EXPECT_EQ(HistoryPart(now, false), HistoryPart(after, false))
            << "a run that reports success left other content";
        if (HistoryPart(now, true) != HistoryPart(after, true)) {
          EXPECT_EQ(HistoryPart(now, true), HistoryPart(before, true))
              << "the history holds part of an entry";
          EXPECT_NE(message.find("historial"), std::string::npos) << "no warning: " << message;
        }
        continue;
      }
      EXPECT_EQ(code, 1);
      CheckState(now, before, after);
      if (!scenario.set.empty()) CheckSet(now, before, after, message, scenario.set);
      // The message names the file: the table or file the failing call was
      // about, or, for a folder, the folder itself.
      const std::string victim = std::filesystem::path(failure->path).filename().string();
      const auto named =
          std::find_if(scenario.names.begin(), scenario.names.end(),
                       [&](const std::string& name) { return ContainsIgnoringCase(victim, name); });
      if (named != scenario.names.end()) {
        EXPECT_TRUE(ContainsIgnoringCase(message, *named)) << "does not name " << *named;
      } else {
        EXPECT_TRUE(ContainsIgnoringCase(message, failure->path))
            << "does not name " << failure->path;
      }
    }
    std::string covered;
    for (const std::string& kind : kinds) covered += " " + kind;
    std::cout << "[          ] " << scenario.label << ": " << calls
              << " calls failed in turn:" << covered << '\n';
  }
}

}  // namespace
}  // namespace brivasto
