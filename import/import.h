// import/import.h: Talvenor to SAGA. Reads Talvenor's timetable (SOLUC), the
// day/hour frame (DIASHORAST) and the four catalogue tables, and saves the
// SAGA document over its file with them as one `time-tables` section, the
// root's last child, in place of any earlier one; the rest of the file stays
// byte for byte. The tables are only read, opened exclusively and closed
// before the new file replaces the old one. The file on disk changes only in
// that step, which is atomic and keeps the previous version as NAME.bak.
// Failures throw TransferError.
#pragma once

#include <cstddef>
#include <filesystem>

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

// The whole import: writes the section into `document`'s content and saves
// that to `sagaFile`. `document` must hold its file's bytes (loaded with
// LoadScope::kRootElement or kWholeTree); its tree is not changed.
ImportedCounts ImportTimetable(const SagaDocument& document, const std::filesystem::path& sagaFile,
                               const RunContext& context);

// Where the import keeps the previous version of `file`: its name followed
// by ".bak".
std::filesystem::path BackupPath(const std::filesystem::path& file);

}  // namespace brivasto
