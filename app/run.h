// app/run.h: the run frame that the window and the command line share, and
// the status file Talvenor reads after a batch run. Nothing here knows about
// widgets: the frame reaches the user only through a Prompter.
//
// A run of either direction: ask for the SAGA document (a cancel keeps the
// previous choice), stop with "No existe archivo" when no file is there, take
// the exchange directory's run lock (exclusive for the export, shared for the
// import; another run holding it stops this one at once, nothing changed),
// load the document afresh, run the direction's steps, set TransferStatus to 1 and
// say "Proceso finalizado" with the run's summary as its detail (the
// temporary files an interrupted run left and this one removed, the records
// of each table written, or the entries of each list imported, and the
// warnings of the check on what was carried). The export shows the wait cursor while its steps
// run and puts it back also when a step fails. Errors are not caught here:
// a TransferError (or any other std::exception) leaves the run where it
// happened, with TransferStatus unchanged, for the front end to show.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "export/export.h"
#include "import/import.h"
#include "saga/saga.h"
#include "tables/tables.h"

namespace brivasto {

// ---------------------------------------------------------------------------
// What a run takes from its surroundings.

// The exchange directory: BRIVASTO_ZWORK when set and not empty, else "/ZWORK".
std::filesystem::path ExchangeDirectory();
// The decimal separator of the user's LC_NUMERIC locale (read once through
// setlocale/localeconv); u'.' when the locale names none.
char16_t UserDecimalSeparator();
// ExchangeDirectory() and UserDecimalSeparator() together.
RunContext DefaultRunContext();

// How a run reaches the user: the window answers with its dialogs, the
// command line with its arguments and standard streams, tests with a script.
class Prompter {
 public:
  virtual ~Prompter() = default;
  // The SAGA document chosen by the user; std::nullopt means Cancel.
  virtual std::optional<std::filesystem::path> ChooseSagaFile() = 0;
  // A message the user acknowledges ("No existe archivo", "Proceso finalizado").
  virtual void ShowMessage(std::u16string_view text) = 0;
  // A message with a line under it that says what the details hold, and the
  // details to read on request: "Proceso finalizado" with the count of the
  // run's warnings and its summary. Without an override, the message alone.
  virtual void ShowMessageWithDetail(std::u16string_view text, std::u16string_view notice,
                                     std::u16string_view detail) {
    (void)notice;
    (void)detail;
    ShowMessage(text);
  }
  // The text of an error that ended a run or a close; shown by the front end.
  virtual void ShowError(std::u16string_view text) = 0;
  // The wait cursor during the export's steps (true), the default one after.
  virtual void SetBusy(bool busy) = 0;
};

enum class Direction { kExport, kImport };

// The work of each direction once its document is loaded. Defaults to the
// real export and import; tests put other steps in.
struct TransferSteps {
  // The export gives back the codes it gave, which the summary reuses.
  std::function<CatalogueCodes(const SagaDocument&, const RunContext&)> exportSteps =
      RunExportSteps;
  std::function<ImportedCounts(const SagaDocument&, const std::filesystem::path&,
                               const RunContext&)>
      importTimetable = ImportTimetable;
};

// How a run ended, and what the window does next.
struct RunOutcome {
  bool completed = false;          // false: "No existe archivo"
  bool disableRunButtons = false;  // after a completed run
  bool closeWindow = false;        // batch mode closes after either ending
};

// Command-line parameters (the program's name excluded).
// 2 when there are exactly two parameters, else 0.
std::int32_t BatchModeFor(std::span<const std::string> parameters);
// The direction the first of exactly two parameters names: "importar" or
// "exportar" in any letter case. std::nullopt for any other word or count.
std::optional<Direction> BatchDirectionFor(std::span<const std::string> parameters);

// The run state of one process: SagaFileName, TransferStatus and BatchMode
// live as long as the frame; a new SagaDocument is loaded for every run that
// finds its file.
class RunFrame {
 public:
  // `prompter` must outlive the frame.
  RunFrame(Prompter& prompter, RunContext context, std::int32_t batchMode,
           TransferSteps steps = {});

