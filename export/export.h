// export/export.h: SAGA to Talvenor. Turns the catalogue sections of a SAGA
// document into the six exchange tables ASIGNOMT, PROFT, AULAT, GRUPOST,
// ASIGT and DIASHORAST, each record of the four catalogues carrying its short
// code beside SAGA's identifier. The document is only read. The document is
// checked first, so a document the steps cannot carry stops the run before
// any table changes. The run then holds the six old tables against other
// programs, writes the six new ones beside them, and only when all six are
// complete puts them in place as one set: a failure before that leaves the
// six old tables byte for byte as they were. Failures throw TransferError.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "saga/saga.h"
#include "tables/tables.h"

namespace brivasto {

// Throws TransferError listing every element the export cannot carry (a
// missing id, a missing or blank subject name, a teacher or location without
// content, hours too large for a session count), each with its section,
// position and what identifies it. Missing hours, regim or group content
// are no problem: their values are empty.
void CheckExportable(const SagaDocument& document);

// Throws TransferError when the exchange directory cannot take the six
// tables: it is missing, not a directory or not writable, or another
// program holds one of the tables.
void CheckExchangeDirectory(const RunContext& context);

// Every element the export cannot carry, one line each ("- section,
// element: problem"), in document order; empty when the document can be
// exported. CheckExportable throws with these lines.
std::vector<std::string> ExportProblems(const SagaDocument& document);

// The code an entry of a catalogue gets: the code its name gives, and the
// code stored after de-duplication within its table (the same unless an
// earlier entry took it). One per entry, in document order, exactly as the
// steps below write them.
struct GivenCode {
  std::u16string name;     // the name as read (empty when missing)
  std::u16string derived;  // the code the name gives
  std::u16string code;     // the code the table stores
};
std::vector<GivenCode> SubjectCodes(std::span<const SagaSubject> subjects);    // ASIGNOMT.COD
std::vector<GivenCode> TeacherCodes(std::span<const SagaNamedItem> teachers);  // PROFT.ABREV
std::vector<GivenCode> RoomCodes(std::span<const SagaNamedItem> rooms);        // AULAT.ABREV
std::vector<GivenCode> GroupCodes(std::span<const SagaGroup> groups);          // GRUPOST.ABREV

// The codes of the four catalogues' entries, as the steps store them.
struct CatalogueCodes {
  std::vector<GivenCode> subjects, teachers, rooms, groups;
};
CatalogueCodes GiveCatalogueCodes(const CatalogueSections& sections);

// Whether a subject's hours text reads as a number ('.' or ',' as decimal
// separator, blanks around ignored); the export counts any other text as 1.
bool HoursAreNumber(std::u16string_view text);

// The six steps, in the order the export runs them. Called alone, a step
// replaces its own table alone; ExportAssignments reads the tables the first
// four wrote.
void ExportSubjects(const SagaDocument& document, const RunContext& context);
void ExportTeachers(const SagaDocument& document, const RunContext& context);
void ExportRooms(const SagaDocument& document, const RunContext& context);
void ExportGroups(const SagaDocument& document, const RunContext& context);
void ExportAssignments(const SagaDocument& document, const RunContext& context);
void ExportDayHourFrame(const RunContext& context);

// The six exchange tables, in the order the export writes them and puts
// them in place.
inline constexpr std::array<std::string_view, 6> kExchangeSet = {"ASIGNOMT", "PROFT", "AULAT",
                                                                 "GRUPOST",  "ASIGT", "DIASHORAST"};

// The six exchange tables of `context`'s directory held as a set about to be
// replaced (TableSet), once the directory is known to take them (see
// CheckExchangeDirectory); its failures end with kNoTableChanged.
TableSet HoldExchangeSet(const RunContext& context);

// The export up to its commit: CheckExportable, HoldExchangeSet, then the six
// steps' tables written in their fixed order to temporary files beside the
// old ones and synced. Every table is still the old one. A failure removes
// the new files and throws with kNoTableChanged at the end. `given`, when
// there, receives the codes the catalogues got.
TableSet StageExport(const SagaDocument& document, const RunContext& context,
                     CatalogueCodes* given = nullptr);

// Puts a staged set of the six exchange tables in place (TableSet::Commit):
// the one way the exchange directory gets a new set, for an export and for
// anything else that puts six tables back. A set missing one of them throws
// before anything changes.
void CommitExchangeSet(TableSet& set);

// StageExport, then CommitExchangeSet; gives back the codes the catalogues
// got, for the summary.
CatalogueCodes RunExportSteps(const SagaDocument& document, const RunContext& context);

}  // namespace brivasto
