// import/lookups.h: the import's own texts and lookups, for the import's
// steps and for the check, which foresees what an import will write by
// calling them. Each lookup gives exactly the result of a scan from the
// first record in record order with the first match winning; the indexes
// only make it linear.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "saga/saga.h"
#include "tables/tables.h"
#include "text/text.h"

namespace brivasto {

// ---------------------------------------------------------------------------
// Texts written into the section.

// Throws TransferError when the import could not save `sagaFile`: its
// folder is not writable (the new file and the backup are made there).
void CheckCanSave(const std::filesystem::path& sagaFile);
// What the import checks before it reads a table: `document` is SAGA's
// (its root is <document>), and CheckCanSave.
void CheckImportable(const SagaDocument& document, const std::filesystem::path& sagaFile);

// The end time to write: "0" put in front of a text of 1 to 4 characters that
// does not start with "0" ("9:30" -> "09:30"); any other text as it is.
std::u16string PadEndTime(std::u16string_view endTime);

// The hour part of an input's `interval`: the hour, or twice the hour minus
// one when `sessions` is exactly 0.5, in the shortest general form with at
// most 15 significant digits ("3", "5"); a fractional number uses
// `decimalSeparator` ("2,5").
std::u16string IntervalHourText(double hour, double sessions, char16_t decimalSeparator);

// The number a text names when it is exactly the plain numeral of 1 to `max`
// ("1", "40"); nullopt for anything else ("01", "41", "0", "1.0", " 1", "").
std::optional<int> PlainNumeral(std::u16string_view text, int max);

// ---------------------------------------------------------------------------
// Lookups over the tables.

// Codes numbered 0, 1, 2 ... in the order they are first added. The codes
// are short and looked up once or more per SOLUC row, so they sit in one
// text with open addressing over them: a lookup reads a slot and the code.
class CodeTable {
 public:
  // The code's number; a new code is added with the next number.
  std::uint32_t Add(std::u16string_view code);
  // The code's number, or kAbsent when it was never added.
  static constexpr std::uint32_t kAbsent = 0xFFFFFFFFu;
  std::uint32_t Find(std::u16string_view code) const;
  std::u16string_view Code(std::uint32_t number) const;
  std::size_t Size() const { return ends_.size(); }

 private:
  // A slot holds the code's hash in its high half and 1 + its number in the
  // low half; 0 is a free slot. At most half the slots are taken.
  std::vector<std::uint64_t> slots_;
  std::u16string codes_;             // every code, one after another
  std::vector<std::uint32_t> ends_;  // where each code ends in codes_
  std::size_t SlotOf(std::u16string_view code, std::uint64_t hash) const;
  void Grow();
};

// The code fields of SOLUC, in the order the check names them.
enum SolucCode : std::size_t { kGroupCode, kTeacherCode, kSubjectCode, kRoomCode, kSolucCodes };

// The codes that SOLUC's rows hold in CODGRUPO, PROF, ASIG and AULA, every
// row counted, the unscheduled ones (day 0) too, and each row's code of each
// kind by its number. Throws when CODGRUPO, PROF or ASIG is missing (AULA
// only counts when SOLUC has it).
class SolutionCodes {
 public:
  explicit SolutionCodes(const Table& soluc);
  // True when some SOLUC row holds exactly `code` (case-sensitive) in
  // `field`, one of field::kCodGrupo, field::kProf, field::kAsig.
  bool IsReferencedBySolution(std::string_view field, std::u16string_view code) const;
  // The codes of one kind, numbered in the order the rows first hold them.
  const CodeTable& Codes(SolucCode kind) const { return codes_[kind]; }
  // The number of live record `record`'s code of `kind`.
  std::uint32_t CodeOfRow(std::size_t record, SolucCode kind) const {
    return rows_[kSolucCodes * record + kind];
  }
  // Hands the codes over once the rows are read.
  std::array<CodeTable, kSolucCodes> TakeCodes() &&;

