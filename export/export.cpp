// The six steps of the export. Each reads its section of the SAGA document,
// derives the values with the pure functions of codes.h and hours.h, and
// writes its table whole through a TableWriter. The run stages the six new
// tables beside the old ones and puts them in place as one set; a step
// called alone replaces its table alone.
#include "export/export.h"

#include <optional>
#include <span>
#include <string>
#include <unordered_map>

#include "export/codes.h"
#include "export/hours.h"
#include "export/sections.h"

namespace brivasto {
namespace {

// The first record of a catalogue table holding each IDSAGA, so that a
// lookup gives what a scan from the first record would: the first match in
// record order. Identifiers are compared with the text the table holds, so
// one longer than IDSAGA (stored cut) never matches.
class IdIndex {
 public:
  explicit IdIndex(const Table& table) {
    const std::size_t idField = table.FieldIndex(field::kIdSaga);
    for (std::size_t record = 0; record < table.RecordCount(); ++record) {
      firstRecord_.emplace(table.Text(record, idField), record);  // keeps the first
    }
  }

  std::optional<std::size_t> Find(const std::optional<std::u16string>& id) const {
    if (!id) return std::nullopt;
    const auto found = firstRecord_.find(*id);
    if (found == firstRecord_.end()) return std::nullopt;
    return found->second;
  }

