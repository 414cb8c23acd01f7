// The import side of the check: Talvenor's timetable (SOLUC) read against
// the day/hour frame, the catalogue tables and the assignments the export
// sent, with the lookups the import itself uses.
#include <array>
#include <cmath>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "check/check.h"
#include "check/check_texts.h"
#include "import/lookups.h"

namespace brivasto {
namespace {

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

// The group and subject codes of the round trip: SOLUC's, numbered as the
// import numbered them, and those only ASIGT holds, numbered after them with
// the high bit set.
class GroupAndSubjectCodes {
 public:
  explicit GroupAndSubjectCodes(const SolutionFindings& findings) : findings_(findings) {}

  std::uint64_t Key(std::u16string_view group, std::u16string_view subject) {
    return (std::uint64_t{Number(kGroupCode, group)} << 32) | Number(kSubjectCode, subject);
  }
  std::string Text(std::uint64_t key) const {
    return "grupo " + Quoted(Code(kGroupCode, static_cast<std::uint32_t>(key >> 32))) +
           ", asignatura " + Quoted(Code(kSubjectCode, static_cast<std::uint32_t>(key)));
  }

 private:
  static constexpr std::uint32_t kOnlySent = 0x80000000u;
  std::uint32_t Number(SolucCode kind, std::u16string_view code) {
    const std::uint32_t number = findings_.codes[kind].Find(code);
    if (number != CodeTable::kAbsent) return number;
    return kOnlySent | onlySent_[kind == kGroupCode ? 0 : 1].Add(code);
  }
  std::u16string_view Code(SolucCode kind, std::uint32_t number) const {
    if ((number & kOnlySent) == 0) return findings_.codes[kind].Code(number);
    return onlySent_[kind == kGroupCode ? 0 : 1].Code(number & ~kOnlySent);
  }