 private:
  std::array<CodeTable, kSolucCodes> codes_;
  std::vector<std::uint32_t> rows_;  // kSolucCodes numbers per row
};

// A catalogue table's codes (`codeField`) with the IDSAGA of the first
// record that holds each code. Throws when a field is missing.
class CatalogueLookup {
 public:
  CatalogueLookup(const Table& catalogue, std::string_view codeField);
  // The IDSAGA of the first record whose code equals `code` exactly;
  // nullptr when no record has it.
  const std::u16string* Find(std::u16string_view code) const;

 private:
  CodeTable codes_;                      // the codes, numbered as first held
  std::vector<std::u16string> sagaIds_;  // the IDSAGA for each code
};

// The result of a lookup by code, kept for the code asked last: SOLUC's rows
// come in runs that share their codes, so most lookups repeat the one before.
template <typename Result>
class LastCodeMemo {
 public:
  template <typename LookUp>
  const Result& Get(std::u16string_view code, LookUp&& lookUp) {
    if (!known_ || code != code_) {
      result_ = lookUp(code);
      code_.assign(code);
      known_ = true;
    }
    return result_;
  }

 private:
  bool known_ = false;
  std::u16string code_;
  Result result_{};
};

// The IDSAGA of the first catalogue record whose code equals `code` exactly
// (case-sensitive); the code itself when no record has it.
std::u16string LookUpSagaId(std::u16string_view code, const CatalogueLookup& catalogue);

// The activities written so far: position i of `activityIds` and
// `activitySubjects` describe the same activity (its `id` and its subject's
// SAGA identifier). Duplicates stay; nothing is sorted.
class ActivityList {
 public:
  void Add(std::u16string id, std::u16string subject, std::size_t record);
  // The id of the first activity whose subject equals `subject` ignoring
  // letter case (Unicode case folding); nullptr when none has it.
  const std::u16string* IdForSubject(std::u16string_view subject) const;

  const std::vector<std::u16string>& ActivityIds() const { return activityIds_; }
  const std::vector<std::u16string>& ActivitySubjects() const { return activitySubjects_; }
  // The ASIGNOMT record (counted from 0) of each activity.
  const std::vector<std::size_t>& Records() const { return records_; }

 private:
  std::vector<std::u16string> activityIds_;
  std::vector<std::u16string> activitySubjects_;
  std::vector<std::size_t> records_;
  std::unordered_map<std::u16string, std::size_t, TextHash, std::equal_to<>>
      firstPositionByFoldedSubject_;
};

// The activities an import writes: one for each ASIGNOMT record whose COD
// some SOLUC row holds, in record order, numbered "a1", "a2", ...; the
// subject is the record's IDSAGA. Throws when a field is missing.
ActivityList NumberActivities(const Table& asignomt, const SolutionCodes& solution);

// The activity of a lesson whose subject code is `code`: the code turned
// into its IDSAGA by ASIGNOMT (or kept), then the first activity of that
// subject, ignoring letter case; nullptr when there is none (the import
// stops there).
const std::u16string* ActivityOfSubjectCode(std::u16string_view code,
                                            const CatalogueLookup& subjects,
                                            const ActivityList& activities);

// ---------------------------------------------------------------------------
// The pass over SOLUC's rows: the import writes its inputs from it, and the
// check reviews the same rows through it.

// Sums by key in the order the keys first come: a group and a subject by
// their code numbers (group in the high half).
class OrderedSums {
 public:
  // Room for `keys` keys without growing.
  void Reserve(std::size_t keys);
  double& operator[](std::uint64_t key);
  const double* Find(std::uint64_t key) const;
  const std::vector<std::uint64_t>& Keys() const { return keys_; }
  const std::vector<double>& Sums() const { return sums_; }

