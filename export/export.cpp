#include "export/export.h"

namespace brivasto {

void CheckExportable(const SagaDocument&) {}
void ExportSubjects(const SagaDocument&, const RunContext&) {}
void ExportTeachers(const SagaDocument&, const RunContext&) {}
void ExportRooms(const SagaDocument&, const RunContext&) {}
void ExportGroups(const SagaDocument&, const RunContext&) {}
void ExportAssignments(const SagaDocument&, const RunContext&) {}
void ExportDayHourFrame(const RunContext&) {}

void RunExportSteps(const SagaDocument& document, const RunContext& context) {
  CheckExportable(document);
  ExportSubjects(document, context);
  ExportTeachers(document, context);
  ExportRooms(document, context);
  ExportGroups(document, context);
  ExportAssignments(document, context);
  ExportDayHourFrame(context);
}

}  // namespace brivasto
