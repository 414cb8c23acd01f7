// import/import.h: Talvenor to SAGA. Reads Talvenor's timetable (SOLUC), the
// day/hour frame (DIASHORAST) and the four catalogue tables, and saves the
// SAGA document over its file with them as one `time-tables` section, the
// root's last child, in place of any earlier one; the rest of the file stays
// byte for byte. The tables are only read: all six are opened and held
// exclusively before any is read, so the import reads one set, and closed
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
};

// The six tables the import reads, opened and held together before any step
// reads one, so that the import reads one set: while they are held, an
// export can replace none of them. Closed in the order SOLUC, GRUPOST,
// PROFT, AULAT, ASIGNOMT, DIASHORAST.
struct ImportTables {
  std::optional<Table> diashorast;
  std::optional<Table> soluc;
  std::optional<Table> grupost;
  std::optional<Table> proft;
  std::optional<Table> asignomt;
  std::optional<Table> aulat;
  char16_t decimalSeparator = u'.';

  ImportTables() = default;
  ImportTables(ImportTables&&) noexcept = default;
  ImportTables& operator=(ImportTables&&) noexcept = default;
  ~ImportTables();
};

// Opens DIASHORAST, GRUPOST, SOLUC, PROFT, ASIGNOMT and AULAT of `context`'s
// exchange directory, in that order; throws TransferError for a table that
// is missing, held by another program or corrupt.
ImportTables OpenImportTables(const RunContext& context);

// The whole import: OpenImportTables, then ImportTimetableWith.
ImportedCounts ImportTimetable(const SagaDocument& document, const std::filesystem::path& sagaFile,
                               const RunContext& context);

// Writes the section from `tables` into `document`'s content and saves that
// to `sagaFile`; the tables are closed before the save. `document` must hold
// its file's bytes (loaded with LoadScope::kRootElement or kWholeTree); its
// tree is not changed. A document whose root is not SAGA's <document> is
// refused before anything is written.
ImportedCounts ImportTimetableWith(const SagaDocument& document,
                                   const std::filesystem::path& sagaFile, ImportTables tables);

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
