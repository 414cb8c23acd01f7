// Which export Talvenor's timetable was made from: the tables in place and
// those of every kept export, scored by how many of SOLUC's codes and
// group-subject-teacher combinations they hold.
#include <sys/stat.h>

#include <array>
#include <fstream>
#include <memory>
#include <unordered_map>
#include <utility>

#include "import/import.h"

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

// A group, a subject and a teacher as one key.
std::u16string Combination(std::u16string_view group, std::u16string_view subject,
                           std::u16string_view teacher) {
  std::u16string key(group);
  key += u'\0';
  key += subject;
  key += u'\0';
  key += teacher;
  return key;
}

using RowCounts = std::unordered_map<std::u16string, std::size_t>;

// What SOLUC uses: each code by kind and each combination, with the rows
// that use it; and, for listing changes, the codes in first-use order.
struct SolutionUse {
  std::array<RowCounts, 4> codes;
  RowCounts combinations;
  std::vector<std::pair<std::size_t, std::u16string>> firstUses;  // kind, code
  std::size_t points = 0;  // what a candidate that explains every row gets

  explicit SolutionUse(const Table& soluc) {
    std::array<std::size_t, 4> fields{};
    for (std::size_t kind = 0; kind < kCodeKinds.size(); ++kind) {
      fields[kind] = soluc.FieldIndex(kCodeKinds[kind].solucField);
    }
    for (std::size_t record = 0; record < soluc.RecordCount(); ++record) {
      std::array<std::u16string, 4> values;
      for (std::size_t kind = 0; kind < kCodeKinds.size(); ++kind) {
        values[kind] = soluc.Text(record, fields[kind]);
        if (values[kind].empty()) continue;
        if (codes[kind][values[kind]]++ == 0) firstUses.emplace_back(kind, values[kind]);
        ++points;
      }
      ++combinations[Combination(values[0], values[2], values[1])];
      ++points;
    }
  }
};

// One candidate's catalogues, read from its folder.
struct Candidate {
  std::optional<KeptExport> kept;                         // nullopt: the tables in place
  std::vector<std::unique_ptr<CatalogueLookup>> lookups;  // by kind
  std::size_t points = 0;
};

// Reads the candidate in `folder` and scores it; nullopt when a table
// cannot be read.
std::optional<Candidate> ReadCandidate(const std::filesystem::path& folder, const SolutionUse& use,
                                       char16_t separator) {
  try {
    Candidate candidate;
    for (std::size_t kind = 0; kind < kCodeKinds.size(); ++kind) {
      const Table catalogue = Table::Open(folder, kCodeKinds[kind].catalogue->name, separator);
      auto lookup = std::make_unique<CatalogueLookup>(catalogue, kCodeKinds[kind].codeField);
      for (const auto& [code, rows] : use.codes[kind]) {
        if (lookup->Find(code) != nullptr) candidate.points += rows;
      }
      candidate.lookups.push_back(std::move(lookup));
    }
    const Table asigt = Table::Open(folder, kAsigt.name, separator);
    const std::size_t groupField = asigt.FieldIndex(field::kCGrup);
    const std::size_t subjectField = asigt.FieldIndex(field::kCAsig);
    const std::size_t teacherField = asigt.FieldIndex(field::kCProf);
    RowCounts unseen = use.combinations;
    for (std::size_t record = 0; record < asigt.RecordCount() && !unseen.empty(); ++record) {
      const auto found =
          unseen.find(Combination(asigt.Text(record, groupField), asigt.Text(record, subjectField),
                                  asigt.Text(record, teacherField)));
      if (found == unseen.end()) continue;
      candidate.points += found->second;
      unseen.erase(found);
    }
    return candidate;
  } catch (const TransferError&) {
    return std::nullopt;
  }
}

// Whether table `table` of `one` and `other` is the same file, or holds the
// same bytes but for the date of last update in the header (bytes 1 to 3):
// an export repeated from an unchanged document writes the same tables.
bool SameTable(const std::filesystem::path& one, const std::filesystem::path& other,
               std::string_view table) {
  const std::string fileName = std::string(table) + ".DBF";
  struct stat first {};
  struct stat second {};
  if (::stat((one / fileName).c_str(), &first) != 0 ||
      ::stat((other / fileName).c_str(), &second) != 0) {
    return false;
  }
  if (first.st_dev == second.st_dev && first.st_ino == second.st_ino) return true;
  if (first.st_size != second.st_size) return false;
  std::ifstream a(one / fileName, std::ios::binary);
  std::ifstream b(other / fileName, std::ios::binary);
  constexpr std::size_t kBlock = 1 << 16;
  std::string blockA(kBlock, '\0');
  std::string blockB(kBlock, '\0');
  for (bool header = true; a && b; header = false) {
    a.read(blockA.data(), kBlock);
    b.read(blockB.data(), kBlock);
    const std::size_t got = static_cast<std::size_t>(a.gcount());
    if (got != static_cast<std::size_t>(b.gcount())) return false;
    if (header && got >= 4) {
      for (std::size_t i = 1; i <= 3; ++i) blockA[i] = blockB[i];
    }
    if (blockA.compare(0, got, blockB, 0, got) != 0) return false;
  }
  return a.eof() && b.eof();
}

// Whether the catalogues and ASIGT of both folders are the same tables.
bool SameTables(const std::filesystem::path& one, const std::filesystem::path& other) {
  for (const CodeKind& kind : kCodeKinds) {
    if (!SameTable(one, other, kind.catalogue->name)) return false;
  }
  return SameTable(one, other, kAsigt.name);
}

}  // namespace

TimetableOrigin FindTimetableOrigin(const RunContext& context) {
  TimetableOrigin origin;
  const std::filesystem::path& directory = context.exchangeDirectory;
  std::vector<KeptExport> kept = KeptExports(directory);
  if (kept.empty()) return origin;

  // A kept export whose tables are those in place explains SOLUC as they
  // do: the newest of them wrote the current tables.
  std::vector<KeptExport> others;
  for (KeptExport& entry : kept) {
    if (SameTables(directory, entry.writtenTables)) {
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
  std::optional<Candidate> current = ReadCandidate(directory, *use, context.decimalSeparator);
  if (!current || current->points == use->points) return origin;

  std::optional<Candidate> best;
  for (KeptExport& entry : others) {
    std::optional<Candidate> candidate =
        ReadCandidate(entry.writtenTables, *use, context.decimalSeparator);
    if (!candidate || candidate->points <= (best ? best->points : current->points)) continue;
    candidate->kept = std::move(entry);
    best = std::move(candidate);
  }
  if (!best) return origin;

  origin.kept = std::move(best->kept);
  origin.current = false;
  for (const auto& [kind, code] : use->firstUses) {
    const std::u16string* then = best->lookups[kind]->Find(code);
    if (then == nullptr) continue;  // that export did not know it either
    const std::u16string* now = current->lookups[kind]->Find(code);
    if (now != nullptr && *now == *then) continue;
    origin.changes.push_back(
        {kCodeKinds[kind].catalogue->name, code, *then, now ? std::optional(*now) : std::nullopt});
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
