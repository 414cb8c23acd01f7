// The import side of the check: Talvenor's timetable (SOLUC) read against
// the day/hour frame, the catalogue tables and the assignments the export
// sent, with the lookups the import itself uses.
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "check/check.h"
#include "check/check_texts.h"
#include "import/lookups.h"

namespace brivasto {
namespace {

constexpr int kDaysInWeek = 7;
constexpr int kHoursInDay = 40;
constexpr std::size_t kListedRecords = 10;

// "registros 4, 9 y 12" (at most kListedRecords spelled out).
std::string RecordList(const std::vector<std::size_t>& records) {
  std::string text = records.size() == 1 ? "registro " : "registros ";
  for (std::size_t i = 0; i < records.size() && i < kListedRecords; ++i) {
    if (i > 0) text += i + 1 == records.size() ? " y " : ", ";
    text += std::to_string(records[i]);
  }
  if (records.size() > kListedRecords) {
    text += " y " + std::to_string(records.size() - kListedRecords) + " más";
  }
  return text;
}

// Values kept in first-seen order under a key.
template <typename Key, typename Value, typename Hash = std::hash<Key>>
class OrderedMap {
 public:
  Value& operator[](const Key& key) {
    const auto [found, added] = index_.try_emplace(key, entries_.size());
    if (added) entries_.emplace_back(key, Value{});
    return entries_[found->second].second;
  }
  const Value* Find(const Key& key) const {
    const auto found = index_.find(key);
    return found == index_.end() ? nullptr : &entries_[found->second].second;
  }
  const std::vector<std::pair<Key, Value>>& Entries() const { return entries_; }

 private:
  std::unordered_map<Key, std::size_t, Hash> index_;
  std::vector<std::pair<Key, Value>> entries_;
};

// A field name and a code hashed as one key.
struct PairHash {
  std::size_t operator()(const std::pair<std::string, std::u16string>& key) const noexcept {
    const std::size_t first = std::hash<std::string>{}(key.first);
    return first ^ (std::hash<std::u16string>{}(key.second) + 0x9E3779B97F4A7C15u + (first << 6) +
                    (first >> 2));
  }
};

// Codes numbered in first-seen order: a group and a subject make one small
// key, and each text is kept once.
class CodeNumbers {
 public:
  std::uint32_t operator()(const std::u16string& code) {
    return last_.Get(code, [this](std::u16string_view text) { return codes_.Add(text); });
  }
  std::u16string_view Text(std::uint32_t number) const { return codes_.Code(number); }

 private:
  CodeTable codes_;
  LastCodeMemo<std::uint32_t> last_;
};

// The day ids and, per day, the interval ids the import writes from the
// day/hour frame.
std::map<std::u16string, std::set<std::u16string>> FrameOf(const Table& diashorast) {
  std::map<std::u16string, std::set<std::u16string>> frame;
  const std::size_t dayField = diashorast.FieldIndex(field::kDia);
  const std::size_t hourField = diashorast.FieldIndex(field::kHora);
  for (std::size_t record = 0; record < diashorast.RecordCount(); ++record) {
    const std::optional<int> day = PlainNumeral(diashorast.Text(record, dayField), kDaysInWeek);
    if (!day) continue;
    std::set<std::u16string>& intervals = frame[DecimalText(*day)];
    const std::optional<int> hour = PlainNumeral(diashorast.Text(record, hourField), kHoursInDay);
    if (hour) intervals.insert(u"i" + DecimalText(*hour));
  }
  return frame;
}

// A group code's number in the high half, a subject code's in the low one.
using GroupAndSubject = std::uint64_t;

struct GroupAndSubjectCodes {
  CodeNumbers groups;
  CodeNumbers subjects;

