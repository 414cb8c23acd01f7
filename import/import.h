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
#include <optional>

#include "saga/saga.h"
#include "tables/tables.h"

namespace brivasto {

// What an import wrote: the entries of each list of the section.
struct ImportedCounts {
  std::size_t days = 0;
  std::size_t intervals = 0;
  std::size_t groups = 0;
  std::size_t members = 0;
  std::size_t activities = 0;
  std::size_t inputs = 0;
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

}  // namespace brivasto
