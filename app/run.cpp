// The run frame shared by the window and the command line.
#include "app/run.h"

#include <clocale>
#include <cstdlib>
#include <exception>
#include <system_error>
#include <utility>
#include <vector>

#include "check/check.h"
#include "files/files.h"

namespace brivasto {

std::filesystem::path ExchangeDirectory() {
  const char* fromEnvironment = std::getenv("BRIVASTO_ZWORK");
  if (fromEnvironment != nullptr && *fromEnvironment != '\0') return fromEnvironment;
  return "/ZWORK";
}

char16_t UserDecimalSeparator() {
  // The user's numeric locale, as the environment (LC_ALL, LC_NUMERIC, LANG)
  // names it; the C locale is restored so that nothing else is affected.
  const char* previous = std::setlocale(LC_NUMERIC, nullptr);
  const std::string saved = previous != nullptr ? previous : "C";
  char16_t separator = u'.';
  if (std::setlocale(LC_NUMERIC, "") != nullptr) {
    const std::lconv* conventions = std::localeconv();
    if (conventions != nullptr && conventions->decimal_point != nullptr &&
        conventions->decimal_point[0] == ',') {
      separator = u',';
    }
  }
  std::setlocale(LC_NUMERIC, saved.c_str());
  return separator;
}

RunContext DefaultRunContext() { return {ExchangeDirectory(), UserDecimalSeparator()}; }

namespace {

constexpr std::u16string_view kNoFile = u"No existe archivo";
constexpr std::u16string_view kFinished = u"Proceso finalizado";

// The batch words are plain ASCII, so lowering ASCII letters is all the
// comparison needs; any other character simply makes the word differ.
std::string AsciiLower(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered;
}

// A SAGA file is there when the path names a regular file, links followed.
// A folder, a dangling link or a path we may not look at count as missing.
bool SagaFileExists(const std::filesystem::path& file) {
  if (file.empty()) return false;
  std::error_code error;
  return std::filesystem::is_regular_file(file, error);
}

// Puts the default cursor back however the steps end.
class BusyCursor {
 public:
  explicit BusyCursor(Prompter& prompter) : prompter_(prompter) { prompter_.SetBusy(true); }
  ~BusyCursor() { prompter_.SetBusy(false); }
  BusyCursor(const BusyCursor&) = delete;
  BusyCursor& operator=(const BusyCursor&) = delete;

