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

// The export side's warnings, by kind: a large document with a systematic
// problem (every name cut, say) lists the first of each kind and counts
// the others, as the import side does.
struct ExportWarnings {
  explicit ExportWarnings(std::vector<std::string>& warnings)
      : repeatedIds(warnings, "ids repetidos en su sección"),
        cut(warnings, "textos que no caben en su campo"),
        codePage(warnings, "textos con caracteres que las tablas no guardan tal cual"),
        hours(warnings, "horas que no son un número"),
        codes(warnings, "códigos que ya estaban dados"),
        unknownSubjects(warnings, "asignaciones con un id que no está en subjects"),
        noTeacher(warnings, "asignaciones sin profesor"),
        unknownTeachers(warnings, "profesores asignados con un id que no está en teachers") {}
  void Finish() {
    for (WarningsOfOneKind* kind : {&repeatedIds, &cut, &codePage, &hours, &codes, &unknownSubjects,
                                    &noTeacher, &unknownTeachers}) {
      kind->Finish();
    }
  }
  WarningsOfOneKind repeatedIds, cut, codePage, hours, codes, unknownSubjects, noTeacher,
      unknownTeachers;
};

// A text a field will cut: the warning, or nothing. `where` names the
// element (called only for a warning).
template <typename Where>
void CheckCut(const Where& where, std::string_view what, std::u16string_view text,
              const ExchangeTable& table, std::string_view field, ExportWarnings& warnings) {
  const std::size_t width = TextFieldWidth(table, field);
  if (CodePointCount(text) <= width) return;
  const std::u16string stored = StoredText(text, width);
  if (stored == StoredText(text, std::numeric_limits<std::size_t>::max())) return;
  warnings.cut.Add([&] {
    return where() + ": " + std::string(what) + " " + Quoted(text) + " no cabe en " +
           std::string(table.name) + "." + std::string(field) + " (" + std::to_string(width) +
           " caracteres); se guarda " + Quoted(stored);
  });
}

// What the tables' rule changes in a text: a warning for each kind of
// change, or nothing.
template <typename Where>
void CheckCodePage(const Where& where, std::string_view what, std::u16string_view text,
                   ExportWarnings& warnings) {
  const StoredTextChanges changes = ChangesInStoredText(text);
  const auto subject = [&] { return where() + ": " + std::string(what) + " " + Quoted(text); };
  if (!changes.replaced.empty()) {
    warnings.codePage.Add([&] {
      return subject() + " tiene caracteres que las tablas no pueden guardar (" +
             ToUtf8(changes.replaced) + "); se guardan como \"?\"";
    });
  }
  if (!changes.dropped.empty()) {
    warnings.codePage.Add([&] {
      return subject() + " tiene caracteres invisibles (" + CharacterNames(changes.dropped) +
             "), que no se guardan";
    });
  }
  if (!changes.blanked.empty()) {
    warnings.codePage.Add([&] {
      return subject() + " tiene caracteres de control (" + CharacterNames(changes.blanked) +
             "), que se guardan como blancos";
    });
  }
}

// Identifiers that occur twice, their length and characters, and the name.
// For groups the name is not kept alone (`nameKept` false).
void CheckEntries(const CatalogueView& view, const std::vector<Entry>& entries, bool nameKept,
                  ExportWarnings& warnings) {
  std::unordered_map<std::u16string_view, std::size_t, TextHash, std::equal_to<>> firstPosition;
  firstPosition.reserve(entries.size());
  for (const Entry& entry : entries) {
    const auto where = [&] { return Where(view, entry); };
    if (entry.id) {
      const auto [first, added] = firstPosition.try_emplace(*entry.id, entry.position);
      if (!added) {
        warnings.repeatedIds.Add([&] {
          return where() + ": el id " + Quoted(*entry.id) + " ya lo tiene " +
                 std::string(view.element) + " nº " + std::to_string(first->second) +
                 "; las asignaciones usan el primero";
        });
      }
      // An id the table would change stops the export (ExportProblems).
      CheckCut(where, "el id", *entry.id, view.table, field::kIdSaga, warnings);
    }
    if (nameKept && entry.name) {
      CheckCut(where, "el nombre", *entry.name, view.table, view.nameField, warnings);
      CheckCodePage(where, "el nombre", *entry.name, warnings);
    }
  }
}

void CheckCodes(const CatalogueView& view, const std::vector<Entry>& entries,
                const std::vector<GivenCode>& codes, ExportWarnings& warnings) {
  for (std::size_t i = 0; i < entries.size() && i < codes.size(); ++i) {
    if (codes[i].code == codes[i].derived) continue;
    warnings.codes.Add([&] {
      return Where(view, entries[i]) + ": el código " + Quoted(codes[i].derived) + " de " +
             Quoted(codes[i].name) + " ya estaba dado; se guarda " + Quoted(codes[i].code);
    });
  }
}

template <typename Item>
std::vector<Entry> EntriesOf(const std::vector<Item>& items) {
  std::vector<Entry> entries;
  entries.reserve(items.size());
  for (const Item& item : items) entries.push_back({item.position, item.id, item.name});
  return entries;
}

