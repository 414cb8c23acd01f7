// Runs and other programs on one exchange directory. While another program
// holds a table a run needs (a flock, as Talvenor's database engine holds an
// open table, or a record lock, as a Windows program under Wine does), the
// run stops with the table's name in its message and no file changes. Runs
// never interleave: one started while another holds the exchange directory
// stops at once and changes nothing, and the held run ends as if alone. The
// held runs pause at a seam (between the export's staging and its commit,
// after the import has opened its tables), so every case is exact.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "app/cli.h"
#include "app/run.h"
#include "tests/support/one_file_prompter.h"
#include "tests/support/sample_school.h"
#include "tests/support/snapshot.h"
#include "testsupport/held_elsewhere.h"
#include "testsupport/test_support.h"

namespace brivasto {
namespace {

namespace fs = std::filesystem;
using testing::HeldElsewhere;
using testing::LockKind;
using testing::LockName;
using testing::OneFilePrompter;
using testing::PrepareSampleSchool;
using testing::Snapshot;
using testing::SourceDir;
using testing::TakeSnapshot;
using testing::TempDir;

std::pair<int, std::string> Cli(const std::vector<std::string>& arguments) {
  std::ostringstream out;
  std::ostringstream err;
  const int code = RunFromCommandLine(arguments, out, err);
  return {code, err.str()};
}

// The prepared exchange folder, and another document whose export changes
// every table.
struct Exchange {
  TempDir temp;
  fs::path root = temp.Path();
  fs::path zwork = root / "zwork";
  fs::path document = root / "saga/saga.xml";
  fs::path changed = root / "saga/otro.xml";

