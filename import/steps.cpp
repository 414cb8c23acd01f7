// The steps that build the `time-tables` section from the exchange tables.
#include "import/steps.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <utility>

namespace brivasto {
namespace {

constexpr int kDaysInWeek = 7;
constexpr int kHoursInDay = 40;

std::string Quoted(std::u16string_view text) { return "\"" + ToUtf8(text) + "\""; }

// The list of the catalogue records that the solution uses: `list` holding
// one `entry` with `id` = IDSAGA (present even when empty) per used record.
// Returns the number of entries.
std::size_t ImportUsedRecords(XmlSectionWriter& out, const Table& catalogue,
                              std::string_view codeField, std::string_view solutionField,
                              const SolutionCodes& solution, std::string_view list,
                              std::string_view entry) {
  out.Open(list);
  const std::size_t code = catalogue.FieldIndex(codeField);
  const std::size_t sagaId = catalogue.FieldIndex(field::kIdSaga);
  std::size_t entries = 0;
  for (std::size_t record = 0; record < catalogue.RecordCount(); ++record) {
    if (!solution.IsReferencedBySolution(solutionField, catalogue.Text(record, code))) continue;
    out.Open(entry);
    out.Attribute("id", catalogue.Text(record, sagaId));
    out.Close();
    ++entries;
  }
  out.Close();
  return entries;
}

// One reference of an input: `container` holding one `entry`, whose `id` is
// the SAGA identifier found for its code, absent when that is empty.
void WriteReference(XmlSectionWriter& out, std::string_view container, std::string_view entry,
                    const std::u16string& sagaId) {
  out.Open(container);
  out.Open(entry);
  if (!sagaId.empty()) out.Attribute("id", sagaId);
  out.Close();
  out.Close();
}

}  // namespace

// ---------------------------------------------------------------------------
// Lookups.

std::uint32_t CodeTable::Add(std::u16string_view code) {
  if (2 * (ends_.size() + 1) > slots_.size()) Grow();
  const std::uint64_t hash = TextHash{}(code);
  const std::size_t at = SlotOf(code, hash);
  if (slots_[at] != 0) return static_cast<std::uint32_t>((slots_[at] & 0xFFFFFFFFu) - 1);
  codes_ += code;
  ends_.push_back(static_cast<std::uint32_t>(codes_.size()));
  slots_[at] = (hash & 0xFFFFFFFF00000000u) | ends_.size();
  return static_cast<std::uint32_t>(ends_.size() - 1);
}

std::uint32_t CodeTable::Find(std::u16string_view code) const {
  if (slots_.empty()) return kAbsent;
  const std::uint64_t slot = slots_[SlotOf(code, TextHash{}(code))];
  return slot == 0 ? kAbsent : static_cast<std::uint32_t>((slot & 0xFFFFFFFFu) - 1);
}

std::u16string_view CodeTable::Code(std::uint32_t number) const {
  const std::size_t begin = number == 0 ? 0 : ends_[number - 1];
  return std::u16string_view(codes_).substr(begin, ends_[number] - begin);
}

// The slot that holds `code`, or the free slot where it would go.
std::size_t CodeTable::SlotOf(std::u16string_view code, std::uint64_t hash) const {
  const std::uint64_t tag = hash & 0xFFFFFFFF00000000u;
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t at = hash & mask;; at = (at + 1) & mask) {
    const std::uint64_t slot = slots_[at];
    if (slot == 0) return at;
    if ((slot & 0xFFFFFFFF00000000u) == tag &&
        Code(static_cast<std::uint32_t>((slot & 0xFFFFFFFFu) - 1)) == code) {
      return at;
    }
  }
}

void CodeTable::Grow() {
  std::vector<std::uint64_t> old = std::move(slots_);
  slots_.assign(std::max<std::size_t>(16, 2 * old.size()), 0);
  const std::size_t mask = slots_.size() - 1;
  for (const std::uint64_t slot : old) {
    if (slot == 0) continue;
    const std::u16string_view code = Code(static_cast<std::uint32_t>((slot & 0xFFFFFFFFu) - 1));
    std::size_t at = TextHash{}(code)&mask;
    while (slots_[at] != 0) at = (at + 1) & mask;
    slots_[at] = slot;
  }
}

SolutionCodes::SolutionCodes(const Table& soluc) {
  const std::size_t group = soluc.FieldIndex(field::kCodGrupo);
  const std::size_t teacher = soluc.FieldIndex(field::kProf);
  const std::size_t subject = soluc.FieldIndex(field::kAsig);
  // Rows come in runs that share their codes: a code like the row before's
  // is already there.
  LastCodeMemo<std::uint32_t> lastGroup;
  LastCodeMemo<std::uint32_t> lastTeacher;
  LastCodeMemo<std::uint32_t> lastSubject;
  const auto add = [&soluc](CodeTable& codes, LastCodeMemo<std::uint32_t>& last, std::size_t record,
                            std::size_t field) {
    last.Get(soluc.Text(record, field),
             [&codes](std::u16string_view code) { return codes.Add(code); });
  };
  for (std::size_t record = 0; record < soluc.RecordCount(); ++record) {
    add(groups_, lastGroup, record, group);
    add(teachers_, lastTeacher, record, teacher);
    add(subjects_, lastSubject, record, subject);
  }
}

