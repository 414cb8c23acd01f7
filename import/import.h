// import/import.h: Talvenor to SAGA. Reads Talvenor's timetable (SOLUC), the
// day/hour frame (DIASHORAST) and the four catalogue tables, and saves the
// SAGA document over its file with them as one `time-tables` section, the
// root's last child, in place of any earlier one; the rest of the file stays
// byte for byte. The tables are only read, opened exclusively and closed
// before the new file replaces the old one. The file on disk changes only in
// that step, which is atomic and keeps the previous version as NAME.bak.
// Failures throw TransferError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "saga/saga.h"
#include "tables/tables.h"

namespace brivasto {

// What an import wrote: the entries of each list of the section.
struct ImportedCounts {
  std::size_t days = 0;
  std::size_t intervals = 0;
  std::size_t groups = 0;
  std::size_t members = 0;
  std::size_t activities = 0;
  std::size_t inputs = 0;
  // The date of the kept export the timetable was made from ("" when the
  // history does not know it).
  std::string timetableExport;
};

// The whole import: writes the section into `document`'s content and saves
// that to `sagaFile`. `document` must hold its file's bytes (loaded with
// LoadScope::kRootElement or kWholeTree); its tree is not changed.
ImportedCounts ImportTimetable(const SagaDocument& document, const std::filesystem::path& sagaFile,
                               const RunContext& context);

// ---------------------------------------------------------------------------
// Which export a timetable was made from.
//
// Talvenor's codes mean what the catalogues of one export say. The candidates
// are the tables in place now and the tables each kept export wrote (newest
// first). Each SOLUC row gives a candidate one point for each of its codes
// (CODGRUPO, PROF, ASIG, AULA; empty ones left out) that the candidate's
// catalogue holds, and one more when the candidate's ASIGT holds the row's
// group, subject and teacher together. The timetable came from the candidate
// with most points; on equal points, the one named first above (the tables
// in place before any kept export, newer kept exports before older ones).

// A code SOLUC uses that names another record now than in the export the
// timetable came from.
struct ChangedCode {
  std::string_view table;  // "PROFT"
  std::u16string code;
  std::u16string then;                // the IDSAGA in that export
  std::optional<std::u16string> now;  // the IDSAGA now; nullopt: no record has the code
};

struct TimetableOrigin {
  // The kept export whose tables the timetable was made from, when the
  // history knows it (for the current tables, the kept export that wrote them).
  std::optional<KeptExport> kept;
  bool current = true;               // false: made from an earlier set of tables
  std::vector<ChangedCode> changes;  // in the order SOLUC first uses them
  // A stale timetable: made from another export, with codes that changed meaning.
  bool Stale() const { return !current && !changes.empty(); }
};

// Reads SOLUC, the catalogues and ASIGT in place and of every kept export.
// Tables that cannot be read leave that candidate out; without SOLUC or the
// current tables the answer is "current" (the import then says what is
// missing). Kept exports with the fingerprint of the tables in place count as
// those tables, unread; the others are read only when the tables in place
// leave some row's point unexplained.
TimetableOrigin FindTimetableOrigin(const RunContext& context);

// One change as the messages give it: PROFT JG1: "t12" → "t99".
std::string ChangedCodeText(const ChangedCode& change);
// Why a stale timetable cannot be imported and what to do, naming the
// export, the number of changed codes and the first `listed` of them (0: none,
// the caller lists them).
std::string StaleTimetableText(const TimetableOrigin& origin, std::size_t listed);

// The texts and lookups below are the import's own, shared with the check
// that foresees what an import will write. Each lookup gives exactly the
// result of a scan from the first record in record order with the first
// match winning; the indexes only make it linear.

// ---------------------------------------------------------------------------
// Texts written into the section.

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

// The codes that SOLUC's rows hold in CODGRUPO, PROF and ASIG, every row
// counted, the unscheduled ones (day 0) too. Throws when a field is missing.
class SolutionCodes {
 public:
  explicit SolutionCodes(const Table& soluc);
  // True when some SOLUC row holds exactly `code` (case-sensitive) in
  // `field`, one of field::kCodGrupo, field::kProf, field::kAsig.
  bool IsReferencedBySolution(std::string_view field, std::u16string_view code) const;

 private:
  CodeTable groups_;
  CodeTable teachers_;
  CodeTable subjects_;
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
  void Add(std::u16string id, std::u16string subject);
  // The id of the first activity whose subject equals `subject` ignoring
  // letter case (Unicode case folding); nullptr when none has it.
  const std::u16string* IdForSubject(std::u16string_view subject) const;

  const std::vector<std::u16string>& ActivityIds() const { return activityIds_; }
  const std::vector<std::u16string>& ActivitySubjects() const { return activitySubjects_; }

 private:
  std::vector<std::u16string> activityIds_;
  std::vector<std::u16string> activitySubjects_;
  std::unordered_map<std::u16string, std::size_t, TextHash, std::equal_to<>>
      firstPositionByFoldedSubject_;
};

}  // namespace brivasto
