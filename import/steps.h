// import/steps.h: the steps of the import, private to import/. The run
// (import.cpp) opens the tables, calls these steps in their fixed order and
// closes the tables before the save. The steps read the tables and write the
// `time-tables` section; none of them catches an error.
//
// Each lookup gives exactly the result of a scan from the first record in
// record order with the first match winning; the indexes below only make it
// linear.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "saga/saga.h"
#include "tables/tables.h"
#include "text/text.h"

namespace brivasto {

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

// The codes that SOLUC's rows hold in CODGRUPO, PROF and ASIG, every row
// counted, the unscheduled ones (day 0) too. Throws when a field is missing.
class SolutionCodes {
 public:
  explicit SolutionCodes(const Table& soluc);
  // True when some SOLUC row holds exactly `code` (case-sensitive) in
  // `field`, one of field::kCodGrupo, field::kProf, field::kAsig.
  bool IsReferencedBySolution(std::string_view field, std::u16string_view code) const;

 private:
  std::unordered_set<std::u16string> groups_;
  std::unordered_set<std::u16string> teachers_;
  std::unordered_set<std::u16string> subjects_;
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
  std::unordered_map<std::u16string, std::u16string> sagaIdByCode_;
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
  std::unordered_map<std::u16string, std::size_t> firstPositionByFoldedSubject_;
};

// The catalogue tables the inputs name their subject, group, teacher and room by.
struct InputCatalogues {
  const CatalogueLookup& subjects;  // ASIGNOMT by COD
  const CatalogueLookup& groups;    // GRUPOST by ABREV
  const CatalogueLookup& teachers;  // PROFT by ABREV
  const CatalogueLookup& rooms;     // AULAT by ABREV
};

// ---------------------------------------------------------------------------
// The steps, in the order the run calls them.

// Removes every `time-tables` child of `root` (a `time-tables` deeper in the
// document stays) and appends a new, empty one as the root's last child,
// which it returns.
XmlNode ReplaceTimetableSection(SagaDocument& document, XmlNode root);

// Appends `time-table` id="tt1" name="Talvenor" to `timeTables`; returns it.
XmlNode WriteTimetableHeader(SagaDocument& document, XmlNode timeTables);

// Appends `days`: one `day` for each day number 1 to 7 that some DIASHORAST
// record has in DIA (named by the first such record's TEXTODIA), holding an
// `interval` for every record of that day whose HORA is 1 to 40, ordered by
// hour and then by record order.
void ImportDaysAndIntervals(SagaDocument& document, XmlNode timeTable, const Table& diashorast);

// Append `groups`, `members` and `activities`: one entry per catalogue
// record whose code some SOLUC row uses, in record order.
void ImportGroups(SagaDocument& document, XmlNode timeTable, const Table& grupost,
                  const SolutionCodes& solution);
void ImportMembers(SagaDocument& document, XmlNode timeTable, const Table& proft,
                   const SolutionCodes& solution);
// Numbers the activities a1, a2, ... and records each in `activities`.
void ImportActivities(SagaDocument& document, XmlNode timeTable, const Table& asignomt,
                      const SolutionCodes& solution, ActivityList& activities);

// Appends `inputs`: one `input` per SOLUC row whose DIA reads as a number
// other than 0, in record order. Throws when a DIA, HORA or SESIONES holds
// no number, or when a row's subject has no activity.
void ImportInputs(SagaDocument& document, XmlNode timeTable, const Table& soluc,
                  const InputCatalogues& catalogues, const ActivityList& activities,
                  char16_t decimalSeparator);

// Keeps the file's present content as "NAME.bak" beside it (replacing an
// older one), then saves `document` over `file` atomically. On any failure
// `file` is left byte-identical and TransferError names the file.
void SaveSagaDocument(const SagaDocument& document, const std::filesystem::path& file);

// The backup's path: the file's name followed by ".bak".
std::filesystem::path BackupPath(const std::filesystem::path& file);

}  // namespace brivasto
