// The headless command line: the run frame answered by the arguments, its
// messages on the standard streams.
#include "app/cli.h"

#include <exception>
#include <optional>
#include <string_view>
#include <system_error>
#include <vector>

#include "app/run.h"
#include "check/check.h"

#ifndef BRIVASTO_VERSION
#error "BRIVASTO_VERSION must come from the build"
#endif

namespace brivasto {
namespace {

constexpr std::string_view kUsage =
    "Uso: brivasto-cli [--zwork DIR] export ARCHIVO.xml\n"
    "     brivasto-cli [--zwork DIR] import ARCHIVO.xml\n"
    "     brivasto-cli [--zwork DIR] check ARCHIVO.xml\n"
    "     brivasto-cli [--zwork DIR] historial\n"
    "     brivasto-cli [--zwork DIR] restaurar FECHA\n"
    "     brivasto-cli --help | --version\n";

constexpr std::string_view kHelp =
    "Lleva los datos de planificación entre SAGA y Talvenor, sin ventana.\n"
    "\n"
    "  export ARCHIVO.xml   de SAGA a Talvenor: crea las tablas ASIGNOMT, PROFT,\n"
    "                       AULAT, GRUPOST, ASIGT y DIASHORAST (vacía) en el\n"
    "                       directorio de intercambio\n"
    "  import ARCHIVO.xml   de Talvenor a SAGA: escribe el horario de Talvenor\n"
    "                       (SOLUC) en el documento y lo guarda\n"
    "  check ARCHIVO.xml    comprueba, sin escribir nada, si el documento (y el\n"
    "                       horario de Talvenor, si está en el directorio de\n"
    "                       intercambio) pasarán bien, y avisa de lo que conviene\n"
    "                       revisar\n"
    "  historial            lista las exportaciones guardadas en la carpeta\n"
    "                       historial del directorio de intercambio (fecha,\n"
    "                       documento, registros)\n"
    "  restaurar FECHA      vuelve a poner las seis tablas de esa exportación\n"
    "                       (FECHA como la da historial); las tablas que\n"
    "                       sustituye quedan también en el historial\n"
    "  --zwork DIR          directorio de intercambio; si no se da, el de la\n"
    "                       variable BRIVASTO_ZWORK, y si no, /ZWORK\n"
    "  --help               esta ayuda\n"
    "  --version            la versión\n"
    "\n"
    "Resultado: 0 si la transferencia termina, 1 si falla (el motivo sale por la\n"
    "salida de errores), 2 si la orden está mal escrita. La comprobación da 0 si\n"
    "nada impide la transferencia (aunque haya avisos) y 1 si algo la impide.\n";

// Answers the file question with the argument; keeps the messages so that
// the caller can send them to the right stream.
class CliPrompter final : public Prompter {
 public:
  explicit CliPrompter(std::filesystem::path file) : file_(std::move(file)) {}

  std::optional<std::filesystem::path> ChooseSagaFile() override { return file_; }
  void ShowMessage(std::u16string_view text) override { messages_.push_back(ToUtf8(text)); }
  void ShowError(std::u16string_view text) override { messages_.push_back(ToUtf8(text)); }
  void SetBusy(bool) override {}

  const std::vector<std::string>& Messages() const { return messages_; }

