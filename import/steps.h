// import/steps.h: the steps of the import, private to import/. The run
// (import.cpp) opens the tables, calls these steps in their fixed order and
// closes the tables before the save. The steps read the tables and write the
// `time-tables` section; none of them catches an error.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "import/import.h"
#include "saga/saga.h"
#include "tables/tables.h"
#include "text/text.h"

namespace brivasto {

// The catalogue tables the inputs name their subject, group, teacher and room by.
struct InputCatalogues {
  const CatalogueLookup& subjects;  // ASIGNOMT by COD
  const CatalogueLookup& groups;    // GRUPOST by ABREV
  const CatalogueLookup& teachers;  // PROFT by ABREV
  const CatalogueLookup& rooms;     // AULAT by ABREV
};

// ---------------------------------------------------------------------------
// The steps, in the order the run calls them.

// Removes every `time-tables` child of `root` (a `time-tables` deeper in the
// document stays) and appends a new, empty one as the root's last child,
// which it returns.
XmlNode ReplaceTimetableSection(SagaDocument& document, XmlNode root);

// Appends `time-table` id="tt1" name="Talvenor" to `timeTables`; returns it.
XmlNode WriteTimetableHeader(SagaDocument& document, XmlNode timeTables);

// Appends `days`: one `day` for each day number 1 to 7 that some DIASHORAST
// record has in DIA (named by the first such record's TEXTODIA), holding an
// `interval` for every record of that day whose HORA is 1 to 40, ordered by
// hour and then by record order.
void ImportDaysAndIntervals(SagaDocument& document, XmlNode timeTable, const Table& diashorast);

// Append `groups`, `members` and `activities`: one entry per catalogue
// record whose code some SOLUC row uses, in record order.
void ImportGroups(SagaDocument& document, XmlNode timeTable, const Table& grupost,
                  const SolutionCodes& solution);
void ImportMembers(SagaDocument& document, XmlNode timeTable, const Table& proft,
                   const SolutionCodes& solution);
// Numbers the activities a1, a2, ... and records each in `activities`.
void ImportActivities(SagaDocument& document, XmlNode timeTable, const Table& asignomt,
                      const SolutionCodes& solution, ActivityList& activities);

// Appends `inputs`: one `input` per SOLUC row whose DIA reads as a number
// other than 0, in record order. Throws when a DIA, HORA or SESIONES holds
// no number, or when a row's subject has no activity.
void ImportInputs(SagaDocument& document, XmlNode timeTable, const Table& soluc,
                  const InputCatalogues& catalogues, const ActivityList& activities,
                  char16_t decimalSeparator);

// Keeps the file's present content as "NAME.bak" beside it (replacing an
// older one), then saves `document` over `file` atomically. On any failure
// `file` is left byte-identical and TransferError names the file.
void SaveSagaDocument(const SagaDocument& document, const std::filesystem::path& file);

// The backup's path: the file's name followed by ".bak".
std::filesystem::path BackupPath(const std::filesystem::path& file);

}  // namespace brivasto
