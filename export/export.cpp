// The six steps of the export. Each reads its section of the SAGA document,
// derives the values with the pure functions of codes.h and hours.h, and
// writes its table whole through a TableWriter. The run stages the six new
// tables beside the old ones and puts them in place as one set; a step
// called alone replaces its table alone.
#include "export/export.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "export/codes.h"
#include "export/fields.h"
#include "export/hours.h"
#include "export/sections.h"

namespace brivasto {
namespace {

// The first record holding each IDSAGA of a catalogue table, so that a
// lookup gives what a scan from the first record would: the first match in
// record order. Identifiers are compared with the text the table holds, so
// one longer than IDSAGA (stored cut) never matches.
class IdIndex {
 public:
  explicit IdIndex(const std::vector<std::u16string>& ids) : first_(ids) {}
  std::optional<std::size_t> Find(const std::optional<std::u16string>& id) const {
    if (!id) return std::nullopt;
    return first_.Find(*id);
  }

 private:
  FirstPositions first_;
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

// The catalogue tables the assignments take their codes from, each field
// they read as the table holds it, record by record: read from the tables
// in place, or known from what the run has just written.
struct AssignmentSources {
  std::vector<std::u16string> subjectIds, subjectCodes, subjectHours;  // ASIGNOMT
  std::vector<std::u16string> teacherIds, teacherCodes;                // PROFT
  std::vector<std::u16string> groupIds;                                // GRUPOST
  std::vector<GroupValues> groupValues;
  // For a message: the subject's record number, name and id.
  struct SubjectRecord {
    std::size_t number;
    std::u16string name, id;
  };
  std::function<SubjectRecord(std::size_t record)> subjectRecord;
};

// One field of every record of a table, read once.
std::vector<std::u16string> Column(const Table& table, std::string_view name) {
  const std::size_t index = table.FieldIndex(name);
  std::vector<std::u16string> column;
  column.reserve(table.RecordCount());
  for (std::size_t record = 0; record < table.RecordCount(); ++record) {
    column.push_back(table.Text(record, index));
  }
  return column;
}

AssignmentSources SourcesFromTables(const Table& groups, const Table& teachers,
                                    const Table& subjects) {
  AssignmentSources sources;
  sources.subjectIds = Column(subjects, field::kIdSaga);
  sources.subjectCodes = Column(subjects, field::kCod);
  sources.subjectHours = Column(subjects, field::kHoras);
  sources.teacherIds = Column(teachers, field::kIdSaga);
  sources.teacherCodes = Column(teachers, field::kAbrev);
  sources.groupIds = Column(groups, field::kIdSaga);
  const std::vector<std::u16string> abrev = Column(groups, field::kAbrev);
  const std::vector<std::u16string> turno = Column(groups, field::kTurno);
  const std::vector<std::u16string> nivel = Column(groups, field::kNivel);
  const std::vector<std::u16string> curso = Column(groups, field::kCurso);
  const std::vector<std::u16string> grupo = Column(groups, field::kGrupo);
  for (std::size_t record = 0; record < abrev.size(); ++record) {
    sources.groupValues.push_back(
        {abrev[record], turno[record], nivel[record], curso[record], grupo[record]});
  }
  sources.subjectRecord = [&subjects](std::size_t record) {
    return AssignmentSources::SubjectRecord{
        subjects.RecordNumber(record), subjects.Text(record, subjects.FieldIndex(field::kNombre)),
        subjects.Text(record, subjects.FieldIndex(field::kIdSaga))};
  };
  return sources;
}

// `text` as a text field of `table` holds it and gives it back.
std::u16string Kept(std::u16string_view text, const ExchangeTable& table, std::string_view name) {
  return StoredText(text, FieldWidth(table, name));
}

[[noreturn]] void HoursOutOfRange(const AssignmentSources& sources, std::size_t record,
                                  const std::u16string& hoursText) {
  const AssignmentSources::SubjectRecord subject = sources.subjectRecord(record);
  throw TransferError("Tabla " + std::string(kAsignomt.name) + ", registro " +
                      std::to_string(subject.number) + ": las horas \"" + ToUtf8(hoursText) +
                      "\" de la asignatura \"" + ToUtf8(subject.name) + "\" (id \"" +
                      ToUtf8(subject.id) +
                      "\") dan más sesiones de las que caben en un entero de 32 bits.");
}

// The writers below hold their table's records, complete and not yet in place.

TableWriter WriteSubjects(const std::vector<SagaSubject>& subjects,
                          const std::vector<GivenCode>& given,
                          const std::filesystem::path& directory) {
  TableWriter table(directory, kAsignomt);
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

TableWriter WriteGroups(const std::vector<SagaGroup>& groups, const std::vector<GivenCode>& given,
                        const std::filesystem::path& directory) {
  TableWriter table(directory, kGrupost);
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

// The catalogue tables the run has just written, as the assignments read
// them back: every value as its field keeps it.
AssignmentSources SourcesWritten(const CatalogueSections& sections,
                                 const std::vector<GivenCode>& subjectCodes,
                                 const std::vector<GivenCode>& teacherCodes,
                                 const std::vector<GivenCode>& groupCodes) {
  AssignmentSources sources;
  for (std::size_t i = 0; i < sections.subjects.size(); ++i) {
    const SagaSubject& subject = sections.subjects[i];
    sources.subjectIds.push_back(Kept(subject.id.value_or(u""), kAsignomt, field::kIdSaga));
    sources.subjectCodes.push_back(Kept(subjectCodes[i].code, kAsignomt, field::kCod));
    const std::u16string hours = subject.hours.value_or(u"");
    sources.subjectHours.push_back(
        Kept(hours.empty() ? hours::kDefaultHours : hours, kAsignomt, field::kHoras));
  }
  for (std::size_t i = 0; i < sections.teachers.size(); ++i) {
    sources.teacherIds.push_back(
        Kept(sections.teachers[i].id.value_or(u""), kProft, field::kIdSaga));
    sources.teacherCodes.push_back(Kept(teacherCodes[i].code, kProft, field::kAbrev));
  }
  for (std::size_t i = 0; i < sections.groups.size(); ++i) {
    const SagaGroup& group = sections.groups[i];
    const codes::GroupParts parts = codes::GroupPartsOf(groupCodes[i].name);
    sources.groupIds.push_back(Kept(group.id.value_or(u""), kGrupost, field::kIdSaga));
    sources.groupValues.push_back(
        {Kept(groupCodes[i].code, kGrupost, field::kAbrev),
         Kept(RightmostChars(group.regim.value_or(u""), 1), kGrupost, field::kTurno),
         Kept(parts.nivel, kGrupost, field::kNivel), Kept(parts.curso, kGrupost, field::kCurso),
         Kept(parts.grupo, kGrupost, field::kGrupo)});
  }
  sources.subjectRecord = [&sections](std::size_t record) {
    const SagaSubject& subject = sections.subjects[record];
    return AssignmentSources::SubjectRecord{
        record + 1, Kept(subject.name.value_or(u""), kAsignomt, field::kNombre),
        Kept(subject.id.value_or(u""), kAsignomt, field::kIdSaga)};
  };
  return sources;
}

// What ASIGT stores for a subject's hours, worked out once per subject.
struct SessionValues {
  bool known = false;           // worked out
  std::optional<double> hours;  // ASIGT.HORAS; none when the subject has no hours text
  std::u16string pattern;       // ASIGT.SESIONES
};

TableWriter WriteAssignments(const std::vector<SagaGroup>& groups,
                             const std::filesystem::path& directory,
                             const AssignmentSources& sources) {
  TableWriter table(directory, kAsigt);
  // 300,000 records in a large school: each field is found once.
  const TableWriter::FieldId casigField = table.Field(field::kCAsig);
  const TableWriter::FieldId cprofField = table.Field(field::kCProf);
  const TableWriter::FieldId cgrupField = table.Field(field::kCGrup);
  const TableWriter::FieldId caulaField = table.Field(field::kCAula);
  const TableWriter::FieldId turnoField = table.Field(field::kTurno);
  const TableWriter::FieldId nivelField = table.Field(field::kNivel);
  const TableWriter::FieldId cursoField = table.Field(field::kCurso);
  const TableWriter::FieldId grupoField = table.Field(field::kGrupo);
  const TableWriter::FieldId horasField = table.Field(field::kHoras);
  const TableWriter::FieldId sesionesField = table.Field(field::kSesiones);
  const IdIndex groupIndex(sources.groupIds);
  const IdIndex teacherIndex(sources.teacherIds);
  const IdIndex subjectIndex(sources.subjectIds);
  std::vector<SessionValues> sessions(sources.subjectIds.size());
  const SessionValues noSubject{true, std::nullopt, hours::SessionsPattern(0)};
  const GroupValues noGroup;

  for (const SagaGroup& group : groups) {
    const std::optional<std::size_t> groupRecord = groupIndex.Find(group.id);
    const GroupValues& groupValues = groupRecord ? sources.groupValues[*groupRecord] : noGroup;
    for (const SagaAssignedSubject& assigned : group.subjects) {
      const std::optional<std::size_t> subject = subjectIndex.Find(assigned.id);
      const std::u16string_view casig =
          subject ? std::u16string_view(sources.subjectCodes[*subject]) : std::u16string_view();
      // A subject not found sets no hours.
      const SessionValues* values = &noSubject;
      if (subject) {
        SessionValues& known = sessions[*subject];
        if (!known.known) {
          const std::u16string& hoursText = sources.subjectHours[*subject];
          known.known = true;
          known.pattern = hours::SessionsPattern(0);
          if (!hoursText.empty()) {
            const double value = hours::HoursValue(hoursText);
            const std::optional<std::int32_t> count = hours::SessionCount(value);
            if (!count) HoursOutOfRange(sources, *subject, hoursText);
            known.hours = hours::StoredHours(value);
            known.pattern = hours::SessionsPattern(*count);
          }
        }
        values = &known;
      }
      // Only the last listed teacher decides; a subject without teachers
      // gets none.
      std::u16string_view cprof;
      for (const SagaAssignedTeacher& teacher : assigned.teachers) {
        const std::optional<std::size_t> record = teacherIndex.Find(teacher.id);
        cprof = record ? std::u16string_view(sources.teacherCodes[*record]) : std::u16string_view();
      }

      table.Append();
      table.SetText(casigField, casig);
      table.SetText(cprofField, cprof);
      table.SetText(cgrupField, groupValues.cgrup);
      table.SetText(caulaField, u"");
      table.SetText(turnoField, groupValues.turno);
      table.SetText(nivelField, groupValues.nivel);
      table.SetText(cursoField, groupValues.curso);
      table.SetText(grupoField, groupValues.grupo);
      if (values->hours) table.SetReal(horasField, *values->hours);
      table.SetText(sesionesField, values->pattern);
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
  const std::vector<SagaSubject> subjects = ReadSubjects(document);
  WriteSubjects(subjects, SubjectCodes(subjects), context.exchangeDirectory).Commit();
}

void ExportTeachers(const SagaDocument& document, const RunContext& context) {
  const std::vector<SagaNamedItem> teachers = ReadTeachers(document);
  WriteNamedItems(teachers, TeacherCodes(teachers), kProft, context.exchangeDirectory).Commit();
}

void ExportRooms(const SagaDocument& document, const RunContext& context) {
  const std::vector<SagaNamedItem> rooms = ReadLocations(document);
  WriteNamedItems(rooms, RoomCodes(rooms), kAulat, context.exchangeDirectory).Commit();
}

void ExportGroups(const SagaDocument& document, const RunContext& context) {
  const std::vector<SagaGroup> groups = ReadGroups(document);
  WriteGroups(groups, GroupCodes(groups), context.exchangeDirectory).Commit();
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
  WriteAssignments(ReadGroups(document), directory, SourcesFromTables(groups, teachers, subjects))
      .Commit();
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

CatalogueCodes GiveCatalogueCodes(const CatalogueSections& sections) {
  return {SubjectCodes(sections.subjects), TeacherCodes(sections.teachers),
          RoomCodes(sections.locations), GroupCodes(sections.groups)};
}

TableSet StageExport(const SagaDocument& document, const RunContext& context,
                     CatalogueCodes* given) {
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
    CatalogueCodes codes = GiveCatalogueCodes(sections);
    set.Add(WriteSubjects(sections.subjects, codes.subjects, directory).Finish());
    set.Add(WriteNamedItems(sections.teachers, codes.teachers, kProft, directory).Finish());
    set.Add(WriteNamedItems(sections.locations, codes.rooms, kAulat, directory).Finish());
    set.Add(WriteGroups(sections.groups, codes.groups, directory).Finish());
    // The assignments take their codes from the new catalogues, as written.
    set.Add(WriteAssignments(sections.groups, directory,
                             SourcesWritten(sections, codes.subjects, codes.teachers, codes.groups))
                .Finish());
    if (given != nullptr) *given = std::move(codes);
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

CatalogueCodes RunExportSteps(const SagaDocument& document, const RunContext& context) {
  CatalogueCodes codes;
  TableSet set = StageExport(document, context, &codes);
  CommitExchangeSet(set);
  return codes;
}

}  // namespace brivasto
