// import/lookups.h: the import's own texts and lookups, for the import's
// steps and for the check, which foresees what an import will write by
// calling them. Each lookup gives exactly the result of a scan from the
// first record in record order with the first match winning; the indexes
// only make it linear.
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

}  // namespace brivasto
