// import/steps.h: the steps of the import, private to import/. The run
// (import.cpp) opens the tables, calls these steps in their fixed order and
// closes the tables before the save. The steps read the tables and write the
// `time-tables` section; none of them catches an error.
#pragma once

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "import/import.h"
#include "import/lookups.h"
#include "saga/saga.h"
#include "tables/tables.h"
#include "text/text.h"

namespace brivasto {

// ---------------------------------------------------------------------------
// The steps, in the order the run calls them.

// The section is written as text into the saved file, element by element:
// each step writes its part through `out`.

// Opens `time-table` id="tt1" name="Talvenor"; the run closes it.
void WriteTimetableHeader(XmlSectionWriter& out);

// Writes `days`: one `day` for each day number 1 to 7 that some DIASHORAST
// record has in DIA (named by the first such record's TEXTODIA), holding an
// `interval` for every record of that day whose HORA is 1 to 40, ordered by
// hour and then by record order.
void ImportDaysAndIntervals(XmlSectionWriter& out, const Table& diashorast, ImportedCounts& counts);

// Write `groups`, `members` and `activities`: one entry per catalogue record
// whose code some SOLUC row uses, in record order. The lists of groups and
// members return their number of entries.
std::size_t ImportGroups(XmlSectionWriter& out, const Table& grupost,
                         const SolutionCodes& solution);
std::size_t ImportMembers(XmlSectionWriter& out, const Table& proft, const SolutionCodes& solution);
// Numbers the activities a1, a2, ... and records each in `activities`.
void ImportActivities(XmlSectionWriter& out, const Table& asignomt, const SolutionCodes& solution,
                      ActivityList& activities);

// Writes `inputs`: one `input` per SOLUC row whose DIA reads as a number
// other than 0, in record order, from `pass`, which records what it finds
// in `findings`; returns their number. Throws when a DIA, HORA or SESIONES
// holds no number, or when a row's subject has no activity.
std::size_t ImportInputs(XmlSectionWriter& out, const SolutionPass& pass,
                         SolutionFindings& findings);

// Saves `document` over `file` atomically with every `time-tables` child of
// the root (a `time-tables` deeper in the document stays) replaced by one
// new `time-tables`, the root's last child, whose content `writeSection`
// writes. Once the new file is complete, the file's present content is kept
// as "NAME.bak" beside it (replacing an older one), then the new file takes
// its place. On any failure `file` is left byte-identical and TransferError
// names the file.
void SaveSagaDocument(const SagaDocument& document, const std::filesystem::path& file,
                      const std::function<void(XmlSectionWriter&)>& writeSection);

}  // namespace brivasto
