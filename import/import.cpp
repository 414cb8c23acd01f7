// The import run: the `time-tables` section built from the exchange tables,
// then the document saved over its file.
#include "import/import.h"

#include <optional>

#include "import/lookups.h"
#include "import/steps.h"

namespace brivasto {
namespace {

// The changed codes a stale timetable's message names.
constexpr std::size_t kListedChanges = 5;

// The tables the lists and inputs read, opened at their first use and held
// exclusively until the inputs are written; closed in the order SOLUC,
// GRUPOST, PROFT, AULAT, ASIGNOMT, also when a step fails.
struct CatalogueTables {
  std::optional<Table> soluc;
  std::optional<Table> grupost;
  std::optional<Table> proft;
  std::optional<Table> aulat;
  std::optional<Table> asignomt;

  CatalogueTables() = default;
  CatalogueTables(const CatalogueTables&) = delete;
  CatalogueTables& operator=(const CatalogueTables&) = delete;
  ~CatalogueTables() {
    soluc.reset();
    grupost.reset();
    proft.reset();
    aulat.reset();
    asignomt.reset();
  }
};

// Writes the content of the section; every table it opened is closed when it
// returns.
void WriteSection(XmlSectionWriter& out, const RunContext& context, ImportedCounts& counts) {
  const std::filesystem::path& directory = context.exchangeDirectory;
  const char16_t separator = context.decimalSeparator;

  WriteTimetableHeader(out);
  {
    const Table diashorast = Table::Open(directory, kDiashorast.name, separator);
    ImportDaysAndIntervals(out, diashorast, counts);
  }

  CatalogueTables tables;
  tables.grupost.emplace(Table::Open(directory, kGrupost.name, separator));
  tables.soluc.emplace(Table::Open(directory, kSolucName, separator));
  const SolutionCodes solution(*tables.soluc);
  counts.groups = ImportGroups(out, *tables.grupost, solution);

  tables.proft.emplace(Table::Open(directory, kProft.name, separator));
  counts.members = ImportMembers(out, *tables.proft, solution);

  ActivityList activities;
  tables.asignomt.emplace(Table::Open(directory, kAsignomt.name, separator));
  ImportActivities(out, *tables.asignomt, solution, activities);
  counts.activities = activities.ActivityIds().size();

  tables.aulat.emplace(Table::Open(directory, kAulat.name, separator));
  const CatalogueLookup subjects(*tables.asignomt, field::kCod);
  const CatalogueLookup groups(*tables.grupost, field::kAbrev);
  const CatalogueLookup teachers(*tables.proft, field::kAbrev);
  const CatalogueLookup rooms(*tables.aulat, field::kAbrev);
  counts.inputs =
      ImportInputs(out, *tables.soluc, {subjects, groups, teachers, rooms}, activities, separator);
  out.Close();  // time-table
}

}  // namespace

void CheckImportable(const SagaDocument& document, const std::filesystem::path& sagaFile) {
  const XmlNode root = document.Root();
  if (!root) {
    // Loading refuses such a file already; the section needs a root element.
    throw TransferError("El documento SAGA \"" + sagaFile.string() +
                        "\" no tiene elemento raíz; no se ha importado nada.");
  }
  // The timetable goes into SAGA's document only, never into another
  // program's XML chosen by mistake.
  if (root.Name() != "document") {
    std::u16string name = FromUtf8(root.Name());
    if (name.size() > 60) name = name.substr(0, 60) + u"...";
    throw TransferError("El archivo \"" + sagaFile.string() +
                        "\" no es un documento SAGA: su elemento raíz es <" + ToUtf8(name) +
                        ">, no <document>; no se ha importado nada.");
  }
  CheckCanSave(sagaFile);
}

ImportedCounts ImportTimetable(const SagaDocument& document, const std::filesystem::path& sagaFile,
                               const RunContext& context) {
  CheckImportable(document, sagaFile);
  // A timetable made from an earlier export whose codes now name other
  // records would put the wrong teachers, groups or rooms into SAGA.
  const TimetableOrigin origin = FindTimetableOrigin(context);
  if (origin.Stale()) {
    throw TransferError(StaleTimetableText(origin, kListedChanges) + " No se ha importado nada.");
  }
  ImportedCounts counts;
  if (origin.kept) counts.timetableExport = origin.kept->date;
  SaveSagaDocument(document, sagaFile,
                   [&](XmlSectionWriter& out) { WriteSection(out, context, counts); });
  return counts;
}

}  // namespace brivasto