  GroupAndSubject Key(const std::u16string& group, const std::u16string& subject) {
    return (std::uint64_t{groups(group)} << 32) | subjects(subject);
  }
  std::string Text(GroupAndSubject key) const {
    return "grupo " + Quoted(groups.Text(static_cast<std::uint32_t>(key >> 32))) + ", asignatura " +
           Quoted(subjects.Text(static_cast<std::uint32_t>(key)));
  }
};

using HoursByGroupAndSubject = OrderedMap<GroupAndSubject, double>;

// The hours ASIGT sent per group and subject, in record order.
HoursByGroupAndSubject HoursSent(const Table& asigt, GroupAndSubjectCodes& codes) {
  HoursByGroupAndSubject sent;
  const std::size_t group = asigt.FieldIndex(field::kCGrup);
  const std::size_t subject = asigt.FieldIndex(field::kCAsig);
  const std::size_t hours = asigt.FieldIndex(field::kHoras);
  for (std::size_t record = 0; record < asigt.RecordCount(); ++record) {
    sent[codes.Key(asigt.Text(record, group), asigt.Text(record, subject))] +=
        asigt.Real(record, hours);
  }
  return sent;
}

void CompareRoundTrip(const HoursByGroupAndSubject& sent, const HoursByGroupAndSubject& placed,
                      const GroupAndSubjectCodes& codes, CheckReport& report) {
  constexpr double kTolerance = 1e-6;
  WarningsOfOneKind differences(
      report.warnings, "grupos y asignaturas con horas colocadas distintas de las enviadas");
  auto compare = [&](const GroupAndSubject& key, double out, double back) {
    if (std::fabs(out - back) <= kTolerance) return;
    differences.Add([&] {
      const std::string line = codes.Text(key) + ": enviadas " + HoursText(out) + " h, colocadas " +
                               HoursText(back) + " h; ";
      return line + (out > back ? "faltan " + HoursText(out - back) + " h"
                                : "sobran " + HoursText(back - out) + " h");
    });
  };
  for (const auto& [key, out] : sent.Entries()) {
    const double* back = placed.Find(key);
    compare(key, out, back != nullptr ? *back : 0.0);
  }
  for (const auto& [key, back] : placed.Entries()) {
    if (sent.Find(key) == nullptr) compare(key, 0.0, back);
  }
  differences.Finish();
}

}  // namespace

CheckReport CheckImportSide(const RunContext& context, bool lookForOrigin) {
  CheckReport report;
  // Before the tables are held below: the history's tables may be the same files.
  const TimetableOrigin origin = lookForOrigin ? FindTimetableOrigin(context) : TimetableOrigin{};
  if (origin.Stale()) {
    report.stops.push_back(StaleTimetableText(origin, 0));
    for (const ChangedCode& change : origin.changes) {
      report.stops.push_back("Código que cambió de significado: " + ChangedCodeText(change));
    }
  }
  auto open = [&](std::string_view name) -> std::optional<Table> {
    try {
      Table table = Table::Open(context.exchangeDirectory, name, context.decimalSeparator);
      if (!table.CodePageNotice().empty()) report.warnings.push_back(table.CodePageNotice());
      return table;
    } catch (const TransferError& error) {
      report.stops.push_back(error.what());
      return std::nullopt;
    }
  };
  std::optional<Table> soluc = open(kSolucName);
  std::optional<Table> diashorast = open(kDiashorast.name);
  std::optional<Table> grupost = open(kGrupost.name);
  std::optional<Table> proft = open(kProft.name);
  std::optional<Table> asignomt = open(kAsignomt.name);
  std::optional<Table> aulat = open(kAulat.name);
  if (!soluc || !diashorast || !grupost || !proft || !asignomt || !aulat) return report;

  GroupAndSubjectCodes groupAndSubjectCodes;
  HoursByGroupAndSubject placed;
  try {
    const auto frame = FrameOf(*diashorast);
    const SolutionCodes solution(*soluc);
    const CatalogueLookup subjects(*asignomt, field::kCod);
    const CatalogueLookup groups(*grupost, field::kAbrev);
    const CatalogueLookup teachers(*proft, field::kAbrev);
    const CatalogueLookup rooms(*aulat, field::kAbrev);

    const ActivityList activities = NumberActivities(*asignomt, solution);

    const std::size_t dayField = soluc->FieldIndex(field::kDia);
    const std::size_t hourField = soluc->FieldIndex(field::kHora);
    const std::size_t sessionsField = soluc->FieldIndex(field::kSesiones);
    struct CodeField {
      std::string_view field;
      std::size_t index;
      const CatalogueLookup& catalogue;
      std::string_view table;
      bool emptyAllowed;  // an empty code leaves the reference without id
    };
    const CodeField codeFields[] = {
        {field::kCodGrupo, soluc->FieldIndex(field::kCodGrupo), groups, kGrupost.name, true},
        {field::kProf, soluc->FieldIndex(field::kProf), teachers, kProft.name, true},
        {field::kAsig, soluc->FieldIndex(field::kAsig), subjects, kAsignomt.name, false},
        {field::kAula, soluc->FieldIndex(field::kAula), rooms, kAulat.name, true},
    };

    OrderedMap<std::pair<std::string, std::u16string>, std::vector<std::size_t>, PairHash>
        unknownCodes;
    std::vector<std::size_t> unplaced;
    std::unordered_map<std::u16string, bool> hasActivity;  // by subject code
    std::array<LastCodeMemo<bool>, 4> lastKnown;           // per code field
    LastCodeMemo<bool> lastHasActivity;
    WarningsOfOneKind outsideFrame(report.warnings,
                                   "sesiones fuera del marco de días y horas (DIASHORAST)");
    for (std::size_t record = 0; record < soluc->RecordCount(); ++record) {
      const std::size_t number = soluc->RecordNumber(record);
      std::array<std::u16string, 4> values;
      for (std::size_t i = 0; i < values.size(); ++i) {
        const CodeField& code = codeFields[i];
        values[i] = soluc->Text(record, code.index);
        const std::u16string& value = values[i];
        const bool known = lastKnown[i].Get(value, [&](std::u16string_view text) {
          return (text.empty() && code.emptyAllowed) || code.catalogue.Find(text) != nullptr;
        });
        if (!known) unknownCodes[{std::string(code.field), value}].push_back(number);
      }
      try {
        if (soluc->Integer(record, dayField) == 0) {
          unplaced.push_back(number);
          continue;
        }
        const double hour = soluc->Real(record, hourField);
        const double sessions = soluc->Real(record, sessionsField);
        const std::u16string& subjectCode = values[2];
        const std::u16string& groupCode = values[0];
        // The lessons of a subject share its activity, looked up once.
        const bool withActivity = lastHasActivity.Get(subjectCode, [&](std::u16string_view code) {
          const auto [known, added] = hasActivity.try_emplace(std::u16string(code), false);
          if (added) known->second = ActivityOfSubjectCode(code, subjects, activities) != nullptr;
          return known->second;
        });
        if (!withActivity) {
          report.stops.push_back("La tabla SOLUC, registro " + std::to_string(number) + ", campo " +
                                 std::string(field::kAsig) + ": la asignatura " +
                                 Quoted(subjectCode) + " no tiene actividad.");
        }
        const std::u16string day = soluc->Text(record, dayField);
        const std::u16string interval =
            u"i" + IntervalHourText(hour, sessions, context.decimalSeparator);
        const auto frameDay = frame.find(day);
        if (frameDay == frame.end() || !frameDay->second.contains(interval)) {
          outsideFrame.Add([&] {
            return "SOLUC, registro " + std::to_string(number) + ": la sesión del día " +
                   ToUtf8(day) + ", intervalo " + ToUtf8(interval) + " (" +
                   groupAndSubjectCodes.Text(groupAndSubjectCodes.Key(groupCode, subjectCode)) +
                   ") no está en el marco de días y horas (DIASHORAST)";
          });
        }
        placed[groupAndSubjectCodes.Key(groupCode, subjectCode)] += sessions;
      } catch (const TransferError& error) {
        report.stops.push_back(error.what());
      }
    }
    outsideFrame.Finish();
    WarningsOfOneKind unknown(report.warnings, "códigos de SOLUC que no están en sus tablas");
    for (const auto& [code, records] : unknownCodes.Entries()) {
      unknown.Add([&] {
        const CodeField* which = nullptr;
        for (const CodeField& candidate : codeFields) {
          if (candidate.field == code.first) which = &candidate;
        }
        return "SOLUC, campo " + code.first + ": el código " + Quoted(code.second) +
               " no está en " + std::string(which->table) + " (" + RecordList(records) +
               "); ¿horario hecho con otra exportación?";
      });
    }
    unknown.Finish();
    if (!unplaced.empty()) {
      const bool one = unplaced.size() == 1;
      report.warnings.push_back("SOLUC: " + std::to_string(unplaced.size()) +
                                (one ? " sesión sin colocar (día 0), que no se importa ("
                                     : " sesiones sin colocar (día 0), que no se importan (") +
                                RecordList(unplaced) + ")");
    }
  } catch (const TransferError& error) {
    report.stops.push_back(error.what());
    return report;
  }

  // The round trip, against what the export sent.
  soluc.reset();
  try {
    const Table asigt =
        Table::Open(context.exchangeDirectory, kAsigt.name, context.decimalSeparator);
    if (!asigt.CodePageNotice().empty()) report.warnings.push_back(asigt.CodePageNotice());
    CompareRoundTrip(HoursSent(asigt, groupAndSubjectCodes), placed, groupAndSubjectCodes, report);
  } catch (const TransferError& error) {
    report.warnings.push_back(std::string("No se pueden comparar las horas enviadas con las "
                                          "colocadas: ") +
                              error.what());
  }
  return report;
}

}  // namespace brivasto