 private:
  std::filesystem::path file_;
  std::vector<std::string> messages_;
};

int UsageError(std::ostream& err, std::string_view problem) {
  err << "brivasto-cli: " << problem << '\n' << kUsage;
  return 2;
}

void PrintList(std::ostream& out, std::string_view heading, const std::vector<std::string>& lines) {
  out << heading << " (" << lines.size() << "):\n";
  for (const std::string& line : lines) out << "- " << line << '\n';
}

// `check FILE.xml`: reads the document and the exchange tables, writes nothing.
int RunCheck(const std::filesystem::path& file, const RunContext& context, std::ostream& out,
             std::ostream& err) {
  std::error_code error;
  if (!std::filesystem::is_regular_file(file, error)) {
    err << "No existe archivo: " << file.string() << '\n';
    return 1;
  }
  try {
    // No export may replace the tables while the check reads them.
    const ExchangeRunLock lock =
        ExchangeRunLock::Take(context.exchangeDirectory, ExchangeRunLock::Mode::kShared);
    const SagaDocument document = SagaDocument::Load(file);
    const bool timetable = HasTimetable(context);
    const CheckReport report = CheckBeforeRun(document, context);
    out << "Comprobado " << file.string() << " con el directorio de intercambio "
        << context.exchangeDirectory.string()
        << (timetable ? ", que tiene el horario de Talvenor (SOLUC).\n"
                      : ", que no tiene horario de Talvenor (SOLUC): solo la exportación.\n");
    if (!report.stops.empty()) PrintList(out, "Impide la exportación", report.stops);
    if (timetable && !report.importStops.empty()) {
      PrintList(out, "Impide la importación", report.importStops);
    }
    if (!report.warnings.empty()) PrintList(out, "Avisos", report.warnings);
    if (report.Passes()) {
      out << (report.warnings.empty() ? "Nada impide la transferencia y no hay avisos.\n"
                                      : "Nada impide la transferencia.\n");
      return 0;
    }
    return 1;
  } catch (const std::exception& failure) {
    err << failure.what() << '\n';
    return 1;
  }
}

// `historial`: the kept exports, newest first.
int RunHistoryList(const RunContext& context, std::ostream& out) {
  const std::vector<KeptExport> kept = KeptExports(context.exchangeDirectory);
  const std::string folder = (context.exchangeDirectory / kHistoryFolder).string();
  if (kept.empty()) {
    out << "No hay exportaciones guardadas en " << folder << ".\n";
    return 0;
  }
  out << "Exportaciones guardadas en " << folder << " (" << kept.size()
      << "), la más reciente primero:\n";
  for (const KeptExport& entry : kept) {
    out << entry.name << "  " << entry.date << "  " << entry.origin
        << "\n  documento: " << entry.document << " (" << entry.documentBytes
        << " bytes)\n  registros:";
    for (const auto& [table, records] : entry.records) {
      out << (table == entry.records.front().first ? " " : ", ") << table << " " << records;
    }
    out << '\n';
  }
  return 0;
}

// `restaurar FECHA`: that export's tables back in place as one set.
int RunRestore(const RunContext& context, const std::string& name, std::ostream& out,
               std::ostream& err) {
  try {
    // Like an export, a restore replaces the tables: no other run at the same time.
    const ExchangeRunLock lock =
        ExchangeRunLock::Take(context.exchangeDirectory, ExchangeRunLock::Mode::kExclusive);
    const std::vector<std::string> warnings = RestoreKeptExport(context.exchangeDirectory, name);
    out << "Restaurada la exportación " << name << " en " << context.exchangeDirectory.string()
        << ": las tablas que había quedan en el historial.\n";
    for (const std::string& warning : warnings) err << "Aviso: " << warning << '\n';
    return 0;
  } catch (const std::exception& failure) {
    err << failure.what() << '\n';
    return 1;
  }
}

}  // namespace

int RunFromCommandLine(std::span<const std::string> arguments, std::ostream& out,
                       std::ostream& err) {
  std::optional<std::filesystem::path> zwork;
  std::vector<std::string> words;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (optionsEnded || argument.empty() || argument[0] != '-' || argument == "-") {
      words.push_back(argument);
    } else if (argument == "--") {
      optionsEnded = true;
    } else if (argument == "--help" || argument == "-h") {
      out << kUsage << '\n' << kHelp;
      return 0;
    } else if (argument == "--version") {
      out << "brivasto-cli " << BRIVASTO_VERSION << '\n';
      return 0;
    } else if (argument == "--zwork") {
      if (i + 1 == arguments.size()) return UsageError(err, "falta el directorio tras --zwork");
      zwork = arguments[++i];
    } else if (argument.starts_with("--zwork=")) {
      zwork = argument.substr(std::string_view("--zwork=").size());
    } else {
      return UsageError(err, "opción desconocida: " + argument);
    }
  }
  if (zwork && zwork->empty()) return UsageError(err, "el directorio de --zwork está vacío");
  RunContext context = DefaultRunContext();
  if (zwork) context.exchangeDirectory = *zwork;
  if (!words.empty() && words[0] == "historial") {
    if (words.size() != 1) return UsageError(err, "historial no lleva más argumentos");
    return RunHistoryList(context, out);
  }
  if (!words.empty() && words[0] == "restaurar") {
    if (words.size() != 2) return UsageError(err, "restaurar lleva la fecha de una exportación");
    return RunRestore(context, words[1], out, err);
  }
  if (words.size() != 2) return UsageError(err, "hacen falta una orden y un archivo");

  if (words[0] == "check") return RunCheck(words[1], context, out, err);

  Direction direction;
  if (words[0] == "export") {
    direction = Direction::kExport;
  } else if (words[0] == "import") {
    direction = Direction::kImport;
  } else {
    return UsageError(
        err, "orden desconocida: " + words[0] + " (export, import, check, historial o restaurar)");
  }

  CliPrompter prompter(words[1]);
  RunFrame frame(prompter, context, /*batchMode=*/0);
  try {
    const RunOutcome outcome = frame.Run(direction);
    if (!outcome.completed) {
      for (const std::string& message : prompter.Messages()) {
        err << message << ": " << frame.SagaFileName().string() << '\n';
      }
      return 1;
    }
  } catch (const std::exception& error) {
    err << error.what() << '\n';
    return 1;
  }

  const std::string file = frame.SagaFileName().string();
  const std::string directory = context.exchangeDirectory.string();
  if (direction == Direction::kExport) {
    const ExchangeTable* const written[] = {&kAsignomt, &kProft, &kAulat,
                                            &kGrupost,  &kAsigt, &kDiashorast};
    out << "Exportado " << file << " a las tablas";
    for (const ExchangeTable* table : written) {
      out << (table == written[0] ? " " : table == &kDiashorast ? " y " : ", ") << table->name;
    }
    out << " de " << directory << ".\n";
  } else {
    out << "Importado el horario de " << directory << " en " << file << ".\n";
  }
  for (const std::string& message : prompter.Messages()) out << message << '\n';
  out << ToUtf8(frame.Summary()) << '\n';
  return 0;
}

}  // namespace brivasto
