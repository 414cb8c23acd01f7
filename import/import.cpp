// The import run: the `time-tables` section built from the exchange tables,
// then the document saved over its file.
#include "import/import.h"

#include <memory>
#include <optional>
#include <utility>

#include "import/lookups.h"
#include "import/steps.h"

namespace brivasto {
namespace {

// The changed codes a stale timetable's message names.
constexpr std::size_t kListedChanges = 5;

// Writes the content of the section from the tables, which it releases when
// it returns, and records what the summary's check reports in `findings`.
void WriteSection(XmlSectionWriter& out, ImportTables tables, ImportedCounts& counts,
                  SolutionFindings& findings) {
  for (const std::optional<Table>* table : {&tables.soluc, &tables.diashorast, &tables.grupost,
                                            &tables.proft, &tables.asignomt, &tables.aulat}) {
    const std::string& notice = (*table)->CodePageNotice();
    if (!notice.empty()) findings.codePageNotices.push_back(notice);
  }
  WriteTimetableHeader(out);
  ImportDaysAndIntervals(out, *tables.diashorast, counts);

  SolutionCodes solution(*tables.soluc);
  counts.groups = ImportGroups(out, *tables.grupost, solution);
  counts.members = ImportMembers(out, *tables.proft, solution);

  const DayHourFrame frame = FrameOfDays(*tables.diashorast);
  std::optional<SolutionPass> pass;
  {
    // The activities and the lookups go once the pass has taken what it
    // needs of them.
    ActivityList activities;
    ImportActivities(out, *tables.asignomt, solution, activities);
    counts.activities = activities.ActivityIds().size();

    const CatalogueLookup subjects(*tables.asignomt, field::kCod);
    const CatalogueLookup groups(*tables.grupost, field::kAbrev);
    const CatalogueLookup teachers(*tables.proft, field::kAbrev);
    const CatalogueLookup rooms(*tables.aulat, field::kAbrev);
    pass.emplace(*tables.soluc, frame, solution, subjects, groups, teachers, rooms, activities,
                 tables.decimalSeparator);
  }
  counts.inputs = ImportInputs(out, *pass, findings);
  out.Close();  // time-table
  findings.codes = std::move(solution).TakeCodes();
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

ImportTables::~ImportTables() {
  soluc.reset();
  grupost.reset();
  proft.reset();
  aulat.reset();
  asignomt.reset();
  diashorast.reset();
}

ImportTables OpenImportTables(const RunContext& context) {
  const std::filesystem::path& directory = context.exchangeDirectory;
  const char16_t separator = context.decimalSeparator;
  ImportTables tables;
  tables.decimalSeparator = separator;
  // Each step reads its tables in record order, a window of records at a
  // time, so that the tables need not sit in memory beside the document.
  tables.diashorast.emplace(Table::OpenStreamed(directory, kDiashorast.name, separator));
  tables.grupost.emplace(Table::OpenStreamed(directory, kGrupost.name, separator));
  tables.soluc.emplace(Table::OpenStreamed(directory, kSolucName, separator));
  tables.proft.emplace(Table::OpenStreamed(directory, kProft.name, separator));
  tables.asignomt.emplace(Table::OpenStreamed(directory, kAsignomt.name, separator));
  tables.aulat.emplace(Table::OpenStreamed(directory, kAulat.name, separator));
  return tables;
}

ImportedCounts ImportTimetable(const SagaDocument& document, const std::filesystem::path& sagaFile,
                               const RunContext& context) {
  CheckImportable(document, sagaFile);
  // A timetable made from an earlier export whose codes now name other
  // records would put the wrong teachers, groups or rooms into SAGA. Looked
  // for before the tables are held: kept exports may be the same files.
  const TimetableOrigin origin = FindTimetableOrigin(context);
  if (origin.Stale()) {
    throw TransferError(StaleTimetableText(origin, kListedChanges) + " No se ha importado nada.");
  }
  ImportedCounts counts = ImportTimetableWith(document, sagaFile, OpenImportTables(context));
  if (origin.kept) counts.timetableExport = origin.kept->date;
  return counts;
}

ImportedCounts ImportTimetableWith(const SagaDocument& document,
                                   const std::filesystem::path& sagaFile, ImportTables tables) {
  CheckImportable(document, sagaFile);
  ImportedCounts counts;
  auto findings = std::make_shared<SolutionFindings>();
  // The tables are closed when the section is written, before the document
  // is saved.
  SaveSagaDocument(document, sagaFile, [&](XmlSectionWriter& out) {
    WriteSection(out, std::move(tables), counts, *findings);
  });
  counts.findings = std::move(findings);
  return counts;
}

}  // namespace brivasto