  Exchange() {
    PrepareSampleSchool(root);
    fs::copy_file(SourceDir() / "saga/testdata/example.xml", changed);
  }
};

constexpr LockKind kLockKinds[] = {LockKind::kFlock, LockKind::kRecordRead, LockKind::kRecordWrite,
                                   LockKind::kOfdWrite};

TEST(HeldTables, EachTableARunNeedsStopsItNamingTheTableAndNothingChanges) {
  struct HeldCase {
    const char* direction;
    const char* table;
  };
  const HeldCase cases[] = {
      {"export", "ASIGNOMT"},   {"export", "PROFT"}, {"export", "AULAT"},
      {"export", "GRUPOST"},    {"export", "ASIGT"}, {"export", "DIASHORAST"},
      {"import", "DIASHORAST"}, {"import", "SOLUC"}, {"import", "GRUPOST"},
      {"import", "PROFT"},      {"import", "AULAT"}, {"import", "ASIGNOMT"},
  };
  // The export runs on a changed document, so that it would change every table.
  const Exchange exchange;
  const fs::path& root = exchange.root;
  const fs::path& changed = exchange.changed;
  for (const HeldCase& c : cases) {
    SCOPED_TRACE(std::string(c.direction) + " while " + c.table + " is held");
    const Snapshot before = TakeSnapshot(root);
    const fs::path document =
        std::string(c.direction) == "export" ? changed : root / "saga/saga.xml";
    for (const LockKind kind : kLockKinds) {
      SCOPED_TRACE(LockName(kind));
      std::pair<int, std::string> result;
      {
        const HeldElsewhere hold(root / "zwork" / (std::string(c.table) + ".DBF"), kind);
        ASSERT_TRUE(hold.Held());
        result = Cli({"--zwork", (root / "zwork").string(), c.direction, document.string()});
      }
      EXPECT_EQ(result.first, 1) << result.second;
      EXPECT_NE(
          result.second.find(std::string("La tabla ") + c.table + " está en uso por otro programa"),
          std::string::npos)
          << result.second;
      EXPECT_EQ(testing::Differences(before, TakeSnapshot(root)), "");
    }
  }
  // Once nobody holds them, both runs go through.
  EXPECT_EQ(Cli({"--zwork", (root / "zwork").string(), "import", (root / "saga/saga.xml").string()})
                .first,
            0);
  const auto exported = Cli({"--zwork", (root / "zwork").string(), "export", changed.string()});
  EXPECT_EQ(exported.first, 0) << exported.second;
}

// The exchange tables of a folder, by name (not the export history, whose
// entries are named by the time of each run).
Snapshot Tables(const fs::path& zwork) {
  Snapshot tables = TakeSnapshot(zwork);
  std::erase_if(tables, [](const auto& file) {
    return file.first.starts_with(".") || file.first.starts_with("historial/");
  });
  return tables;
}

// A run through the frame, as the window makes it, that calls `seam` between
// the export's staging and its commit, or after the import has opened its
// tables. Gives the message of the error that ended it ("" for none).
std::string RunWithSeam(Direction direction, const fs::path& zwork, const fs::path& document,
                        const std::function<void()>& seam) {
  TransferSteps steps;
  steps.exportSteps = [&](const SagaDocument& saga, const RunContext& context) {
    CatalogueCodes codes;
    TableSet staged = StageExport(saga, context, &codes);
    seam();
    CommitExchangeSet(staged);
    return codes;
  };
  steps.importTimetable = [&](const SagaDocument& saga, const fs::path& file,
                              const RunContext& context) {
    ImportTables tables = OpenImportTables(context);
    seam();
    return ImportTimetableWith(saga, file, std::move(tables));
  };
  OneFilePrompter prompter(document);
  RunFrame frame(prompter, RunContext{zwork, u'.'}, 0, steps);
  return testing::ErrorOf([&] { frame.Run(direction); });
}

// The tables of an export of `document` over the prepared exchange folder,
// run alone.
Snapshot UndisturbedExport(const fs::path& document) {
  const Exchange exchange;
  const auto [code, message] =
      Cli({"--zwork", exchange.zwork.string(), "export", document.string()});
  EXPECT_EQ(code, 0) << message;
  return Tables(exchange.zwork);
}

// A table that another program takes while the export runs: its flock and
// write locks cannot come while the export holds the old tables, and the
// export completes; a read lock can, and the export stops before its commit
// with all six old tables.
TEST(HeldTables, ATableTakenDuringTheExportLeavesTheOldSetOrNone) {
  const Exchange exchange;
  const fs::path& root = exchange.root;
  const fs::path& zwork = exchange.zwork;
  const fs::path& changed = exchange.changed;
  const Snapshot alone = UndisturbedExport(changed);
  const Snapshot before = TakeSnapshot(root);
  for (const std::string_view table : kExchangeSet) {
    for (const LockKind kind : kLockKinds) {
      SCOPED_TRACE(std::string(table) + ", " + LockName(kind));
      testing::Restore(root, before);
      std::optional<HeldElsewhere> other;
      const std::string error = RunWithSeam(Direction::kExport, zwork, changed, [&] {
        other.emplace(zwork / (std::string(table) + ".DBF"), kind);
      });
      const bool gotIn = kind == LockKind::kRecordRead;
      EXPECT_EQ(other->Held(), gotIn);
      if (gotIn) {
        EXPECT_EQ(error, "La tabla " + std::string(table) + " está en uso por otro programa: " +
                             (zwork / (std::string(table) + ".DBF")).string() +
                             ". No se ha cambiado ninguna tabla de intercambio.");
        EXPECT_EQ(testing::Differences(before, TakeSnapshot(root)), "");
      } else {
        EXPECT_EQ(error, "");
        EXPECT_EQ(Tables(zwork), alone);
      }
    }
  }
}

const std::string kBusy = "Otra transferencia está usando el directorio de intercambio ";

// A second export, an import and a check started while an export holds the
// exchange directory stop at once and change nothing; the held export ends
// with exactly the tables it makes alone.
TEST(RunLock, RunsStartedWhileAnExportIsUnderWayStopAndChangeNothing) {
  const Exchange exchange;
  const fs::path& root = exchange.root;
  const fs::path& zwork = exchange.zwork;
  const fs::path& changed = exchange.changed;
  const Snapshot alone = UndisturbedExport(changed);

  const std::string error = RunWithSeam(Direction::kExport, zwork, changed, [&] {
    for (const auto& [command, document] :
         {std::pair{"export", root / "saga/saga.xml"}, std::pair{"import", root / "saga/saga.xml"},
          std::pair{"check", changed}}) {
      SCOPED_TRACE(command);
      const Snapshot now = TakeSnapshot(root);
      const auto [code, message] = Cli({"--zwork", zwork.string(), command, document.string()});
      EXPECT_EQ(code, 1);
      EXPECT_EQ(message, kBusy + zwork.string() +
                             "; no se ha cambiado nada. Espere a que termine y vuelva a "
                             "intentarlo.\n");
      EXPECT_EQ(testing::Differences(now, TakeSnapshot(root)), "");
    }
  });
  EXPECT_EQ(error, "");
  EXPECT_EQ(Tables(zwork), alone);
}

// An import reads one set: an export of another document tried while the
// import has its tables stops (through the command line at the run lock,
// and even past it at the tables the import holds), and the import writes
// exactly the section it writes alone.
TEST(RunLock, AnImportReadsOneSetWhileAnExportTriesToReplaceIt) {
  const Exchange alone;
  ASSERT_EQ(Cli({"--zwork", alone.zwork.string(), "import", alone.document.string()}).first, 0);

  const Exchange exchange;
  const fs::path& root = exchange.root;
  const fs::path& zwork = exchange.zwork;
  const fs::path& changed = exchange.changed;
  const Snapshot tablesBefore = Tables(zwork);

  const std::string error = RunWithSeam(Direction::kImport, zwork, root / "saga/saga.xml", [&] {
    const auto [code, message] = Cli({"--zwork", zwork.string(), "export", changed.string()});
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(message.starts_with(kBusy)) << message;
    EXPECT_EQ(
        testing::ErrorOf([&] {
          RunExportSteps(SagaDocument::Load(changed), RunContext{zwork, u'.'});
        }),
        "La tabla ASIGNOMT está en uso por otro programa: " + (zwork / "ASIGNOMT.DBF").string() +
            ". No se ha cambiado ninguna tabla de intercambio.");
    EXPECT_EQ(Tables(zwork), tablesBefore);
  });
  EXPECT_EQ(error, "");
  EXPECT_EQ(Tables(zwork), tablesBefore);
  EXPECT_EQ(testing::ReadFile(root / "saga/saga.xml"), testing::ReadFile(alone.document));
}

}  // namespace
}  // namespace brivasto