 private:
  Prompter& prompter_;
};

// The temporary files that a run cut short (a crash, a kill) left beside
// the files runs write: the exchange tables of the export, the document and
// its backup. Those no live run holds are removed; the paths removed.
std::vector<std::filesystem::path> RemoveLeftovers(const std::filesystem::path& sagaFile,
                                                   const RunContext& context) {
  std::vector<std::filesystem::path> targets;
  for (const std::string_view table : kExchangeSet) {
    targets.push_back(context.exchangeDirectory / (std::string(table) + ".DBF"));
  }
  targets.push_back(sagaFile);
  targets.push_back(BackupPath(sagaFile));
  std::vector<std::filesystem::path> removed;
  for (const auto& target : targets) {
    for (auto& path : files::RemoveLeftovers(target)) removed.push_back(std::move(path));
  }
  return removed;
}

}  // namespace

std::int32_t BatchModeFor(std::span<const std::string> parameters) {
  return parameters.size() == 2 ? 2 : 0;
}

std::optional<Direction> BatchDirectionFor(std::span<const std::string> parameters) {
  if (BatchModeFor(parameters) != 2) return std::nullopt;
  const std::string word = AsciiLower(parameters[0]);
  if (word == "importar") return Direction::kImport;
  if (word == "exportar") return Direction::kExport;
  return std::nullopt;
}

RunFrame::RunFrame(Prompter& prompter, RunContext context, std::int32_t batchMode,
                   TransferSteps steps)
    : prompter_(prompter),
      context_(std::move(context)),
      steps_(std::move(steps)),
      batchMode_(batchMode) {}

RunOutcome RunFrame::RunExport() { return Run(Direction::kExport); }
RunOutcome RunFrame::RunImport() { return Run(Direction::kImport); }

RunOutcome RunFrame::Run(Direction direction) {
  const bool batch = batchMode_ == 2;

  if (std::optional<std::filesystem::path> chosen = prompter_.ChooseSagaFile()) {
    std::error_code error;
    std::filesystem::path full = std::filesystem::absolute(*chosen, error);
    sagaFileName_ = error ? *chosen : std::move(full);
  }

  if (!SagaFileExists(sagaFileName_)) {
    prompter_.ShowMessage(kNoFile);
    // Talvenor tells a missing document of the export apart from the rest.
    if (batch) transferStatus_ = direction == Direction::kExport ? -1 : 0;
    return {.completed = false, .disableRunButtons = false, .closeWindow = batch};
  }

  RunSummaryText summary;
  {
    // No other run may change the exchange directory while this one reads
    // or replaces its tables, nor while the summary reads them back; the
    // lock is given back before the user is asked to acknowledge the end.
    const ExchangeRunLock lock =
        ExchangeRunLock::Take(context_.exchangeDirectory, direction == Direction::kExport
                                                              ? ExchangeRunLock::Mode::kExclusive
                                                              : ExchangeRunLock::Mode::kShared);
    // Temporary files of an interrupted run go first; this run's own are
    // held, and no other run can be making any now.
    const std::vector<std::filesystem::path> leftovers = RemoveLeftovers(sagaFileName_, context_);

    // The previous run's document goes first, so a failed load holds nothing.
    // Neither direction needs the document's whole tree: the export reads
    // its catalogue sections as the file streams past, the import copies the
    // file's bytes around its new section.
    sagaDocument_.reset();
    sagaDocument_.emplace(SagaDocument::Load(sagaFileName_, direction == Direction::kExport
                                                                ? LoadScope::kCatalogueSections
                                                                : LoadScope::kRootElement));

    ImportedCounts imported;
    CatalogueCodes exportedCodes;
    std::vector<std::string> historyWarnings;
    if (direction == Direction::kExport) {
      BusyCursor busy(prompter_);
      // The history keeps the tables the export replaces and, once the new
      // set is in place, the ones it wrote; a failure there is only a warning.
      HistoryRecorder history(context_.exchangeDirectory);
      exportedCodes = steps_.exportSteps(*sagaDocument_, context_);
      std::error_code sizeError;
      const std::uintmax_t bytes = std::filesystem::file_size(sagaFileName_, sizeError);
      historyWarnings = history.Record({.origin = "exportación",
                                        .document = sagaFileName_.string(),
                                        .documentBytes = sizeError ? 0 : bytes});
    } else {
      imported = steps_.importTimetable(*sagaDocument_, sagaFileName_, context_);
    }

    transferStatus_ = 1;
    summary = RunSummary(direction, *sagaDocument_, context_, imported, leftovers, historyWarnings,
                         &exportedCodes);
  }
  summary_ = std::move(summary.text);
  prompter_.ShowMessageWithDetail(kFinished, summary.notice, summary_);
  return {.completed = true, .disableRunButtons = true, .closeWindow = batch};
}

RunSummaryText RunSummary(Direction direction, const SagaDocument& document,
                          const RunContext& context, const ImportedCounts& imported,
                          const std::vector<std::filesystem::path>& leftoversRemoved,
                          std::span<const std::string> historyWarnings,
                          const CatalogueCodes* exportedCodes) {
  std::string text;
  std::string notice;
  try {
    const bool exported = direction == Direction::kExport;
    text = exported ? "Registros escritos en " : "Importado en el documento desde ";
    text += context.exchangeDirectory.string() + ":\n";
    for (const std::string& line : exported ? ExportCounts(context) : ImportCounts(imported)) {
      text += "  " + line + "\n";
    }
    if (!leftoversRemoved.empty()) {
      text += "Borrados los archivos temporales que dejó una ejecución interrumpida:\n";
      for (const auto& path : leftoversRemoved) text += "  " + path.string() + "\n";
    }
    if (!exported && !imported.timetableExport.empty()) {
      text += "El horario se hizo con la exportación del " + imported.timetableExport + ".\n";
    }
    // What the check finds in what was just carried.
    // After an import, the check words what the import's own pass found.
    CheckReport report = exported ? CheckExportSide(document, /*lookForStops=*/false, exportedCodes)
                         : imported.findings ? CheckImportSide(context, *imported.findings)
                                             : CheckImportSide(context, /*lookForOrigin=*/false);
    report.warnings.insert(report.warnings.begin(), historyWarnings.begin(), historyWarnings.end());
    const std::size_t count = report.warnings.size();
    if (count == 0) {
      text += "Sin avisos.";
      notice = "Sin avisos.";
    } else {
      text += "Avisos (" + std::to_string(count) + "):";
      for (const std::string& warning : report.warnings) text += "\n- " + warning;
      notice = count == 1 ? "1 aviso: véalo en los detalles."
                          : std::to_string(count) + " avisos: véalos en los detalles.";
    }
  } catch (const std::exception& error) {
    text += std::string("No se pudo completar el resumen: ") + error.what();
    notice = "El resumen no se pudo completar: véalo en los detalles.";
  }
  return {FromUtf8(text), FromUtf8(notice)};
}

void RunFrame::WriteStatusOnClose(const std::filesystem::path& statusFile) const {
  if (batchMode_ != 2) return;
  WriteTransferStatus(statusFile, transferStatus_);
}

}  // namespace brivasto