 private:
  std::size_t SlotOf(std::uint64_t key) const;
  void Rehash(std::size_t slots);
  std::vector<std::uint32_t> slots_;  // 1 + position in keys_; 0 is a free slot
  std::vector<std::uint64_t> keys_;
  std::vector<double> sums_;
};

// What the pass over SOLUC found that the check reports, kept as numbers and
// codes (the check words them). The import hands it to the summary, so that
// the summary does not read the tables again.
struct SolutionFindings {
  // The code page notices of SOLUC, DIASHORAST, GRUPOST, PROFT, ASIGNOMT and
  // AULAT, in that order, as far as they have one.
  std::vector<std::string> codePageNotices;
  // SOLUC's codes of each kind, numbered as the rows first hold them.
  std::array<CodeTable, kSolucCodes> codes;
  // A code a row holds that its catalogue lacks, in row and field order.
  struct UnknownCode {
    std::uint32_t recordNumber;
    SolucCode kind;
    std::uint32_t code;
  };
  std::vector<UnknownCode> unknownCodes;
  std::vector<std::size_t> unplaced;  // record numbers of the rows on day 0
  // A lesson on a day or hour the frame lacks, in row order.
  struct OutsideFrame {
    std::size_t recordNumber;
    std::u16string day;
    std::u16string interval;
    std::uint32_t group;
    std::uint32_t subject;
  };
  std::vector<OutsideFrame> outsideFrame;
  // The sessions placed per group and subject.
  OrderedSums placed;
};

// Texts by number, one after another in one text; a number may have none.
class NumberedTexts {
 public:
  // The next number's text; nullptr: none.
  void Add(const std::u16string* text);
  bool Has(std::uint32_t number) const { return has_[number]; }
  std::u16string_view Text(std::uint32_t number) const;

 private:
  std::u16string texts_;
  std::vector<std::uint32_t> ends_;
  std::vector<bool> has_;
};

// A lesson of SOLUC (a row whose day is not 0) as the import writes it.
struct SolutionInput {
  std::size_t record = 0;  // the live record, from 0
  std::u16string day;
  std::u16string interval;  // "i3"
  // Its activity's id; empty when its subject has none (then the lesson
  // went to the problems first).
  std::u16string_view activity;
  // The IDSAGA of its group, teacher and room (the code itself when the
  // catalogue lacks it).
  std::u16string_view group;
  std::u16string_view teacher;
  std::u16string_view room;
};

// The day/hour frame: [day][hour] true when DIASHORAST has a record whose
// DIA and HORA are the plain numerals of that day (1 to 7) and hour (1 to
// 40). Throws when a field is missing.
using DayHourFrame = std::array<std::array<bool, 41>, 8>;
DayHourFrame FrameOfDays(const Table& diashorast);

// SOLUC read against the catalogues, the frame and the activities: every
// code looked up once, not once per row.
class SolutionPass {
 public:
  // Keeps what it needs of the lookups and the activities, which may go
  // before Run. Throws when a field is missing.
  SolutionPass(const Table& soluc, const DayHourFrame& frame, const SolutionCodes& codes,
               const CatalogueLookup& subjects, const CatalogueLookup& groups,
               const CatalogueLookup& teachers, const CatalogueLookup& rooms,
               const ActivityList& activities, char16_t decimalSeparator);

  // Reads the rows in order into `findings`; calls `input` for every lesson.
  // A row whose DIA, HORA or SESIONES holds no number goes to `problem` and
  // is left out; a lesson whose subject has no activity goes to `problem`,
  // then on. `problem` may throw, which ends the pass.
  void Run(SolutionFindings& findings, const std::function<void(const SolutionInput&)>& input,
           const std::function<void(const TransferError&)>& problem) const;

 private:
  const Table& soluc_;
  const SolutionCodes& codes_;
  char16_t decimalSeparator_;
  std::size_t dayField_, hourField_, sessionsField_, roomField_;
  // By code number: the catalogue's IDSAGA (none when it lacks the code).
  std::array<NumberedTexts, kSolucCodes> sagaIds_;
  NumberedTexts activities_;  // by subject code number
  const DayHourFrame& frame_;
};

}  // namespace brivasto