bool SolutionCodes::IsReferencedBySolution(std::string_view field, std::u16string_view code) const {
  const CodeTable* codes = nullptr;
  if (field == field::kCodGrupo) {
    codes = &groups_;
  } else if (field == field::kProf) {
    codes = &teachers_;
  } else if (field == field::kAsig) {
    codes = &subjects_;
  } else {
    throw TransferError("La tabla SOLUC no tiene el campo de códigos " + std::string(field) + ".");
  }
  return codes->Find(code) != CodeTable::kAbsent;
}

CatalogueLookup::CatalogueLookup(const Table& catalogue, std::string_view codeField) {
  const std::size_t code = catalogue.FieldIndex(codeField);
  const std::size_t sagaId = catalogue.FieldIndex(field::kIdSaga);
  for (std::size_t record = 0; record < catalogue.RecordCount(); ++record) {
    // The first record that holds a code gives its IDSAGA.
    if (codes_.Add(catalogue.Text(record, code)) == sagaIds_.size()) {
      sagaIds_.push_back(catalogue.Text(record, sagaId));
    }
  }
}

const std::u16string* CatalogueLookup::Find(std::u16string_view code) const {
  const std::uint32_t number = codes_.Find(code);
  return number == CodeTable::kAbsent ? nullptr : &sagaIds_[number];
}

std::u16string LookUpSagaId(std::u16string_view code, const CatalogueLookup& catalogue) {
  const std::u16string* sagaId = catalogue.Find(code);
  return sagaId != nullptr ? *sagaId : std::u16string(code);
}

void ActivityList::Add(std::u16string id, std::u16string subject, std::size_t record) {
  firstPositionByFoldedSubject_.try_emplace(CaseFolded(subject), activityIds_.size());
  activityIds_.push_back(std::move(id));
  activitySubjects_.push_back(std::move(subject));
  records_.push_back(record);
}

ActivityList NumberActivities(const Table& asignomt, const SolutionCodes& solution) {
  ActivityList activities;
  const std::size_t code = asignomt.FieldIndex(field::kCod);
  const std::size_t sagaId = asignomt.FieldIndex(field::kIdSaga);
  std::int64_t activityNumber = 1;
  for (std::size_t record = 0; record < asignomt.RecordCount(); ++record) {
    if (!solution.IsReferencedBySolution(field::kAsig, asignomt.Text(record, code))) continue;
    activities.Add(u"a" + DecimalText(activityNumber), asignomt.Text(record, sagaId), record);
    ++activityNumber;
  }
  return activities;
}

const std::u16string* ActivityOfSubjectCode(std::u16string_view code,
                                            const CatalogueLookup& subjects,
                                            const ActivityList& activities) {
  return activities.IdForSubject(LookUpSagaId(code, subjects));
}

const std::u16string* ActivityList::IdForSubject(std::u16string_view subject) const {
  const auto found = firstPositionByFoldedSubject_.find(CaseFolded(subject));
  return found == firstPositionByFoldedSubject_.end() ? nullptr : &activityIds_[found->second];
}

// ---------------------------------------------------------------------------
// Steps.

void WriteTimetableHeader(XmlSectionWriter& out) {
  constexpr int kTimetableNumber = 1;  // the run writes exactly one time-table
  out.Open("time-table");
  out.Attribute("id", u"tt" + DecimalText(kTimetableNumber));
  out.Attribute("name", u"Talvenor");
}

void ImportDaysAndIntervals(XmlSectionWriter& out, const Table& diashorast,
                            ImportedCounts& counts) {
  out.Open("days");
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
    out.Open("day");
    out.Attribute("id", DecimalText(dayNumber));
    out.Attribute("name", diashorast.Text(*dayRecords.firstRecord, dayNameField));
    ++counts.days;
    for (int hourNumber = 1; hourNumber <= kHoursInDay; ++hourNumber) {
      for (const std::size_t record :
           dayRecords.recordsByHour[static_cast<std::size_t>(hourNumber)]) {
        out.Open("interval");
        out.Attribute("id", u"i" + DecimalText(hourNumber));
        out.Attribute("begin", diashorast.Text(record, beginField));
        out.Attribute("end", PadEndTime(diashorast.Text(record, endField)));
        out.Close();
        ++counts.intervals;
      }
    }
    out.Close();
  }
  out.Close();
}

