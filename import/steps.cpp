// The steps that build the `time-tables` section from the exchange tables.
#include "import/steps.h"

#include <array>
#include <cstdint>
#include <utility>

namespace brivasto {
namespace {

constexpr int kDaysInWeek = 7;
constexpr int kHoursInDay = 40;

// Appends a new element named `name` to `parent` and returns it. Elements go
// into the tree as soon as they are made, so that the document owns each one
// even when a later read fails.
XmlNode AppendElement(SagaDocument& document, XmlNode parent, std::string_view name) {
  XmlNode element = document.CreateElement(name);
  parent.AppendChild(element);
  return element;
}

std::string Quoted(std::u16string_view text) { return "\"" + ToUtf8(text) + "\""; }

// The list of the catalogue records that the solution uses: `list` holding
// one `entry` with `id` = IDSAGA (present even when empty) per used record.
void ImportUsedRecords(SagaDocument& document, XmlNode timeTable, const Table& catalogue,
                       std::string_view codeField, std::string_view solutionField,
                       const SolutionCodes& solution, std::string_view list,
                       std::string_view entry) {
  XmlNode listElement = AppendElement(document, timeTable, list);
  const std::size_t code = catalogue.FieldIndex(codeField);
  const std::size_t sagaId = catalogue.FieldIndex(field::kIdSaga);
  for (std::size_t record = 0; record < catalogue.RecordCount(); ++record) {
    if (!solution.IsReferencedBySolution(solutionField, catalogue.Text(record, code))) continue;
    AppendElement(document, listElement, entry).SetAttribute("id", catalogue.Text(record, sagaId));
  }
}

// One reference of an input: `container` holding one `entry`, whose `id` is
// the SAGA identifier found for `code`, absent when that is empty.
void AppendReference(SagaDocument& document, XmlNode input, std::string_view container,
                     std::string_view entry, std::u16string_view code,
                     const CatalogueLookup& catalogue) {
  XmlNode containerElement = AppendElement(document, input, container);
  XmlNode entryElement = AppendElement(document, containerElement, entry);
  const std::u16string sagaId = LookUpSagaId(code, catalogue);
  if (!sagaId.empty()) entryElement.SetAttribute("id", sagaId);
}

}  // namespace

// ---------------------------------------------------------------------------
// Lookups.

SolutionCodes::SolutionCodes(const Table& soluc) {
  const std::size_t group = soluc.FieldIndex(field::kCodGrupo);
  const std::size_t teacher = soluc.FieldIndex(field::kProf);
  const std::size_t subject = soluc.FieldIndex(field::kAsig);
  for (std::size_t record = 0; record < soluc.RecordCount(); ++record) {
    groups_.insert(soluc.Text(record, group));
    teachers_.insert(soluc.Text(record, teacher));
    subjects_.insert(soluc.Text(record, subject));
  }
}

bool SolutionCodes::IsReferencedBySolution(std::string_view field, std::u16string_view code) const {
  const std::unordered_set<std::u16string>* codes = nullptr;
  if (field == field::kCodGrupo) {
    codes = &groups_;
  } else if (field == field::kProf) {
    codes = &teachers_;
  } else if (field == field::kAsig) {
    codes = &subjects_;
  } else {
    throw TransferError("La tabla SOLUC no tiene el campo de códigos " + std::string(field) + ".");
  }
  return codes->contains(std::u16string(code));
}

CatalogueLookup::CatalogueLookup(const Table& catalogue, std::string_view codeField) {
  const std::size_t code = catalogue.FieldIndex(codeField);
  const std::size_t sagaId = catalogue.FieldIndex(field::kIdSaga);
  for (std::size_t record = 0; record < catalogue.RecordCount(); ++record) {
    // try_emplace keeps the first record that holds a code.
    sagaIdByCode_.try_emplace(catalogue.Text(record, code), catalogue.Text(record, sagaId));
  }
}

const std::u16string* CatalogueLookup::Find(std::u16string_view code) const {
  const auto found = sagaIdByCode_.find(std::u16string(code));
  return found == sagaIdByCode_.end() ? nullptr : &found->second;
}

std::u16string LookUpSagaId(std::u16string_view code, const CatalogueLookup& catalogue) {
  const std::u16string* sagaId = catalogue.Find(code);
  return sagaId != nullptr ? *sagaId : std::u16string(code);
}

void ActivityList::Add(std::u16string id, std::u16string subject) {
  firstPositionByFoldedSubject_.try_emplace(CaseFolded(subject), activityIds_.size());
  activityIds_.push_back(std::move(id));
  activitySubjects_.push_back(std::move(subject));
}

const std::u16string* ActivityList::IdForSubject(std::u16string_view subject) const {
  const auto found = firstPositionByFoldedSubject_.find(CaseFolded(subject));
  return found == firstPositionByFoldedSubject_.end() ? nullptr : &activityIds_[found->second];
}

// ---------------------------------------------------------------------------
// Steps.

XmlNode ReplaceTimetableSection(SagaDocument& document, XmlNode root) {
  for (XmlNode earlier = root.SelectSingleNode("time-tables"); earlier;
       earlier = root.SelectSingleNode("time-tables")) {
    root.RemoveChild(earlier);
  }
  root.AppendChild(document.CreateElement("time-tables"));
  return root.SelectSingleNode("time-tables");
}

XmlNode WriteTimetableHeader(SagaDocument& document, XmlNode timeTables) {
  constexpr int kTimetableNumber = 1;  // the run writes exactly one time-table
  XmlNode timeTable = AppendElement(document, timeTables, "time-table");
  timeTable.SetAttribute("id", u"tt" + DecimalText(kTimetableNumber));
  timeTable.SetAttribute("name", u"Talvenor");
  return timeTable;
}

void ImportDaysAndIntervals(SagaDocument& document, XmlNode timeTable, const Table& diashorast) {
  XmlNode days = AppendElement(document, timeTable, "days");
  const std::size_t dayField = diashorast.FieldIndex(field::kDia);
  const std::size_t dayNameField = diashorast.FieldIndex(field::kTextoDia);
  const std::size_t hourField = diashorast.FieldIndex(field::kHora);
  const std::size_t beginField = diashorast.FieldIndex(field::kHoraDesde);
  const std::size_t endField = diashorast.FieldIndex(field::kHoraHasta);

  // One pass gathers, per day number, the first record naming the day and
  // the records of each hour number in record order.
  struct DayRecords {
    std::optional<std::size_t> firstRecord;
    std::array<std::vector<std::size_t>, kHoursInDay + 1> recordsByHour;  // [0] unused
  };
  std::array<DayRecords, kDaysInWeek + 1> week;  // [0] unused
  for (std::size_t record = 0; record < diashorast.RecordCount(); ++record) {
    const std::optional<int> day = PlainNumeral(diashorast.Text(record, dayField), kDaysInWeek);
    if (!day) continue;
    DayRecords& dayRecords = week[static_cast<std::size_t>(*day)];
    if (!dayRecords.firstRecord) dayRecords.firstRecord = record;
    const std::optional<int> hour = PlainNumeral(diashorast.Text(record, hourField), kHoursInDay);
    if (hour) dayRecords.recordsByHour[static_cast<std::size_t>(*hour)].push_back(record);
  }

  for (int dayNumber = 1; dayNumber <= kDaysInWeek; ++dayNumber) {
    const DayRecords& dayRecords = week[static_cast<std::size_t>(dayNumber)];
    if (!dayRecords.firstRecord) continue;  // ids are not renumbered
    XmlNode day = AppendElement(document, days, "day");
    day.SetAttribute("id", DecimalText(dayNumber));
    day.SetAttribute("name", diashorast.Text(*dayRecords.firstRecord, dayNameField));
    for (int hourNumber = 1; hourNumber <= kHoursInDay; ++hourNumber) {
      for (const std::size_t record :
           dayRecords.recordsByHour[static_cast<std::size_t>(hourNumber)]) {
        XmlNode interval = AppendElement(document, day, "interval");
        interval.SetAttribute("id", u"i" + DecimalText(hourNumber));
        interval.SetAttribute("begin", diashorast.Text(record, beginField));
        interval.SetAttribute("end", PadEndTime(diashorast.Text(record, endField)));
      }
    }
  }
}

void ImportGroups(SagaDocument& document, XmlNode timeTable, const Table& grupost,
                  const SolutionCodes& solution) {
  ImportUsedRecords(document, timeTable, grupost, field::kAbrev, field::kCodGrupo, solution,
                    "groups", "group");
}

void ImportMembers(SagaDocument& document, XmlNode timeTable, const Table& proft,
                   const SolutionCodes& solution) {
  ImportUsedRecords(document, timeTable, proft, field::kAbrev, field::kProf, solution, "members",
                    "member");
}

void ImportActivities(SagaDocument& document, XmlNode timeTable, const Table& asignomt,
                      const SolutionCodes& solution, ActivityList& activities) {
  XmlNode list = AppendElement(document, timeTable, "activities");
  const std::size_t code = asignomt.FieldIndex(field::kCod);
  const std::size_t name = asignomt.FieldIndex(field::kNombre);
  const std::size_t sagaId = asignomt.FieldIndex(field::kIdSaga);
  std::int64_t activityNumber = 1;
  for (std::size_t record = 0; record < asignomt.RecordCount(); ++record) {
    if (!solution.IsReferencedBySolution(field::kAsig, asignomt.Text(record, code))) continue;
    const std::u16string id = u"a" + DecimalText(activityNumber);
    const std::u16string subject = asignomt.Text(record, sagaId);
    XmlNode activity = AppendElement(document, list, "activity");
    activity.SetAttribute("id", id);
    activity.SetAttribute("name", asignomt.Text(record, name));
    activity.SetAttribute("subject", subject);
    activities.Add(id, subject);
    ++activityNumber;
  }
}

void ImportInputs(SagaDocument& document, XmlNode timeTable, const Table& soluc,
                  const InputCatalogues& catalogues, const ActivityList& activities,
                  char16_t decimalSeparator) {
  XmlNode inputs = AppendElement(document, timeTable, "inputs");
  const std::size_t dayField = soluc.FieldIndex(field::kDia);
  const std::size_t hourField = soluc.FieldIndex(field::kHora);
  const std::size_t sessionsField = soluc.FieldIndex(field::kSesiones);
  const std::size_t subjectField = soluc.FieldIndex(field::kAsig);
  const std::size_t groupField = soluc.FieldIndex(field::kCodGrupo);
  const std::size_t teacherField = soluc.FieldIndex(field::kProf);
  const std::size_t roomField = soluc.FieldIndex(field::kAula);

  std::int64_t inputNumber = 1;
  for (std::size_t record = 0; record < soluc.RecordCount(); ++record) {
    // Day 0 marks a lesson Talvenor did not place: it takes no number.
    if (soluc.Integer(record, dayField) == 0) continue;
    const std::u16string number = DecimalText(inputNumber);
    ++inputNumber;

    XmlNode input = AppendElement(document, inputs, "input");
    input.SetAttribute("id", u"input" + number);
    input.SetAttribute("day", soluc.Text(record, dayField));
    const double hour = soluc.Real(record, hourField);
    const double sessions = soluc.Real(record, sessionsField);
    input.SetAttribute("interval", u"i" + IntervalHourText(hour, sessions, decimalSeparator));

    // The activity: the subject code turned into its SAGA identifier (or
    // left as it is), then the first activity of that subject, ignoring case.
    const std::u16string subjectCode = soluc.Text(record, subjectField);
    const std::u16string subject = LookUpSagaId(subjectCode, catalogues.subjects);
    const std::u16string* activityId = activities.IdForSubject(subject);
    if (activityId == nullptr) {
      throw TransferError("La tabla SOLUC, registro " + std::to_string(soluc.RecordNumber(record)) +
                          ", campo " + std::string(field::kAsig) + ": la asignatura " +
                          Quoted(subjectCode) + " no tiene actividad.");
    }
    input.SetAttribute("activity", *activityId);

    AppendReference(document, input, "groups", "group", soluc.Text(record, groupField),
                    catalogues.groups);
    AppendReference(document, input, "members", "member", soluc.Text(record, teacherField),
                    catalogues.teachers);
    AppendReference(document, input, "locations", "location", soluc.Text(record, roomField),
                    catalogues.rooms);
  }
}

}  // namespace brivasto
