// export/export.h: SAGA to Talvenor. Turns the catalogue sections of a SAGA
// document into the six exchange tables ASIGNOMT, PROFT, AULAT, GRUPOST,
// ASIGT and DIASHORAST, each record of the four catalogues carrying its short
// code beside SAGA's identifier. The document is only read. The document is
// checked first, so a document the steps cannot carry stops the run before
// any table changes; each step then replaces its table whole (old content or
// new complete content, never a mix). Failures throw TransferError.
#pragma once

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

// Whether a subject's hours text reads as a number ('.' or ',' as decimal
// separator, blanks around ignored); the export counts any other text as 1.
bool HoursAreNumber(std::u16string_view text);

// The six steps, in the order RunExportSteps runs them. ExportAssignments
// reads the tables the first four wrote.
void ExportSubjects(const SagaDocument& document, const RunContext& context);
void ExportTeachers(const SagaDocument& document, const RunContext& context);
void ExportRooms(const SagaDocument& document, const RunContext& context);
void ExportGroups(const SagaDocument& document, const RunContext& context);
void ExportAssignments(const SagaDocument& document, const RunContext& context);
void ExportDayHourFrame(const RunContext& context);

// CheckExportable and CheckExchangeDirectory, then the six steps in their
// fixed order.
void RunExportSteps(const SagaDocument& document, const RunContext& context);

}  // namespace brivasto
