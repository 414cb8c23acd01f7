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
                    std::u16string_view sagaId) {
  out.Open(container);
  out.Open(entry);
  if (!sagaId.empty()) out.Attribute("id", sagaId);
  out.Close();
  out.Close();
}

// The code's hash with every bit mixed into the low ones that pick its
// slot: codes that differ only in a few characters ("G0001", "G0002")
// otherwise land in runs of neighbouring slots.
std::uint64_t SlotHash(std::u16string_view code) {
  std::uint64_t hash = TextHash{}(code);
  hash ^= hash >> 33;
  hash *= 0xff51afd7ed558ccdu;
  hash ^= hash >> 33;
  hash *= 0xc4ceb9fe1a85ec53u;
  hash ^= hash >> 33;
  return hash;
}

// A key's bits mixed into the low ones that pick its slot.
std::uint64_t KeyHash(std::uint64_t key) {
  key ^= key >> 33;
  key *= 0xff51afd7ed558ccdu;
  key ^= key >> 33;
  return key;
}

}  // namespace

// ---------------------------------------------------------------------------
// Lookups.

std::uint32_t CodeTable::Add(std::u16string_view code) {
  if (2 * (ends_.size() + 1) > slots_.size()) Grow();
  const std::uint64_t hash = SlotHash(code);
  const std::size_t at = SlotOf(code, hash);
  if (slots_[at] != 0) return static_cast<std::uint32_t>((slots_[at] & 0xFFFFFFFFu) - 1);
  codes_ += code;
  ends_.push_back(static_cast<std::uint32_t>(codes_.size()));
  slots_[at] = (hash & 0xFFFFFFFF00000000u) | ends_.size();
  return static_cast<std::uint32_t>(ends_.size() - 1);
}

std::uint32_t CodeTable::Find(std::u16string_view code) const {
  if (slots_.empty()) return kAbsent;
  const std::uint64_t slot = slots_[SlotOf(code, SlotHash(code))];
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
    std::size_t at = SlotHash(code) & mask;
    while (slots_[at] != 0) at = (at + 1) & mask;
    slots_[at] = slot;
  }
}

SolutionCodes::SolutionCodes(const Table& soluc) {
  std::array<std::size_t, kSolucCodes> fields{};
  fields[kGroupCode] = soluc.FieldIndex(field::kCodGrupo);
  fields[kTeacherCode] = soluc.FieldIndex(field::kProf);
  fields[kSubjectCode] = soluc.FieldIndex(field::kAsig);
  const bool withRooms = soluc.HasField(field::kAula);
  if (withRooms) fields[kRoomCode] = soluc.FieldIndex(field::kAula);
  // Rows come in runs that share their codes: a code like the row before's
  // is already there.
  std::array<LastCodeMemo<std::uint32_t>, kSolucCodes> last;
  std::u16string code;
  rows_.resize(kSolucCodes * soluc.RecordCount());
  for (std::size_t record = 0; record < soluc.RecordCount(); ++record) {
    for (std::size_t kind = 0; kind < kSolucCodes; ++kind) {
      if (kind == kRoomCode && !withRooms) continue;
      soluc.ReadText(record, fields[kind], code);
      CodeTable& codes = codes_[kind];
      rows_[kSolucCodes * record + kind] =
          last[kind].Get(code, [&codes](std::u16string_view text) { return codes.Add(text); });
    }
  }
}

std::array<CodeTable, kSolucCodes> SolutionCodes::TakeCodes() && {
  rows_ = {};
  return std::move(codes_);
}

