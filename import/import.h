// import/import.h: Talvenor to SAGA. Reads Talvenor's timetable (SOLUC), the
// day/hour frame (DIASHORAST) and the four catalogue tables, and saves the
// SAGA document over its file with them as one `time-tables` section, the
// root's last child, in place of any earlier one; the rest of the file stays
// byte for byte. The tables are only read: all six are opened and held
// exclusively before any is read, so the import reads one set, and closed
// before the new file replaces the old one. The file on disk changes only in
// that step, which is atomic and keeps the previous version as NAME.bak.
// Failures throw TransferError.
#pragma once

#include <cstddef>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "saga/saga.h"
#include "tables/tables.h"

namespace brivasto {

struct SolutionFindings;

// What an import wrote: the entries of each list of the section.
struct ImportedCounts {
  std::size_t days = 0;
  std::size_t intervals = 0;
  std::size_t groups = 0;
  std::size_t members = 0;
  std::size_t activities = 0;
  std::size_t inputs = 0;
  // The date of the kept export the timetable was made from ("" when the
  // history does not know it).
  std::string timetableExport;
  // What its pass over SOLUC found that the summary's check reports (see
  // CheckImportSide); null when the import did not say.
  std::shared_ptr<const SolutionFindings> findings;
};

// The six tables the import reads, opened and held together before any step
// reads one, so that the import reads one set: while they are held, an
// export can replace none of them. Closed in the order SOLUC, GRUPOST,
// PROFT, AULAT, ASIGNOMT, DIASHORAST.
struct ImportTables {
  std::optional<Table> diashorast;
  std::optional<Table> soluc;
  std::optional<Table> grupost;
  std::optional<Table> proft;
  std::optional<Table> asignomt;
  std::optional<Table> aulat;
  char16_t decimalSeparator = u'.';

  ImportTables() = default;
  ImportTables(ImportTables&&) noexcept = default;
  ImportTables& operator=(ImportTables&&) noexcept = default;
  ~ImportTables();
};

// Opens DIASHORAST, GRUPOST, SOLUC, PROFT, ASIGNOMT and AULAT of `context`'s
// exchange directory, in that order; throws TransferError for a table that
// is missing, held by another program or corrupt.
ImportTables OpenImportTables(const RunContext& context);

// The whole import: OpenImportTables, then ImportTimetableWith.
ImportedCounts ImportTimetable(const SagaDocument& document, const std::filesystem::path& sagaFile,
                               const RunContext& context);

// Writes the section from `tables` into `document`'s content and saves that
// to `sagaFile`; the tables are closed before the save. `document` must hold
// its file's bytes (loaded with LoadScope::kRootElement or kWholeTree); its
// tree is not changed. A document that is not SAGA's, or a file that cannot
// be saved, is refused before anything is written.
ImportedCounts ImportTimetableWith(const SagaDocument& document,
                                   const std::filesystem::path& sagaFile, ImportTables tables);

// Where the import keeps the previous version of `file`: its name followed
// by ".bak".
std::filesystem::path BackupPath(const std::filesystem::path& file);

// ---------------------------------------------------------------------------
// Which export a timetable was made from.
//
// Talvenor's codes mean what the catalogues of one export say. The candidates
// are the tables in place now and the tables each kept export wrote (newest
// first). Each SOLUC row gives a candidate one point for each of its codes
// (CODGRUPO, PROF, ASIG, AULA; empty ones left out) that the candidate's
// catalogue holds, and one more when the candidate's ASIGT holds the row's
// group, subject and teacher together. The timetable came from the candidate
// with most points; on equal points, the one named first above (the tables
// in place before any kept export, newer kept exports before older ones).

// A code SOLUC uses that names another record now than in the export the
// timetable came from.
struct ChangedCode {
  std::string_view table;  // "PROFT"
  std::u16string code;
  std::u16string then;                // the IDSAGA in that export
  std::optional<std::u16string> now;  // the IDSAGA now; nullopt: no record has the code
};

struct TimetableOrigin {
  // The kept export whose tables the timetable was made from, when the
  // history knows it (for the current tables, the kept export that wrote them).
  std::optional<KeptExport> kept;
  bool current = true;               // false: made from an earlier set of tables
  std::vector<ChangedCode> changes;  // in the order SOLUC first uses them
  // A stale timetable: made from another export, with codes that changed meaning.
  bool Stale() const { return !current && !changes.empty(); }
};

// Reads SOLUC, the catalogues and ASIGT in place and of every kept export;
// call it before the import holds the tables (kept exports may be the same
// files). Tables that cannot be read leave that candidate out; without SOLUC
// or the current tables the answer is "current" (the import then says what
// is missing). Kept exports with the fingerprint of the tables in place count
// as those tables, unread; the others are read only when the tables in place
// leave some row's point unexplained.
TimetableOrigin FindTimetableOrigin(const RunContext& context);

// One change as the messages give it: PROFT JG1: "t12" → "t99".
std::string ChangedCodeText(const ChangedCode& change);
// Why a stale timetable cannot be imported and what to do, naming the
// export, the number of changed codes and the first `listed` of them (0: none,
// the caller lists them).
std::string StaleTimetableText(const TimetableOrigin& origin, std::size_t listed);

}  // namespace brivasto
