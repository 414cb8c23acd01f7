// check/check.h: the check before a run (`brivasto-cli check`) and the
// summary after one. The check reads a SAGA document and, when Talvenor has
// left its timetable there, the exchange tables; it writes nothing. It tells
// apart what would stop a run from what a run carries over but the user may
// want to look at. Every text is Spanish, UTF-8, and names the element,
// table, record or code it is about.
#pragma once

#include <string>
#include <vector>

#include "export/export.h"
#include "import/import.h"
#include "import/lookups.h"
#include "saga/saga.h"
#include "tables/tables.h"

namespace brivasto {

struct CheckReport {
  // What would stop the run; in CheckBeforeRun, what would stop the export.
  std::vector<std::string> stops;
  std::vector<std::string> importStops;  // what would stop the import (CheckBeforeRun)
  std::vector<std::string> warnings;     // what the run carries, perhaps not as meant
  bool timetable = false;                // Talvenor's timetable is there (CheckBeforeRun)
  // Nothing stops the export, nor the import when there is a timetable.
  bool Passes() const { return stops.empty() && (!timetable || importStops.empty()); }
};

// The export side, from the document alone: the elements the export refuses
// (stops); identifiers that occur twice in one catalogue; assigned subjects
// and teachers whose id matches no catalogue entry; assigned subjects
// without a teacher; codes that de-duplication changed (name, derived code,
// final code); names, descriptions and ids that their fields will cut; hours
// that are not a number; characters Windows 1252 cannot hold.
// Each kind of warning lists its first occurrences and counts the others.
// `lookForStops` false leaves out the stops (after an export, which has just
// found none). `given`: the codes an export gave these sections
// (RunExportSteps), so that they are not worked out again; ignored when null
// or when its counts are not those of the sections.
CheckReport CheckExportSide(const SagaDocument& document, bool lookForStops = true,
                            const CatalogueCodes* given = nullptr);

// Whether the exchange directory holds Talvenor's timetable (SOLUC).
bool HasTimetable(const RunContext& context);

// The import side, from the exchange tables: a timetable made from an
// earlier export whose codes now name other records (a stop, then one stop
// per changed code, all of them); SOLUC codes that have no
// catalogue record; lessons left on day 0; lessons whose subject has no
// activity, and fields that are missing or hold no number (stops); lessons
// whose day or hour the day/hour frame lacks; for each group and subject,
// the hours ASIGT sent against the lessons SOLUC brought back, with what is
// missing and what is extra. A table that cannot be read is a stop.
// `lookForOrigin` false leaves out the first (after an import, which has
// just looked).
CheckReport CheckImportSide(const RunContext& context, bool lookForOrigin = true);
// The same report (without the first) after an import, from what the
// import's pass over SOLUC found: only ASIGT is read again.
CheckReport CheckImportSide(const RunContext& context, const SolutionFindings& findings);

// Both sides, each stop with the direction it stops: `stops` the export
// (the document, and the exchange directory as the export checks it),
// `importStops` the import (the tables, and whether the document's folder
// takes the saved file); the import's warnings only when HasTimetable.
CheckReport CheckBeforeRun(const SagaDocument& document, const RunContext& context);

// After an export: the records of each table written ("ASIGNOMT: 12
// registros"), in the order the export writes them.
std::vector<std::string> ExportCounts(const RunContext& context);
// After an import: the entries of each list of the timetable section it
// wrote ("días: 5", "sesiones: 130").
std::vector<std::string> ImportCounts(const ImportedCounts& imported);

}  // namespace brivasto
