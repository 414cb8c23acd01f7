// The export side of the check: what the document holds that the export
// refuses, or carries in a way the user may not expect.
#include <limits>
#include <string>
#include <unordered_map>
#include <vector>

#include "check/check.h"
#include "check/check_texts.h"
#include "export/export.h"

namespace brivasto {
namespace {

// Describes one catalogue of the document for the checks they share.
struct CatalogueView {
  std::string_view section;    // "subjects"
  std::string_view element;    // "subject"
  const ExchangeTable& table;  // where its entries go
  std::string_view nameField;  // the field that keeps the name
};

struct Entry {
  std::size_t position;
  const std::optional<std::u16string>& id;
  const std::optional<std::u16string>& name;
};

std::string Where(const CatalogueView& view, const Entry& entry) {
  return std::string(view.section) + ", " +
         ElementText(view.element, entry.position, entry.id, entry.name);
}

// A text a field will cut: the warning, or nothing.
void CheckCut(const std::string& where, std::string_view what, std::u16string_view text,
              const ExchangeTable& table, std::string_view field, CheckReport& report) {
  const std::size_t width = TextFieldWidth(table, field);
  const std::u16string stored = StoredText(text, width);
  if (CodePointCount(text) <= width ||
      stored == StoredText(text, std::numeric_limits<std::size_t>::max())) {
    return;
  }
  report.warnings.push_back(where + ": " + std::string(what) + " " + Quoted(text) + " no cabe en " +
                            std::string(table.name) + "." + std::string(field) + " (" +
                            std::to_string(width) + " caracteres); se guarda " + Quoted(stored));
}

// What the tables' rule changes in a text: a warning for each kind of
// change, or nothing.
void CheckCodePage(const std::string& where, std::string_view what, std::u16string_view text,
                   CheckReport& report) {
  const StoredTextChanges changes = ChangesInStoredText(text);
  const std::string subject = where + ": " + std::string(what) + " " + Quoted(text);
  if (!changes.replaced.empty()) {
    report.warnings.push_back(subject + " tiene caracteres que las tablas no pueden guardar (" +
                              ToUtf8(changes.replaced) + "); se guardan como \"?\"");
  }
  if (!changes.dropped.empty()) {
    report.warnings.push_back(subject + " tiene caracteres invisibles (" +
                              CharacterNames(changes.dropped) + "), que no se guardan");
  }
  if (!changes.blanked.empty()) {
    report.warnings.push_back(subject + " tiene caracteres de control (" +
                              CharacterNames(changes.blanked) + "), que se guardan como blancos");
  }
}

// Identifiers that occur twice, their length and characters, and the name.
// For groups the name is not kept alone (`nameKept` false).
void CheckEntries(const CatalogueView& view, const std::vector<Entry>& entries, bool nameKept,
                  CheckReport& report) {
  std::unordered_map<std::u16string, std::size_t> firstPosition;
  for (const Entry& entry : entries) {
    const std::string where = Where(view, entry);
    if (entry.id) {
      const auto [first, added] = firstPosition.try_emplace(*entry.id, entry.position);
      if (!added) {
        report.warnings.push_back(
            where + ": el id " + Quoted(*entry.id) + " ya lo tiene " + std::string(view.element) +
            " nº " + std::to_string(first->second) + "; las asignaciones usan el primero");
      }
      // An id the table would change stops the export (ExportProblems).
      CheckCut(where, "el id", *entry.id, view.table, field::kIdSaga, report);
    }
    if (nameKept && entry.name) {
      CheckCut(where, "el nombre", *entry.name, view.table, view.nameField, report);
      CheckCodePage(where, "el nombre", *entry.name, report);
    }
  }
}

void CheckCodes(const CatalogueView& view, const std::vector<Entry>& entries,
                const std::vector<GivenCode>& codes, CheckReport& report) {
  for (std::size_t i = 0; i < entries.size() && i < codes.size(); ++i) {
    if (codes[i].code == codes[i].derived) continue;
    report.warnings.push_back(Where(view, entries[i]) + ": el código " + Quoted(codes[i].derived) +
                              " de " + Quoted(codes[i].name) + " ya estaba dado; se guarda " +
                              Quoted(codes[i].code));
  }
}

template <typename Item>
std::vector<Entry> EntriesOf(const std::vector<Item>& items) {
  std::vector<Entry> entries;
  for (const Item& item : items) entries.push_back({item.position, item.id, item.name});
  return entries;
}

// The ids as IDSAGA stores them: the export finds an assigned id only
// where it equals the stored text (an id longer than the field never).
std::unordered_map<std::u16string, bool> IdsOf(const std::vector<Entry>& entries) {
  std::unordered_map<std::u16string, bool> ids;
  const std::size_t width = TextFieldWidth(kAsignomt, field::kIdSaga);
  for (const Entry& entry : entries) {
    if (entry.id) ids.emplace(StoredText(*entry.id, width), true);
  }
  return ids;
}

}  // namespace

CheckReport CheckExportSide(const SagaDocument& document) {
  CheckReport report;
  for (const std::string& line : ExportProblems(document)) {
    report.stops.push_back(line.starts_with("- ") ? line.substr(2) : line);
  }

  CatalogueSections storage;
  const CatalogueSections& sections = ReadCatalogueSections(document, storage);
  const std::vector<SagaSubject>& subjects = sections.subjects;
  const std::vector<SagaNamedItem>& teachers = sections.teachers;
  const std::vector<SagaNamedItem>& rooms = sections.locations;
  const std::vector<SagaGroup>& groups = sections.groups;

  const CatalogueView subjectView{"subjects", "subject", kAsignomt, field::kNombre};
  const CatalogueView teacherView{"teachers", "teacher", kProft, field::kNombre};
  const CatalogueView roomView{"locations", "location", kAulat, field::kNombre};
  const CatalogueView groupView{"groups", "group", kGrupost, field::kDescrip};
  const std::vector<Entry> subjectEntries = EntriesOf(subjects);
  const std::vector<Entry> teacherEntries = EntriesOf(teachers);
  const std::vector<Entry> roomEntries = EntriesOf(rooms);
  const std::vector<Entry> groupEntries = EntriesOf(groups);

  // Subjects: entries, then their hours as ASIGNOMT keeps them.
  CheckEntries(subjectView, subjectEntries, true, report);
  for (std::size_t i = 0; i < subjects.size(); ++i) {
    if (!subjects[i].hours || subjects[i].hours->empty()) continue;  // "4"
    const std::u16string kept =
        StoredText(*subjects[i].hours, TextFieldWidth(kAsignomt, field::kHoras));
    if (!HoursAreNumber(kept)) {
      report.warnings.push_back(Where(subjectView, subjectEntries[i]) + ": las horas " +
                                Quoted(*subjects[i].hours) +
                                " no son un número; se cuentan como 1 hora");
    }
  }
  CheckCodes(subjectView, subjectEntries, SubjectCodes(subjects), report);
  CheckEntries(teacherView, teacherEntries, true, report);
  CheckCodes(teacherView, teacherEntries, TeacherCodes(teachers), report);
  CheckEntries(roomView, roomEntries, true, report);
  CheckCodes(roomView, roomEntries, RoomCodes(rooms), report);

  // Groups: the name goes to DESCRIP with the description after it.
  CheckEntries(groupView, groupEntries, false, report);
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const std::u16string descrip =
        groups[i].name.value_or(u"") + u" (" + groups[i].description.value_or(u"") + u")";
    const std::string where = Where(groupView, groupEntries[i]);
    CheckCut(where, "la descripción", descrip, kGrupost, field::kDescrip, report);
    CheckCodePage(where, "la descripción", descrip, report);
  }
  CheckCodes(groupView, groupEntries, GroupCodes(groups), report);

  // The assignments: every id found in its catalogue, a teacher for each.
  const auto subjectIds = IdsOf(subjectEntries);
  const auto teacherIds = IdsOf(teacherEntries);
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const std::string group = Where(groupView, groupEntries[i]);
    for (const SagaAssignedSubject& assigned : groups[i].subjects) {
      const std::string where =
          group + " > " + ElementText("assigned-subject", assigned.position, assigned.id, {});
      if (assigned.id && !subjectIds.contains(*assigned.id)) {
        report.warnings.push_back(where + ": el id " + Quoted(*assigned.id) +
                                  " no está en subjects; la asignación queda sin materia");
      }
      if (assigned.teachers.empty()) {
        report.warnings.push_back(where + ": no tiene profesor");
      }
      for (const SagaAssignedTeacher& teacher : assigned.teachers) {
        if (!teacher.id || teacherIds.contains(*teacher.id)) continue;
        report.warnings.push_back(
            where + " > " + ElementText("assigned-teacher", teacher.position, teacher.id, {}) +
            ": el id " + Quoted(*teacher.id) + " no está en teachers");
      }
    }
  }
  return report;
}

}  // namespace brivasto
