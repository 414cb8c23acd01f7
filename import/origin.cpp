// Which export Talvenor's timetable was made from: the tables in place and
// those of every kept export, scored by how many of SOLUC's codes and
// group-subject-teacher combinations they hold.
#include <algorithm>
#include <array>
#include <cstdint>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "import/import.h"
#include "import/lookups.h"

namespace brivasto {
namespace {

// The code fields of SOLUC and the catalogue each one names, in the order
// the changes are listed.
struct CodeKind {
  std::string_view solucField;
  const ExchangeTable* catalogue;
  std::string_view codeField;
};
const std::array<CodeKind, 4> kCodeKinds = {{
    {field::kCodGrupo, &kGrupost, field::kAbrev},
    {field::kProf, &kProft, field::kAbrev},
    {field::kAsig, &kAsignomt, field::kCod},
    {field::kAula, &kAulat, field::kAbrev},
}};

// A group, a subject and a teacher, by their numbers among SOLUC's codes.
using Combination = std::array<std::uint32_t, 3>;
struct CombinationHash {
  std::size_t operator()(const Combination& key) const noexcept {
    std::uint64_t hash = key[0];
    hash = hash * 0x9E3779B97F4A7C15u + key[1];
    hash = hash * 0x9E3779B97F4A7C15u + key[2];
    return static_cast<std::size_t>(hash ^ (hash >> 29));
  }
};

// What SOLUC uses: the codes of each kind numbered as first used (the empty
// one too, which earns no point), each with the rows that use it, and each
// group-subject-teacher combination with its rows.
struct SolutionUse {
  std::array<CodeTable, 4> codes;
  std::array<std::vector<std::size_t>, 4> codeRows;
  std::array<std::vector<std::uint32_t>, 4> firstRow;  // by kind and code number
  std::unordered_map<Combination, std::size_t, CombinationHash> combinationIndex;
  std::vector<std::size_t> combinationRows;
  std::size_t points = 0;  // what a candidate that explains every row gets