// The ids as IDSAGA stores them: the export finds an assigned id only
// where it equals the stored text (an id longer than the field never).
class StoredIds {
 public:
  explicit StoredIds(const std::vector<Entry>& entries) : ids_(Stored(entries)), index_(ids_) {}
  bool Contains(const std::u16string& id) const { return index_.Find(id).has_value(); }

 private:
  static std::vector<std::u16string> Stored(const std::vector<Entry>& entries) {
    std::vector<std::u16string> ids;
    ids.reserve(entries.size());
    const std::size_t width = TextFieldWidth(kAsignomt, field::kIdSaga);
    for (const Entry& entry : entries) {
      if (entry.id) ids.push_back(StoredText(*entry.id, width));
    }
    return ids;
  }
  std::vector<std::u16string> ids_;
  FirstPositions index_;
};

}  // namespace

CheckReport CheckExportSide(const SagaDocument& document, bool lookForStops,
                            const CatalogueCodes* given) {
  CheckReport report;
  if (lookForStops) {
    for (const std::string& line : ExportProblems(document)) {
      report.stops.push_back(line.starts_with("- ") ? line.substr(2) : line);
    }
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
  ExportWarnings warnings(report.warnings);
  if (given != nullptr &&
      (given->subjects.size() != subjects.size() || given->teachers.size() != teachers.size() ||
       given->rooms.size() != rooms.size() || given->groups.size() != groups.size())) {
    given = nullptr;  // not the codes of these sections
  }
  // The codes of one catalogue: those given, or worked out now.
  std::vector<GivenCode> worked;
  const auto codesOf = [&](auto member, auto give,
                           const auto& items) -> const std::vector<GivenCode>& {
    if (given != nullptr) return given->*member;
    worked = give(items);
    return worked;
  };

  // Subjects: entries, then their hours as ASIGNOMT keeps them.
  CheckEntries(subjectView, subjectEntries, true, warnings);
  for (std::size_t i = 0; i < subjects.size(); ++i) {
    if (!subjects[i].hours || subjects[i].hours->empty()) continue;  // "4"
    const std::u16string kept =
        StoredText(*subjects[i].hours, TextFieldWidth(kAsignomt, field::kHoras));
    if (!HoursAreNumber(kept)) {
      warnings.hours.Add([&] {
        return Where(subjectView, subjectEntries[i]) + ": las horas " + Quoted(*subjects[i].hours) +
               " no son un número; se cuentan como 1 hora";
      });
    }
  }
  CheckCodes(subjectView, subjectEntries,
             codesOf(&CatalogueCodes::subjects, SubjectCodes, subjects), warnings);
  CheckEntries(teacherView, teacherEntries, true, warnings);
  CheckCodes(teacherView, teacherEntries,
             codesOf(&CatalogueCodes::teachers, TeacherCodes, teachers), warnings);
  CheckEntries(roomView, roomEntries, true, warnings);
  CheckCodes(roomView, roomEntries, codesOf(&CatalogueCodes::rooms, RoomCodes, rooms), warnings);

  // Groups: the name goes to DESCRIP with the description after it.
  CheckEntries(groupView, groupEntries, false, warnings);
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const std::u16string descrip =
        groups[i].name.value_or(u"") + u" (" + groups[i].description.value_or(u"") + u")";
    const auto where = [&] { return Where(groupView, groupEntries[i]); };
    CheckCut(where, "la descripción", descrip, kGrupost, field::kDescrip, warnings);
    CheckCodePage(where, "la descripción", descrip, warnings);
  }
  CheckCodes(groupView, groupEntries, codesOf(&CatalogueCodes::groups, GroupCodes, groups),
             warnings);

  // The assignments: every id found in its catalogue, a teacher for each.
  const StoredIds subjectIds(subjectEntries);
  const StoredIds teacherIds(teacherEntries);
  for (std::size_t i = 0; i < groups.size(); ++i) {
    for (const SagaAssignedSubject& assigned : groups[i].subjects) {
      const auto where = [&] {
        return Where(groupView, groupEntries[i]) + " > " +
               ElementText("assigned-subject", assigned.position, assigned.id, {});
      };
      if (assigned.id && !subjectIds.Contains(*assigned.id)) {
        warnings.unknownSubjects.Add([&] {
          return where() + ": el id " + Quoted(*assigned.id) +
                 " no está en subjects; la asignación queda sin materia";
        });
      }
      if (assigned.teachers.empty()) {
        warnings.noTeacher.Add([&] { return where() + ": no tiene profesor"; });
      }
      for (const SagaAssignedTeacher& teacher : assigned.teachers) {
        if (!teacher.id || teacherIds.Contains(*teacher.id)) continue;
        warnings.unknownTeachers.Add([&] {
          return where() + " > " +
                 ElementText("assigned-teacher", teacher.position, teacher.id, {}) + ": el id " +
                 Quoted(*teacher.id) + " no está en teachers";
        });
      }
    }
  }
  warnings.Finish();
  return report;
}

}  // namespace brivasto