 private:
  std::unordered_map<std::u16string, std::size_t> firstRecord_;
};

// The codes of a catalogue of named items (teachers, rooms): the rule that
// derives the code from the name, and the counter's base for a code.
std::vector<GivenCode> NamedItemCodes(std::span<const SagaNamedItem> items,
                                      std::u16string (*abbreviation)(std::u16string_view name),
                                      std::u16string (*base)(std::u16string_view abbreviation)) {
  std::vector<GivenCode> given;
  codes::CodesGiven codesGiven(codes::LetterCase::kIgnored);
  for (const SagaNamedItem& item : items) {
    std::u16string name = item.name.value_or(u"");
    std::u16string derived = abbreviation(name);
    std::u16string code = codesGiven.Give(derived, base(derived));
    given.push_back({std::move(name), std::move(derived), std::move(code)});
  }
  return given;
}

std::u16string Itself(std::u16string_view abbreviation) { return std::u16string(abbreviation); }

TableWriter WriteNamedItems(const std::vector<SagaNamedItem>& items,
                            const std::vector<GivenCode>& given, const ExchangeTable& catalogue,
                            const std::filesystem::path& directory) {
  TableWriter table(directory, catalogue);
  for (std::size_t i = 0; i < items.size(); ++i) {
    table.Append();
    table.SetText(field::kAbrev, given[i].code);
    table.SetText(field::kNombre, given[i].name);
    table.SetText(field::kIdSaga, items[i].id.value_or(u""));
    table.Post();
  }
  return table;
}

// What ASIGT copies from a group's GRUPOST record.
struct GroupValues {
  std::u16string cgrup, turno, nivel, curso, grupo;
};

GroupValues LookUpGroup(const Table& groups, const IdIndex& index,
                        const std::optional<std::u16string>& id) {
  GroupValues values;
  if (const auto record = index.Find(id)) {
    values.cgrup = groups.Text(*record, groups.FieldIndex(field::kAbrev));
    values.turno = groups.Text(*record, groups.FieldIndex(field::kTurno));
    values.nivel = groups.Text(*record, groups.FieldIndex(field::kNivel));
    values.curso = groups.Text(*record, groups.FieldIndex(field::kCurso));
    values.grupo = groups.Text(*record, groups.FieldIndex(field::kGrupo));
  }
  return values;
}

// One field of every record of a table, read once: the lookups of a large
// document hit the same records hundreds of thousands of times.
std::vector<std::u16string> Column(const Table& table, std::string_view name) {
  const std::size_t index = table.FieldIndex(name);
  std::vector<std::u16string> column;
  column.reserve(table.RecordCount());
  for (std::size_t record = 0; record < table.RecordCount(); ++record) {
    column.push_back(table.Text(record, index));
  }
  return column;
}

[[noreturn]] void HoursOutOfRange(const Table& subjects, std::size_t record,
                                  const std::u16string& hoursText) {
  throw TransferError(
      "Tabla " + subjects.Name() + ", registro " + std::to_string(subjects.RecordNumber(record)) +
      ": las horas \"" + ToUtf8(hoursText) + "\" de la asignatura \"" +
      ToUtf8(subjects.Text(record, subjects.FieldIndex(field::kNombre))) + "\" (id \"" +
      ToUtf8(subjects.Text(record, subjects.FieldIndex(field::kIdSaga))) +
      "\") dan más sesiones de las que caben en un entero de 32 bits.");
}

// The writers below hold their table's records, complete and not yet in place.

TableWriter WriteSubjects(const std::vector<SagaSubject>& subjects,
                          const std::filesystem::path& directory) {
  TableWriter table(directory, kAsignomt);
  const std::vector<GivenCode> given = SubjectCodes(subjects);
  for (std::size_t i = 0; i < subjects.size(); ++i) {
    const SagaSubject& subject = subjects[i];
    const std::u16string& name = given[i].name;
    const std::u16string hours = subject.hours.value_or(u"");
    table.Append();
    table.SetText(field::kCod, given[i].code);
    table.SetText(field::kCodLargo, name);  // the field keeps the first 10 characters
    table.SetText(field::kNombre, name);
    table.SetText(field::kIdSaga, subject.id.value_or(u""));
    table.SetText(field::kHoras, hours.empty() ? hours::kDefaultHours : hours);
    table.Post();
  }
  return table;
}

TableWriter WriteTeachers(const std::vector<SagaNamedItem>& teachers,
                          const std::filesystem::path& directory) {
  return WriteNamedItems(teachers, TeacherCodes(teachers), kProft, directory);
}

TableWriter WriteRooms(const std::vector<SagaNamedItem>& locations,
                       const std::filesystem::path& directory) {
  return WriteNamedItems(locations, RoomCodes(locations), kAulat, directory);
}

TableWriter WriteGroups(const std::vector<SagaGroup>& groups,
                        const std::filesystem::path& directory) {
  TableWriter table(directory, kGrupost);
  const std::vector<GivenCode> given = GroupCodes(groups);
  for (std::size_t i = 0; i < groups.size(); ++i) {
    const SagaGroup& group = groups[i];
    const std::u16string& name = given[i].name;
    const codes::GroupParts parts = codes::GroupPartsOf(name);
    table.Append();
    table.SetText(field::kAbrev, given[i].code);
    table.SetText(field::kTurno, RightmostChars(group.regim.value_or(u""), 1));
    table.SetText(field::kNivel, parts.nivel);
    table.SetText(field::kCurso, parts.curso);
    table.SetText(field::kGrupo, parts.grupo);
    table.SetText(field::kDescrip, name + u" (" + group.description.value_or(u"") + u")");
    table.SetText(field::kMarco, u"0");
    table.SetText(field::kIdSaga, group.id.value_or(u""));
    table.Post();
  }
  return table;
}

// The catalogue tables the assignments take their codes from, as written.
struct WrittenCatalogues {
  const Table& groups;    // GRUPOST
  const Table& teachers;  // PROFT
  const Table& subjects;  // ASIGNOMT
};

TableWriter WriteAssignments(const std::vector<SagaGroup>& groups,
                             const std::filesystem::path& directory,
                             const WrittenCatalogues& catalogues) {
  TableWriter table(directory, kAsigt);
  const Table& groupTable = catalogues.groups;
  const Table& teachers = catalogues.teachers;
  const Table& subjects = catalogues.subjects;
  const IdIndex groupIndex(groupTable);
  const IdIndex teacherIndex(teachers);
  const IdIndex subjectIndex(subjects);
  const std::vector<std::u16string> subjectCodes = Column(subjects, field::kCod);
  const std::vector<std::u16string> subjectHours = Column(subjects, field::kHoras);
  const std::vector<std::u16string> teacherCodes = Column(teachers, field::kAbrev);

  for (const SagaGroup& group : groups) {
    const GroupValues groupValues = LookUpGroup(groupTable, groupIndex, group.id);
    for (const SagaAssignedSubject& assigned : group.subjects) {
      std::u16string casig;
      std::u16string hoursText;
      const std::optional<std::size_t> subject = subjectIndex.Find(assigned.id);
      if (subject) {
        casig = subjectCodes[*subject];
        hoursText = subjectHours[*subject];
      }
      // Only the last listed teacher decides; a subject without teachers
      // gets none.
      std::u16string cprof;
      for (const SagaAssignedTeacher& teacher : assigned.teachers) {
        const std::optional<std::size_t> record = teacherIndex.Find(teacher.id);
        cprof = record ? teacherCodes[*record] : u"";
      }

      table.Append();
      table.SetText(field::kCAsig, casig);
      table.SetText(field::kCProf, cprof);
      table.SetText(field::kCGrup, groupValues.cgrup);
      table.SetText(field::kCAula, u"");
      table.SetText(field::kTurno, groupValues.turno);
      table.SetText(field::kNivel, groupValues.nivel);
      table.SetText(field::kCurso, groupValues.curso);
      table.SetText(field::kGrupo, groupValues.grupo);
      std::int32_t sessions = 0;  // a subject not found sets no hours
      if (!hoursText.empty()) {
        const double value = hours::HoursValue(hoursText);
        const std::optional<std::int32_t> count = hours::SessionCount(value);
        if (!count) HoursOutOfRange(subjects, *subject, hoursText);
        table.SetReal(field::kHoras, hours::StoredHours(value));
        sessions = *count;
      }
      table.SetText(field::kSesiones, hours::SessionsPattern(sessions));
      table.Post();
    }
  }
  return table;
}

}  // namespace

std::vector<GivenCode> SubjectCodes(std::span<const SagaSubject> subjects) {
  std::vector<GivenCode> given;
  codes::CodesGiven codesGiven(codes::LetterCase::kRespected);
  for (const SagaSubject& subject : subjects) {
    std::u16string name = subject.name.value_or(u"");
    std::u16string derived = codes::SubjectCode(name);
    std::u16string code = codesGiven.Give(derived, codes::SubjectBase(derived));
    given.push_back({std::move(name), std::move(derived), std::move(code)});
  }
  return given;
}

std::vector<GivenCode> TeacherCodes(std::span<const SagaNamedItem> teachers) {
  return NamedItemCodes(teachers, codes::TeacherAbbreviation, Itself);
}

std::vector<GivenCode> RoomCodes(std::span<const SagaNamedItem> rooms) {
  return NamedItemCodes(rooms, codes::RoomAbbreviation, codes::RoomBase);
}

std::vector<GivenCode> GroupCodes(std::span<const SagaGroup> groups) {
  std::vector<GivenCode> given;
  codes::CodesGiven codesGiven(codes::LetterCase::kIgnored);
  for (const SagaGroup& group : groups) {
    std::u16string name = group.name.value_or(u"");
    std::u16string derived = codes::GroupPartsOf(name).base;
    std::u16string code = codesGiven.Give(derived, derived);
    given.push_back({std::move(name), std::move(derived), std::move(code)});
  }
  return given;
}

void ExportSubjects(const SagaDocument& document, const RunContext& context) {
  WriteSubjects(ReadSubjects(document), context.exchangeDirectory).Commit();
}

void ExportTeachers(const SagaDocument& document, const RunContext& context) {
  WriteTeachers(ReadTeachers(document), context.exchangeDirectory).Commit();
}

void ExportRooms(const SagaDocument& document, const RunContext& context) {
  WriteRooms(ReadLocations(document), context.exchangeDirectory).Commit();
}

void ExportGroups(const SagaDocument& document, const RunContext& context) {
  WriteGroups(ReadGroups(document), context.exchangeDirectory).Commit();
}

void ExportAssignments(const SagaDocument& document, const RunContext& context) {
  const std::filesystem::path& directory = context.exchangeDirectory;
  const char16_t separator = context.decimalSeparator;
  // The catalogues are held exclusively while the assignments are written.
  // AULAT is not read, but it is opened like the others, so a missing or
  // busy rooms table stops the step as well.
  const Table groups = Table::Open(directory, kGrupost.name, separator);
  const Table teachers = Table::Open(directory, kProft.name, separator);
  const Table rooms = Table::Open(directory, kAulat.name, separator);
  const Table subjects = Table::Open(directory, kAsignomt.name, separator);
  WriteAssignments(ReadGroups(document), directory, {groups, teachers, subjects}).Commit();
}

void ExportDayHourFrame(const RunContext& context) {
  TableWriter(context.exchangeDirectory, kDiashorast).Commit();
}

void CheckExchangeDirectory(const RunContext& context) {
  CheckDirectoryWritable(context.exchangeDirectory);
  // Each hold is given back at once: this only finds a held table early.
  for (const std::string_view table : kExchangeSet) {
    TableHold::Take(context.exchangeDirectory, table);
  }
}

TableSet HoldExchangeSet(const RunContext& context) {
  try {
    CheckDirectoryWritable(context.exchangeDirectory);
  } catch (const TransferError& error) {
    throw TransferError(WithNoTableChanged(error.what()));
  }
  return TableSet(context.exchangeDirectory, kExchangeSet);
}

TableSet StageExport(const SagaDocument& document, const RunContext& context) {
  // The sections are read once for the whole run. Nothing is written before
  // the whole document is known to be exportable,
  CatalogueSections storage;
  const CatalogueSections& sections = ReadCatalogueSections(document, storage);
  CheckSections(document, sections);
  // nor while the tables cannot be replaced: the directory must take them,
  // and the old tables are held until the new ones have taken their place.
  TableSet set = HoldExchangeSet(context);
  const std::filesystem::path& directory = context.exchangeDirectory;
  try {
    set.Add(WriteSubjects(sections.subjects, directory).Finish());
    set.Add(WriteTeachers(sections.teachers, directory).Finish());
    set.Add(WriteRooms(sections.locations, directory).Finish());
    set.Add(WriteGroups(sections.groups, directory).Finish());
    {
      // The assignments take their codes from the new catalogues.
      const char16_t separator = context.decimalSeparator;
      const Table groups = Table::OpenStaged(*set.Staged(kGrupost.name), separator);
      const Table teachers = Table::OpenStaged(*set.Staged(kProft.name), separator);
      const Table subjects = Table::OpenStaged(*set.Staged(kAsignomt.name), separator);
      set.Add(WriteAssignments(sections.groups, directory, {groups, teachers, subjects}).Finish());
    }
    set.Add(TableWriter(directory, kDiashorast).Finish());
  } catch (const TransferError& error) {
    // The new tables written so far go with the set; the old ones are whole.
    throw TransferError(WithNoTableChanged(error.what()));
  }
  return set;
}

void CommitExchangeSet(TableSet& set) {
  for (const std::string_view name : kExchangeSet) {
    if (set.Staged(name) == nullptr) {
      throw TransferError(WithNoTableChanged("Falta la tabla nueva " + std::string(name) +
                                             " del conjunto de tablas de intercambio."));
    }
  }
  set.Commit();
}

void RunExportSteps(const SagaDocument& document, const RunContext& context) {
  TableSet set = StageExport(document, context);
  CommitExchangeSet(set);
}

}  // namespace brivasto