  RunOutcome RunExport();
  RunOutcome RunImport();
  RunOutcome Run(Direction direction);

  // In batch mode, writes TransferStatus to `statusFile` (see
  // WriteTransferStatus); in interactive mode writes nothing.
  void WriteStatusOnClose(const std::filesystem::path& statusFile) const;

  const std::filesystem::path& SagaFileName() const { return sagaFileName_; }
  std::int32_t TransferStatus() const { return transferStatus_; }
  std::int32_t BatchMode() const { return batchMode_; }
  const RunContext& Context() const { return context_; }
  // The summary of the last completed run (UTF-16, lines separated by '\n');
  // empty before one.
  const std::u16string& Summary() const { return summary_; }

 private:
  Prompter& prompter_;
  RunContext context_;
  TransferSteps steps_;
  std::filesystem::path sagaFileName_;  // empty until the first choice
  std::optional<SagaDocument> sagaDocument_;
  std::int32_t transferStatus_ = 0;
  std::int32_t batchMode_ = 0;
  std::u16string summary_;
};

// The summary of a completed run in `direction` of `document` with the
// exchange directory of `context`, and the line that announces it. Never
// throws: what cannot be read is said in the summary.
// `imported` is what the import wrote (not used for an export);
// `leftoversRemoved` the temporary files of an interrupted run that the run
// removed before its steps (listed when there are any); `historyWarnings`
// what the export history could not keep, shown first among the warnings;
// `exportedCodes` the codes the export gave (see CheckExportSide).
struct RunSummaryText {
  std::u16string text;
  std::u16string notice;  // "Sin avisos.", "1 aviso: ...", "N avisos: ..."
};
RunSummaryText RunSummary(Direction direction, const SagaDocument& document,
                          const RunContext& context, const ImportedCounts& imported = {},
                          const std::vector<std::filesystem::path>& leftoversRemoved = {},
                          std::span<const std::string> historyWarnings = {},
                          const CatalogueCodes* exportedCodes = nullptr);

// ---------------------------------------------------------------------------
// The status file.

// "Talvenor.ini" in `programDirectory`.
std::filesystem::path StatusFilePath(const std::filesystem::path& programDirectory);
// The status file of this process: the file BRIVASTO_STATUS_FILE names when
// it is set and not empty (for an installed program, whose own folder a
// user cannot write), else StatusFilePath(programDirectory).
std::filesystem::path StatusFileFor(const std::filesystem::path& programDirectory);

// The status file could not be written. what() is "Unable to write to
// <file>"; Reason() says why in Spanish ("el sistema de archivos es de solo
// lectura").
class StatusFileError : public TransferError {
 public:
  StatusFileError(const std::filesystem::path& file, std::string reason);
  const std::string& Reason() const { return reason_; }

 private:
  std::string reason_;
};

// Sets `key` of `section` in the INI file `file` to `value`, as the Windows
// private-profile functions do: the first section and key of those names (in
// any letter case) are used; the key's value is replaced within its line, or
// the key is added after the last entry of the section, or the section is
// appended at the end. Every other byte of the file stays as it was; added
// lines use the file's own line ending (CRLF for a new file). A missing file
// is created. A link is followed to the file it names. The new content goes
// to a temporary file beside it, renamed over it when complete. Any failure
// throws StatusFileError "Unable to write to <file>" with the reason.
void WriteProfileString(const std::filesystem::path& file, std::string_view section,
                        std::string_view key, std::string_view value);

// Key "Transformado" of section "Transformadores" = `status` as decimal text.
void WriteTransferStatus(const std::filesystem::path& statusFile, std::int32_t status);

// The INI text after setting the key; the pure middle of WriteProfileString.
std::string WithProfileString(std::string_view content, std::string_view section,
                              std::string_view key, std::string_view value);

}  // namespace brivasto