std::size_t ImportGroups(XmlSectionWriter& out, const Table& grupost,
                         const SolutionCodes& solution) {
  return ImportUsedRecords(out, grupost, field::kAbrev, field::kCodGrupo, solution, "groups",
                           "group");
}

std::size_t ImportMembers(XmlSectionWriter& out, const Table& proft,
                          const SolutionCodes& solution) {
  return ImportUsedRecords(out, proft, field::kAbrev, field::kProf, solution, "members", "member");
}

void ImportActivities(XmlSectionWriter& out, const Table& asignomt, const SolutionCodes& solution,
                      ActivityList& activities) {
  activities = NumberActivities(asignomt, solution);
  out.Open("activities");
  const std::size_t name = asignomt.FieldIndex(field::kNombre);
  for (std::size_t i = 0; i < activities.ActivityIds().size(); ++i) {
    out.Open("activity");
    out.Attribute("id", activities.ActivityIds()[i]);
    out.Attribute("name", asignomt.Text(activities.Records()[i], name));
    out.Attribute("subject", activities.ActivitySubjects()[i]);
    out.Close();
  }
  out.Close();
}

std::size_t ImportInputs(XmlSectionWriter& out, const Table& soluc,
                         const InputCatalogues& catalogues, const ActivityList& activities,
                         char16_t decimalSeparator) {
  out.Open("inputs");
  const std::size_t dayField = soluc.FieldIndex(field::kDia);
  const std::size_t hourField = soluc.FieldIndex(field::kHora);
  const std::size_t sessionsField = soluc.FieldIndex(field::kSesiones);
  const std::size_t subjectField = soluc.FieldIndex(field::kAsig);
  const std::size_t groupField = soluc.FieldIndex(field::kCodGrupo);
  const std::size_t teacherField = soluc.FieldIndex(field::kProf);
  const std::size_t roomField = soluc.FieldIndex(field::kAula);

  // The lessons of a subject share its activity: it is looked up once per
  // subject code.
  std::unordered_map<std::u16string, const std::u16string*> activityByCode;
  LastCodeMemo<const std::u16string*> lastActivity;
  LastCodeMemo<std::u16string> lastGroup;
  LastCodeMemo<std::u16string> lastTeacher;
  LastCodeMemo<std::u16string> lastRoom;
  const auto sagaIdIn = [](const CatalogueLookup& catalogue) {
    return [&catalogue](std::u16string_view code) { return LookUpSagaId(code, catalogue); };
  };
  std::int64_t inputNumber = 1;
  for (std::size_t record = 0; record < soluc.RecordCount(); ++record) {
    // Day 0 marks a lesson Talvenor did not place: it takes no number.
    if (soluc.Integer(record, dayField) == 0) continue;
    const std::u16string number = DecimalText(inputNumber);
    ++inputNumber;

    // Everything the input needs is read before it is written, so that a
    // failing row leaves no half-written input behind it.
    const std::u16string day = soluc.Text(record, dayField);
    const double hour = soluc.Real(record, hourField);
    const double sessions = soluc.Real(record, sessionsField);
    const std::u16string interval = u"i" + IntervalHourText(hour, sessions, decimalSeparator);

    // The activity: the subject code turned into its SAGA identifier (or
    // left as it is), then the first activity of that subject, ignoring case.
    const std::u16string subjectCode = soluc.Text(record, subjectField);
    const std::u16string* activityId = lastActivity.Get(subjectCode, [&](std::u16string_view code) {
      const auto [known, added] = activityByCode.try_emplace(std::u16string(code), nullptr);
      if (added) known->second = ActivityOfSubjectCode(code, catalogues.subjects, activities);
      return known->second;
    });
    if (activityId == nullptr) {
      throw TransferError("La tabla SOLUC, registro " + std::to_string(soluc.RecordNumber(record)) +
                          ", campo " + std::string(field::kAsig) + ": la asignatura " +
                          Quoted(subjectCode) + " no tiene actividad.");
    }
    out.Open("input");
    out.Attribute("id", u"input" + number);
    out.Attribute("day", day);
    out.Attribute("interval", interval);
    out.Attribute("activity", *activityId);
    WriteReference(out, "groups", "group",
                   lastGroup.Get(soluc.Text(record, groupField), sagaIdIn(catalogues.groups)));
    WriteReference(
        out, "members", "member",
        lastTeacher.Get(soluc.Text(record, teacherField), sagaIdIn(catalogues.teachers)));
    WriteReference(out, "locations", "location",
                   lastRoom.Get(soluc.Text(record, roomField), sagaIdIn(catalogues.rooms)));
    out.Close();
  }
  out.Close();
  return static_cast<std::size_t>(inputNumber - 1);
}

}  // namespace brivasto
