// export/export.h: SAGA to Talvenor. Turns the catalogue sections of a SAGA
// document into the six exchange tables ASIGNOMT, PROFT, AULAT, GRUPOST,
// ASIGT and DIASHORAST, each record of the four catalogues carrying its short
// code beside SAGA's identifier. The document is only read. The document is
// checked first, so a document the steps cannot carry stops the run before
// any table changes; each step then replaces its table whole (old content or
// new complete content, never a mix). Failures throw TransferError.
#pragma once

#include "saga/saga.h"
#include "tables/tables.h"

namespace brivasto {

// Throws TransferError listing every element the export cannot carry (a
// missing id, a missing or blank subject name, a teacher or location without
// content, hours too large for a session count), each with its section,
// position and what identifies it. Missing hours, regim or group content
// are no problem: their values are empty.
void CheckExportable(const SagaDocument& document);

// The six steps, in the order RunExportSteps runs them. ExportAssignments
// reads the tables the first four wrote.
void ExportSubjects(const SagaDocument& document, const RunContext& context);
void ExportTeachers(const SagaDocument& document, const RunContext& context);
void ExportRooms(const SagaDocument& document, const RunContext& context);
void ExportGroups(const SagaDocument& document, const RunContext& context);
void ExportAssignments(const SagaDocument& document, const RunContext& context);
void ExportDayHourFrame(const RunContext& context);

// CheckExportable, then the six steps in their fixed order.
void RunExportSteps(const SagaDocument& document, const RunContext& context);

}  // namespace brivasto
