// import/import.h: Talvenor to SAGA. Reads Talvenor's timetable (SOLUC), the
// day/hour frame (DIASHORAST) and the four catalogue tables, and writes them
// into the SAGA document as one `time-tables` section, the root's last child,
// in place of any earlier one; then saves the document over its file. The
// tables are only read, opened exclusively and closed before the save. The
// file on disk changes only at the save, which is atomic and keeps the
// previous version as NAME.bak. Failures throw TransferError.
#pragma once

#include <filesystem>

#include "saga/saga.h"
#include "tables/tables.h"

namespace brivasto {

// The whole import: builds the section in `document` and saves it to `sagaFile`.
void ImportTimetable(SagaDocument& document, const std::filesystem::path& sagaFile,
                     const RunContext& context);

}  // namespace brivasto