  const SolutionFindings& findings_;
  std::array<CodeTable, 2> onlySent_;  // groups, subjects
};

// The hours ASIGT sent per group and subject, in record order; ASIGT is
// read once from start to end.
OrderedSums HoursSent(const Table& asigt, GroupAndSubjectCodes& codes) {
  OrderedSums sent;
  const std::size_t group = asigt.FieldIndex(field::kCGrup);
  const std::size_t subject = asigt.FieldIndex(field::kCAsig);
  const std::size_t hours = asigt.FieldIndex(field::kHoras);
  std::u16string groupCode;
  std::u16string subjectCode;
  std::u16string lastGroup;
  std::u16string lastSubject;
  std::uint64_t key = 0;
  bool known = false;
  for (std::size_t record = 0; record < asigt.RecordCount(); ++record) {
    asigt.ReadText(record, group, groupCode);
    asigt.ReadText(record, subject, subjectCode);
    // Rows come in runs of one group and subject.
    if (!known || groupCode != lastGroup || subjectCode != lastSubject) {
      key = codes.Key(groupCode, subjectCode);
      lastGroup = groupCode;
      lastSubject = subjectCode;
      known = true;
    }
    sent[key] += asigt.Real(record, hours);
  }
  return sent;
}

void CompareRoundTrip(const OrderedSums& sent, const OrderedSums& placed,
                      const GroupAndSubjectCodes& codes, CheckReport& report) {
  constexpr double kTolerance = 1e-6;
  WarningsOfOneKind differences(
      report.warnings, "grupos y asignaturas con horas colocadas distintas de las enviadas");
  auto compare = [&](std::uint64_t key, double out, double back) {
    if (std::fabs(out - back) <= kTolerance) return;
    differences.Add([&] {
      const std::string line = codes.Text(key) + ": enviadas " + HoursText(out) + " h, colocadas " +
                               HoursText(back) + " h; ";
      return line + (out > back ? "faltan " + HoursText(out - back) + " h"
                                : "sobran " + HoursText(back - out) + " h");
    });
  };
  for (std::size_t i = 0; i < sent.Keys().size(); ++i) {
    const double* back = placed.Find(sent.Keys()[i]);
    compare(sent.Keys()[i], sent.Sums()[i], back != nullptr ? *back : 0.0);
  }
  for (std::size_t i = 0; i < placed.Keys().size(); ++i) {
    if (sent.Find(placed.Keys()[i]) == nullptr) compare(placed.Keys()[i], 0.0, placed.Sums()[i]);
  }
  differences.Finish();
}

// The table each code field of SOLUC names its records in.
constexpr std::array<std::string_view, kSolucCodes> kCodeFields = {field::kCodGrupo, field::kProf,
                                                                   field::kAsig, field::kAula};
const std::array<const ExchangeTable*, kSolucCodes> kCodeTables = {&kGrupost, &kProft, &kAsignomt,
                                                                   &kAulat};

// The warnings of what the pass over SOLUC found.
void ReportFindings(const SolutionFindings& findings, CheckReport& report) {
  WarningsOfOneKind outsideFrame(report.warnings,
                                 "sesiones fuera del marco de días y horas (DIASHORAST)");
  for (const SolutionFindings::OutsideFrame& lesson : findings.outsideFrame) {
    outsideFrame.Add([&] {
      return "SOLUC, registro " + std::to_string(lesson.recordNumber) + ": la sesión del día " +
             ToUtf8(lesson.day) + ", intervalo " + ToUtf8(lesson.interval) + " (grupo " +
             Quoted(findings.codes[kGroupCode].Code(lesson.group)) + ", asignatura " +
             Quoted(findings.codes[kSubjectCode].Code(lesson.subject)) +
             ") no está en el marco de días y horas (DIASHORAST)";
    });
  }
  outsideFrame.Finish();

  // Each unknown code with the records that hold it, in the order the rows
  // first hold them.
  struct Unknown {
    SolucCode kind;
    std::uint32_t code;
    std::vector<std::size_t> records;
  };
  std::vector<Unknown> unknown;
  std::array<std::unordered_map<std::uint32_t, std::size_t>, kSolucCodes> position;
  for (const SolutionFindings::UnknownCode& use : findings.unknownCodes) {
    const auto [found, added] = position[use.kind].try_emplace(use.code, unknown.size());
    if (added) unknown.push_back({use.kind, use.code, {}});
    unknown[found->second].records.push_back(use.recordNumber);
  }
  WarningsOfOneKind unknownCodes(report.warnings, "códigos de SOLUC que no están en sus tablas");
  for (const Unknown& code : unknown) {
    unknownCodes.Add([&] {
      return "SOLUC, campo " + std::string(kCodeFields[code.kind]) + ": el código " +
             Quoted(findings.codes[code.kind].Code(code.code)) + " no está en " +
             std::string(kCodeTables[code.kind]->name) + " (" + RecordList(code.records) +
             "); ¿horario hecho con otra exportación?";
    });
  }
  unknownCodes.Finish();
  const std::vector<std::size_t>& unplaced = findings.unplaced;
  if (!unplaced.empty()) {
    const bool one = unplaced.size() == 1;
    report.warnings.push_back("SOLUC: " + std::to_string(unplaced.size()) +
                              (one ? " sesión sin colocar (día 0), que no se importa ("
                                   : " sesiones sin colocar (día 0), que no se importan (") +
                              RecordList(unplaced) + ")");
  }
}

// The round trip, against what the export sent.
void ReportRoundTrip(const RunContext& context, const SolutionFindings& findings,
                     CheckReport& report) {
  try {
    const Table asigt =
        Table::OpenStreamed(context.exchangeDirectory, kAsigt.name, context.decimalSeparator);
    if (!asigt.CodePageNotice().empty()) report.warnings.push_back(asigt.CodePageNotice());
    GroupAndSubjectCodes codes(findings);
    CompareRoundTrip(HoursSent(asigt, codes), findings.placed, codes, report);
  } catch (const TransferError& error) {
    report.warnings.push_back(std::string("No se pueden comparar las horas enviadas con las "
                                          "colocadas: ") +
                              error.what());
  }
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
  // Every table is read in record order, a window at a time.
  auto open = [&](std::string_view name) -> std::optional<Table> {
    try {
      Table table = Table::OpenStreamed(context.exchangeDirectory, name, context.decimalSeparator);
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

  // The import's own pass over SOLUC, with each problem a stop.
  SolutionFindings findings;
  try {
    const DayHourFrame frame = FrameOfDays(*diashorast);
    SolutionCodes solution(*soluc);
    std::optional<SolutionPass> pass;
    {
      const CatalogueLookup subjects(*asignomt, field::kCod);
      const CatalogueLookup groups(*grupost, field::kAbrev);
      const CatalogueLookup teachers(*proft, field::kAbrev);
      const CatalogueLookup rooms(*aulat, field::kAbrev);
      const ActivityList activities = NumberActivities(*asignomt, solution);
      pass.emplace(*soluc, frame, solution, subjects, groups, teachers, rooms, activities,
                   context.decimalSeparator);
    }
    pass->Run(
        findings, [](const SolutionInput&) {},
        [&](const TransferError& error) { report.stops.push_back(error.what()); });
    findings.codes = std::move(solution).TakeCodes();
  } catch (const TransferError& error) {
    report.stops.push_back(error.what());
    return report;
  }
  ReportFindings(findings, report);
  soluc.reset();
  ReportRoundTrip(context, findings, report);
  return report;
}

CheckReport CheckImportSide(const RunContext& context, const SolutionFindings& findings) {
  CheckReport report;
  report.warnings = findings.codePageNotices;
  ReportFindings(findings, report);
  ReportRoundTrip(context, findings, report);
  return report;
}

}  // namespace brivasto