bool SolutionCodes::IsReferencedBySolution(std::string_view field, std::u16string_view code) const {
  const CodeTable* codes = nullptr;
  if (field == field::kCodGrupo) {
    codes = &codes_[kGroupCode];
  } else if (field == field::kProf) {
    codes = &codes_[kTeacherCode];
  } else if (field == field::kAsig) {
    codes = &codes_[kSubjectCode];
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
// The pass over SOLUC.

void OrderedSums::Reserve(std::size_t keys) {
  keys_.reserve(keys);
  sums_.reserve(keys);
  std::size_t slots = 16;
  while (slots < 2 * keys) slots *= 2;
  if (slots > slots_.size()) Rehash(slots);
}

void OrderedSums::Rehash(std::size_t slots) {
  slots_.assign(slots, 0);
  const std::size_t mask = slots_.size() - 1;
  for (std::size_t i = 0; i < keys_.size(); ++i) {
    std::size_t at = KeyHash(keys_[i]) & mask;
    while (slots_[at] != 0) at = (at + 1) & mask;
    slots_[at] = static_cast<std::uint32_t>(i + 1);
  }
}

double& OrderedSums::operator[](std::uint64_t key) {
  if (2 * (keys_.size() + 1) > slots_.size()) Rehash(std::max<std::size_t>(16, 2 * slots_.size()));
  const std::size_t at = SlotOf(key);
  if (slots_[at] == 0) {
    keys_.push_back(key);
    sums_.push_back(0);
    slots_[at] = static_cast<std::uint32_t>(keys_.size());
  }
  return sums_[slots_[at] - 1];
}

const double* OrderedSums::Find(std::uint64_t key) const {
  if (slots_.empty()) return nullptr;
  const std::uint32_t slot = slots_[SlotOf(key)];
  return slot == 0 ? nullptr : &sums_[slot - 1];
}

std::size_t OrderedSums::SlotOf(std::uint64_t key) const {
  const std::size_t mask = slots_.size() - 1;
  std::size_t at = KeyHash(key) & mask;
  while (slots_[at] != 0 && keys_[slots_[at] - 1] != key) at = (at + 1) & mask;
  return at;
}

DayHourFrame FrameOfDays(const Table& diashorast) {
  DayHourFrame frame{};
  const std::size_t dayField = diashorast.FieldIndex(field::kDia);
  const std::size_t hourField = diashorast.FieldIndex(field::kHora);
  for (std::size_t record = 0; record < diashorast.RecordCount(); ++record) {
    const std::optional<int> day = PlainNumeral(diashorast.Text(record, dayField), kDaysInWeek);
    if (!day) continue;
    const std::optional<int> hour = PlainNumeral(diashorast.Text(record, hourField), kHoursInDay);
    if (hour) frame[static_cast<std::size_t>(*day)][static_cast<std::size_t>(*hour)] = true;
  }
  return frame;
}

SolutionPass::SolutionPass(const Table& soluc, const DayHourFrame& frame,
                           const SolutionCodes& codes, const CatalogueLookup& subjects,
                           const CatalogueLookup& groups, const CatalogueLookup& teachers,
                           const CatalogueLookup& rooms, const ActivityList& activities,
                           char16_t decimalSeparator)
    : soluc_(soluc),
      codes_(codes),
      decimalSeparator_(decimalSeparator),
      dayField_(soluc.FieldIndex(field::kDia)),
      hourField_(soluc.FieldIndex(field::kHora)),
      sessionsField_(soluc.FieldIndex(field::kSesiones)),
      roomField_(soluc.FieldIndex(field::kAula)),
      frame_(frame) {
  const std::array<const CatalogueLookup*, kSolucCodes> catalogues = {&groups, &teachers, &subjects,
                                                                      &rooms};
  for (std::size_t kind = 0; kind < kSolucCodes; ++kind) {
    const CodeTable& kindCodes = codes.Codes(static_cast<SolucCode>(kind));
    for (std::uint32_t number = 0; number < kindCodes.Size(); ++number) {
      sagaIds_[kind].Add(catalogues[kind]->Find(kindCodes.Code(number)));
    }
  }
  const CodeTable& subjectCodes = codes.Codes(kSubjectCode);
  for (std::uint32_t number = 0; number < subjectCodes.Size(); ++number) {
    activities_.Add(ActivityOfSubjectCode(subjectCodes.Code(number), subjects, activities));
  }
}

void NumberedTexts::Add(const std::u16string* text) {
  if (text != nullptr) texts_ += *text;
  ends_.push_back(static_cast<std::uint32_t>(texts_.size()));
  has_.push_back(text != nullptr);
}

std::u16string_view NumberedTexts::Text(std::uint32_t number) const {
  const std::size_t begin = number == 0 ? 0 : ends_[number - 1];
  return std::u16string_view(texts_).substr(begin, ends_[number] - begin);
}

void SolutionPass::Run(SolutionFindings& findings,
                       const std::function<void(const SolutionInput&)>& input,
                       const std::function<void(const TransferError&)>& problem) const {
  SolutionInput lesson;
  // At most one group and subject per row.
  findings.placed.Reserve(soluc_.RecordCount());
  for (std::size_t record = 0; record < soluc_.RecordCount(); ++record) {
    const std::size_t number = soluc_.RecordNumber(record);
    std::array<std::uint32_t, kSolucCodes> code{};
    for (std::size_t kind = 0; kind < kSolucCodes; ++kind) {
      code[kind] = codes_.CodeOfRow(record, static_cast<SolucCode>(kind));
      // An empty code leaves a reference without id, but a lesson needs
      // its subject.
      const bool known = sagaIds_[kind].Has(code[kind]) ||
                         (kind != kSubjectCode &&
                          codes_.Codes(static_cast<SolucCode>(kind)).Code(code[kind]).empty());
      if (!known) {
        findings.unknownCodes.push_back(
            {static_cast<std::uint32_t>(number), static_cast<SolucCode>(kind), code[kind]});
      }
    }
    double sessions = 0;
    try {
      // Day 0 marks a lesson Talvenor did not place.
      if (soluc_.Integer(record, dayField_) == 0) {
        findings.unplaced.push_back(number);
        continue;
      }
      const double hour = soluc_.Real(record, hourField_);
      sessions = soluc_.Real(record, sessionsField_);
      lesson.interval = u"i" + IntervalHourText(hour, sessions, decimalSeparator_);
    } catch (const TransferError& error) {
      problem(error);
      continue;
    }
    lesson.record = record;
    const bool withActivity = activities_.Has(code[kSubjectCode]);
    lesson.activity = withActivity ? activities_.Text(code[kSubjectCode]) : std::u16string_view();
    if (!withActivity) {
      problem(TransferError("La tabla SOLUC, registro " + std::to_string(number) + ", campo " +
                            std::string(field::kAsig) + ": la asignatura " +
                            Quoted(codes_.Codes(kSubjectCode).Code(code[kSubjectCode])) +
                            " no tiene actividad."));
    }
    soluc_.ReadText(record, dayField_, lesson.day);
    const std::optional<int> day = PlainNumeral(lesson.day, kDaysInWeek);
    const std::optional<int> hour =
        PlainNumeral(std::u16string_view(lesson.interval).substr(1), kHoursInDay);
    if (!day || !hour || !frame_[static_cast<std::size_t>(*day)][static_cast<std::size_t>(*hour)]) {
      findings.outsideFrame.push_back(
          {number, lesson.day, lesson.interval, code[kGroupCode], code[kSubjectCode]});
    }
    findings.placed[(std::uint64_t{code[kGroupCode]} << 32) | code[kSubjectCode]] += sessions;
    const auto sagaId = [&](SolucCode kind) {
      return sagaIds_[kind].Has(code[kind]) ? sagaIds_[kind].Text(code[kind])
                                            : codes_.Codes(kind).Code(code[kind]);
    };
    lesson.group = sagaId(kGroupCode);
    lesson.teacher = sagaId(kTeacherCode);
    lesson.room = sagaId(kRoomCode);
    input(lesson);
  }
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

std::size_t ImportInputs(XmlSectionWriter& out, const SolutionPass& pass,
                         SolutionFindings& findings) {
  out.Open("inputs");
  std::int64_t inputNumber = 1;
  std::u16string id = u"input";
  pass.Run(
      findings,
      [&](const SolutionInput& lesson) {
        id.resize(5);
        id += DecimalText(inputNumber);
        ++inputNumber;
        out.Open("input");
        out.Attribute("id", id);
        out.Attribute("day", lesson.day);
        out.Attribute("interval", lesson.interval);
        out.Attribute("activity", lesson.activity);
        WriteReference(out, "groups", "group", lesson.group);
        WriteReference(out, "members", "member", lesson.teacher);
        WriteReference(out, "locations", "location", lesson.room);
        out.Close();
      },
      [](const TransferError& error) { throw error; });
  out.Close();
  return static_cast<std::size_t>(inputNumber - 1);
}

}  // namespace brivasto