  explicit SolutionUse(const Table& soluc) {
    std::array<std::size_t, 4> fields{};
    for (std::size_t kind = 0; kind < kCodeKinds.size(); ++kind) {
      fields[kind] = soluc.FieldIndex(kCodeKinds[kind].solucField);
    }
    std::array<LastCodeMemo<std::uint32_t>, 4> memos;
    for (std::size_t record = 0; record < soluc.RecordCount(); ++record) {
      std::array<std::uint32_t, 4> numbers{};
      for (std::size_t kind = 0; kind < kCodeKinds.size(); ++kind) {
        const std::u16string code = soluc.Text(record, fields[kind]);
        numbers[kind] = memos[kind].Get(code, [&](std::u16string_view text) {
          const std::uint32_t number = codes[kind].Add(text);
          if (number == codeRows[kind].size()) {
            codeRows[kind].push_back(0);
            firstRow[kind].push_back(static_cast<std::uint32_t>(record));
          }
          return number;
        });
        if (code.empty()) continue;
        ++codeRows[kind][numbers[kind]];
        ++points;
      }
      const auto [found, added] = combinationIndex.try_emplace(
          Combination{numbers[0], numbers[2], numbers[1]}, combinationRows.size());
      if (added) combinationRows.push_back(0);
      ++combinationRows[found->second];
      ++points;
    }
  }
};

// What one candidate's tables say of SOLUC's codes and combinations.
struct Candidate {
  std::optional<KeptExport> kept;  // nullopt: the tables in place
  // By kind and code number: the IDSAGA of the first record with the code.
  std::array<std::vector<std::optional<std::u16string>>, 4> sagaIds;
  std::vector<bool> combinationHeld;
  std::size_t points = 0;
};

// Reads the candidate in `folder` and scores it; nullopt when a table
// cannot be read. Only the code fields are read, and the IDSAGA of the
// records whose codes SOLUC uses.
std::optional<Candidate> ReadCandidate(const std::filesystem::path& folder, const SolutionUse& use,
                                       char16_t separator) {
  try {
    Candidate candidate;
    for (std::size_t kind = 0; kind < kCodeKinds.size(); ++kind) {
      const Table catalogue = Table::Open(folder, kCodeKinds[kind].catalogue->name, separator);
      const std::size_t codeField = catalogue.FieldIndex(kCodeKinds[kind].codeField);
      const std::size_t idField = catalogue.FieldIndex(field::kIdSaga);
      auto& ids = candidate.sagaIds[kind];
      ids.resize(use.codeRows[kind].size());
      for (std::size_t record = 0; record < catalogue.RecordCount(); ++record) {
        const std::u16string code = catalogue.Text(record, codeField);
        if (code.empty()) continue;  // an empty code earns nothing
        const std::uint32_t number = use.codes[kind].Find(code);
        if (number == CodeTable::kAbsent || ids[number]) continue;
        ids[number] = catalogue.Text(record, idField);
        candidate.points += use.codeRows[kind][number];
      }
    }
    const Table asigt = Table::Open(folder, kAsigt.name, separator);
    const std::array<std::size_t, 3> fields = {asigt.FieldIndex(field::kCGrup),
                                               asigt.FieldIndex(field::kCAsig),
                                               asigt.FieldIndex(field::kCProf)};
    const std::array<std::size_t, 3> kinds = {0, 2, 1};  // group, subject, teacher
    std::array<LastCodeMemo<std::uint32_t>, 3> memos;
    candidate.combinationHeld.assign(use.combinationRows.size(), false);
    for (std::size_t record = 0; record < asigt.RecordCount(); ++record) {
      Combination key{};
      bool used = true;
      for (std::size_t part = 0; part < 3 && used; ++part) {
        key[part] = memos[part].Get(
            asigt.Text(record, fields[part]),
            [&](std::u16string_view code) { return use.codes[kinds[part]].Find(code); });
        used = key[part] != CodeTable::kAbsent;
      }
      if (!used) continue;
      const auto found = use.combinationIndex.find(key);
      if (found == use.combinationIndex.end() || candidate.combinationHeld[found->second]) continue;
      candidate.combinationHeld[found->second] = true;
      candidate.points += use.combinationRows[found->second];
    }
    return candidate;
  } catch (const TransferError&) {
    return std::nullopt;
  }
}

}  // namespace

TimetableOrigin FindTimetableOrigin(const RunContext& context) {
  TimetableOrigin origin;
  const std::filesystem::path& directory = context.exchangeDirectory;
  std::vector<KeptExport> kept = KeptExports(directory);
  if (kept.empty()) return origin;

  // A kept export that wrote the tables in place (the same bytes but for
  // the date in the header) explains SOLUC as they do: the newest of them
  // wrote the current tables.
  const std::optional<std::uint64_t> current = TablesFingerprint(directory);
  std::vector<KeptExport> others;
  for (KeptExport& entry : kept) {
    if (current && entry.fingerprint == current) {
      if (!origin.kept) origin.kept = std::move(entry);
    } else {
      others.push_back(std::move(entry));
    }
  }
  if (others.empty()) return origin;

  std::optional<SolutionUse> use;
  try {
    const Table soluc = Table::Open(directory, kSolucName, context.decimalSeparator);
    use.emplace(soluc);
  } catch (const TransferError&) {
    return origin;  // the import says what is wrong with SOLUC
  }
  std::optional<Candidate> inPlace = ReadCandidate(directory, *use, context.decimalSeparator);
  if (!inPlace || inPlace->points == use->points) return origin;

  std::optional<Candidate> best;
  for (KeptExport& entry : others) {
    std::optional<Candidate> candidate =
        ReadCandidate(entry.writtenTables, *use, context.decimalSeparator);
    if (!candidate || candidate->points <= (best ? best->points : inPlace->points)) continue;
    candidate->kept = std::move(entry);
    best = std::move(candidate);
  }
  if (!best) return origin;

  origin.kept = std::move(best->kept);
  origin.current = false;
  // In the order SOLUC first uses the codes: by row, then group, teacher,
  // subject and room.
  std::vector<std::tuple<std::uint32_t, std::size_t, std::uint32_t>> firstUses;
  for (std::size_t kind = 0; kind < kCodeKinds.size(); ++kind) {
    for (std::uint32_t number = 0; number < use->codes[kind].Size(); ++number) {
      firstUses.emplace_back(use->firstRow[kind][number], kind, number);
    }
  }
  std::sort(firstUses.begin(), firstUses.end());
  for (const auto& [row, kind, number] : firstUses) {
    const std::optional<std::u16string>& then = best->sagaIds[kind][number];
    if (!then) continue;  // that export did not know it either (or it is empty)
    const std::optional<std::u16string>& now = inPlace->sagaIds[kind][number];
    if (now == then) continue;
    origin.changes.push_back({kCodeKinds[kind].catalogue->name,
                              std::u16string(use->codes[kind].Code(number)), *then, now});
  }
  return origin;
}

std::string ChangedCodeText(const ChangedCode& change) {
  return std::string(change.table) + " " + ToUtf8(change.code) + ": \"" + ToUtf8(change.then) +
         "\" → " + (change.now ? "\"" + ToUtf8(*change.now) + "\"" : "ningún registro");
}

std::string StaleTimetableText(const TimetableOrigin& origin, std::size_t listed) {
  const std::size_t count = origin.changes.size();
  const std::string date = origin.kept ? origin.kept->date : std::string("?");
  const std::string name = origin.kept ? origin.kept->name : std::string("?");
  std::string text = "El horario de Talvenor (SOLUC) se hizo con la exportación del " + date +
                     ", no con las tablas de ahora: " + std::to_string(count) +
                     (count == 1 ? " código que usa nombra" : " códigos que usa nombran") +
                     " ahora otro registro de SAGA";
  if (listed == 0) {
    text += " (se listan aparte)";
  } else {
    text += " (código: entonces → ahora): ";
    for (std::size_t i = 0; i < count && i < listed; ++i) {
      text += (i == 0 ? "" : "; ") + ChangedCodeText(origin.changes[i]);
    }
    if (count > listed) text += "; y " + std::to_string(count - listed) + " más";
  }
  text += ". Restaure esa exportación (brivasto-cli restaurar " + name +
          ") e importe de nuevo, o haga que Talvenor rehaga el horario con las tablas de ahora.";
  return text;
}

}  // namespace brivasto
