// The export history in the folder "historial" of the exchange directory:
// one subfolder per export, written after the new tables are in place, with
// links to the tables it wrote and to those it replaced.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iterator>
#include <random>
#include <string>
#include <system_error>
#include <utility>

#include "files/files.h"
#include "tables/tables.h"

namespace brivasto {
namespace {

constexpr std::string_view kDescriptionFile = "exportacion.txt";
constexpr std::string_view kPendingPrefix = ".pendiente-";
// "2026-12-10_14-05-33": the part of an entry's name before any "-2" suffix.
constexpr std::size_t kStampLength = 19;

std::filesystem::path HistoryDirectory(const std::filesystem::path& exchangeDirectory) {
  return exchangeDirectory / kHistoryFolder;
}

// A history entry's name split into its date and time and its number within
// that second (1 for the first): newer entries compare greater.
struct EntryOrder {
  std::string stamp;
  unsigned number = 1;
  auto operator<=>(const EntryOrder&) const = default;
};

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::optional<EntryOrder> OrderOf(std::string_view name) {
  if (name.size() < kStampLength) return std::nullopt;
  const std::string_view stamp = name.substr(0, kStampLength);
  for (std::size_t i = 0; i < stamp.size(); ++i) {
    const char c = stamp[i];
    const bool separator = i == 4 || i == 7 || i == 13 || i == 16;
    const bool ok = separator ? c == '-' : i == 10 ? c == '_' : c >= '0' && c <= '9';
    if (!ok) return std::nullopt;
  }
  EntryOrder order{std::string(stamp)};
  if (name.size() > kStampLength) {
    const std::string_view suffix = name.substr(kStampLength + 1);
    if (name[kStampLength] != '-' || !AllDigits(suffix) || suffix.size() > 6) return std::nullopt;
    std::from_chars(suffix.data(), suffix.data() + suffix.size(), order.number);
  }
  return order;
}

// The entries of the history, oldest first.
std::vector<std::string> EntryNames(const std::filesystem::path& history) {
  std::vector<std::pair<EntryOrder, std::string>> entries;
  std::error_code error;
  for (std::filesystem::directory_iterator entry(history, error), end; !error && entry != end;
       entry.increment(error)) {
    std::string name = entry->path().filename().string();
    if (const auto order = OrderOf(name)) entries.emplace_back(*order, std::move(name));
  }
  std::sort(entries.begin(), entries.end());
  std::vector<std::string> names;
  for (auto& [order, name] : entries) names.push_back(std::move(name));
  return names;
}

std::string Warning(std::string_view what, const std::filesystem::path& path, int error) {
  return "No se pudo " + std::string(what) + " en el historial de exportaciones (" +
         files::PathText(path) + "): " + files::ErrnoText(error) +
         ". Las tablas de intercambio están bien; solo falta esa copia en el historial.";
}

int MakeFolder(const std::filesystem::path& path) {
  return ::mkdir(path.c_str(), 0777) == 0 ? 0 : errno;
}

// Links the six exchange tables of `from` that exist into the new folder `to`.
int LinkTables(const std::filesystem::path& from, const std::filesystem::path& to,
               std::filesystem::path& failed) {
  failed = to;
  if (const int error = MakeFolder(to); error != 0) return error;
  for (const ExchangeTable* table : kExportedTables) {
    const std::string fileName = std::string(table->name) + ".DBF";
    const std::vector<std::filesystem::path> found = files::FindIgnoringAsciiCase(from, fileName);
    if (found.empty()) continue;
    failed = to / fileName;
    if (const int error = files::LinkOrCopy(found.front(), to / fileName); error != 0) return error;
  }
  return 0;
}

int WriteWholeFile(const std::filesystem::path& path, std::string_view content) {
  files::UniqueFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
  if (!file.Valid()) return errno;
  for (std::size_t done = 0; done < content.size();) {
    const ssize_t put = ::write(file.Get(), content.data() + done, content.size() - done);
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    done += static_cast<std::size_t>(put);
  }
  if (::fsync(file.Get()) != 0) return errno;
  return file.Close();
}

std::string LocalStamp(std::time_t when, bool forName) {
  std::tm local{};
  ::localtime_r(&when, &local);
  char text[32];
  std::strftime(text, sizeof text, forName ? "%Y-%m-%d_%H-%M-%S" : "%Y-%m-%d %H:%M:%S", &local);
  return text;
}

// Folds the bytes of a file into `hash`, eight at a time.
bool HashFile(const std::filesystem::path& file, std::uint64_t& hash) {
  files::UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return false;
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15u;
  std::vector<unsigned char> block(1 << 16);
  std::uint64_t length = 0;
  for (bool first = true;; first = false) {
    ssize_t got = ::read(fd.Get(), block.data(), block.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    if (first) {
      for (std::size_t i = 1; i <= 3 && i < static_cast<std::size_t>(got); ++i) block[i] = 0;
    }
    const std::size_t size = static_cast<std::size_t>(got);
    for (std::size_t i = 0; i < size; i += 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, block.data() + i, std::min<std::size_t>(8, size - i));
      hash = (hash ^ word) * kMultiplier;
      hash ^= hash >> 29;
    }
    length += size;
  }
  hash = (hash ^ length) * kMultiplier;
  return true;
}

std::optional<KeptExport> ReadDescription(const std::filesystem::path& folder) {
  files::UniqueFd file(::open((folder / kDescriptionFile).c_str(), O_RDONLY | O_CLOEXEC));
  if (!file.Valid()) return std::nullopt;
  std::string content;
  char block[4096];
  for (;;) {
    const ssize_t got = ::read(file.Get(), block, sizeof block);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return std::nullopt;
    if (got == 0) break;
    content.append(block, static_cast<std::size_t>(got));
  }
  KeptExport kept;
  kept.name = folder.filename().string();
  kept.writtenTables = folder / kWrittenTablesFolder;
  kept.replacedTables = folder / kReplacedTablesFolder;
  for (std::size_t start = 0; start < content.size();) {
    std::size_t end = content.find('\n', start);
    if (end == std::string::npos) end = content.size();
    const std::string_view line(content.data() + start, end - start);
    start = end + 1;
    const std::size_t equals = line.find('=');
    if (equals == std::string_view::npos) continue;
    const std::string_view key = line.substr(0, equals);
    const std::string_view value = line.substr(equals + 1);
    std::uintmax_t number = 0;
    const bool isNumber = std::from_chars(value.data(), value.data() + value.size(), number).ptr ==
                              value.data() + value.size() &&
                          !value.empty();
    if (key == "fecha") {
      kept.date = value;
    } else if (key == "origen") {
      kept.origin = value;
    } else if (key == "documento") {
      kept.document = value;
    } else if (key == "bytes" && isNumber) {
      kept.documentBytes = number;
    } else if (key == "huella") {
      std::uint64_t fingerprint = 0;
      const auto read = std::from_chars(value.data(), value.data() + value.size(), fingerprint, 16);
      if (read.ec == std::errc() && read.ptr == value.data() + value.size()) {
        kept.fingerprint = fingerprint;
      }
    } else if (isNumber) {
      for (const ExchangeTable* table : kExportedTables) {
        if (key == table->name) kept.records.emplace_back(key, static_cast<std::size_t>(number));
      }
    }
  }
  if (kept.date.empty()) return std::nullopt;
  return kept;
}

}  // namespace

std::optional<std::uint64_t> TablesFingerprint(const std::filesystem::path& folder) {
  std::uint64_t hash = 0;
  for (const ExchangeTable* table : {&kAsignomt, &kProft, &kAulat, &kGrupost, &kAsigt}) {
    const auto found = files::FindIgnoringAsciiCase(folder, std::string(table->name) + ".DBF");
    if (found.empty() || !HashFile(found.front(), hash)) return std::nullopt;
  }
  return hash;
}

std::size_t KeptExportsLimit() {
  const char* text = std::getenv(std::string(kKeptExportsVariable).c_str());
  if (text == nullptr) return kDefaultKeptExports;
  const std::string_view value(text);
  std::size_t limit = 0;
  if (!AllDigits(value) || value.size() > 6 ||
      std::from_chars(value.data(), value.data() + value.size(), limit).ec != std::errc()) {
    return kDefaultKeptExports;
  }
  return limit;
}

std::vector<KeptExport> KeptExports(const std::filesystem::path& exchangeDirectory) {
  const std::filesystem::path history = HistoryDirectory(exchangeDirectory);
  std::vector<KeptExport> kept;
  const std::vector<std::string> names = EntryNames(history);
  for (auto name = names.rbegin(); name != names.rend(); ++name) {
    if (auto entry = ReadDescription(history / *name)) kept.push_back(std::move(*entry));
  }
  return kept;
}

HistoryRecorder::HistoryRecorder(std::filesystem::path exchangeDirectory)
    : directory_(std::move(exchangeDirectory)) {
  if (KeptExportsLimit() == 0) return;
  const std::filesystem::path history = HistoryDirectory(directory_);
  if (const int error = MakeFolder(history); error != 0 && error != EEXIST) {
    warnings_.push_back(Warning("crear la carpeta", history, error));
    return;
  }
  std::random_device seed;
  pending_ = history / (std::string(kPendingPrefix) + std::to_string(::getpid()) + "-" +
                        std::to_string(seed() % 1000000));
  if (const int error = MakeFolder(pending_); error != 0) {
    warnings_.push_back(Warning("crear la carpeta", pending_, error));
    pending_.clear();
    return;
  }
  std::filesystem::path failed;
  if (const int error = LinkTables(directory_, pending_ / kReplacedTablesFolder, failed);
      error != 0) {
    warnings_.push_back(Warning("guardar las tablas sustituidas", failed, error));
    Abandon();
  }
}

HistoryRecorder::~HistoryRecorder() { Abandon(); }

void HistoryRecorder::Abandon() {
  if (pending_.empty()) return;
  files::RemoveTree(pending_);
  pending_.clear();
}

std::vector<std::string> HistoryRecorder::Record(const ExportDescription& description) {
  std::vector<std::string> warnings = std::move(warnings_);
  warnings_.clear();
  if (pending_.empty()) return warnings;
  const std::filesystem::path history = HistoryDirectory(directory_);

  std::filesystem::path failed;
  if (const int error = LinkTables(directory_, pending_ / kWrittenTablesFolder, failed);
      error != 0) {
    warnings.push_back(Warning("guardar las tablas escritas", failed, error));
    Abandon();
    return warnings;
  }
  const std::time_t now = std::time(nullptr);
  std::string text = "fecha=" + LocalStamp(now, false) + "\norigen=" + description.origin +
                     "\ndocumento=" + description.document +
                     "\nbytes=" + std::to_string(description.documentBytes) + "\n";
  for (const ExchangeTable* table : kExportedTables) {
    const auto count =
        StoredRecordCount(pending_ / kWrittenTablesFolder / (std::string(table->name) + ".DBF"));
    if (count) text += std::string(table->name) + "=" + std::to_string(*count) + "\n";
  }
  if (const auto fingerprint = TablesFingerprint(pending_ / kWrittenTablesFolder)) {
    char hex[17];
    const auto written = std::to_chars(hex, hex + sizeof hex, *fingerprint, 16);
    text += "huella=" + std::string(hex, written.ptr) + "\n";
  }
  if (const int error = WriteWholeFile(pending_ / kDescriptionFile, text); error != 0) {
    warnings.push_back(Warning("escribir la descripción", pending_ / kDescriptionFile, error));
    Abandon();
    return warnings;
  }

  // The entry gets its name in one rename: a later one in the same second
  // takes the next number.
  const std::string stamp = LocalStamp(now, true);
  std::vector<std::string> names = EntryNames(history);
  unsigned number = 1;
  for (const std::string& name : names) {
    const auto order = OrderOf(name);
    if (order && order->stamp == stamp) number = std::max(number, order->number + 1);
  }
  std::filesystem::path entry;
  for (;; ++number) {
    entry = history / (number == 1 ? stamp : stamp + "-" + std::to_string(number));
    struct stat existing {};
    if (::lstat(entry.c_str(), &existing) != 0) break;
  }
  if (::rename(pending_.c_str(), entry.c_str()) != 0) {
    warnings.push_back(Warning("guardar la exportación", entry, errno));
    Abandon();
    return warnings;
  }
  pending_.clear();
  if (const int error = files::SyncDirectory(history); error != 0) {
    warnings.push_back(Warning("guardar la exportación", history, error));
  }

  // The oldest entries beyond the limit go, and what earlier runs left
  // pending (the exchange directory holds one run at a time).
  names = EntryNames(history);
  const std::size_t limit = KeptExportsLimit();
  for (std::size_t i = 0; i + limit < names.size(); ++i) {
    if (const int error = files::RemoveTree(history / names[i]); error != 0) {
      warnings.push_back(Warning("borrar una exportación antigua", history / names[i], error));
      break;
    }
  }
  std::error_code error;
  std::vector<std::filesystem::path> leftovers;
  for (std::filesystem::directory_iterator it(history, error), end; !error && it != end;
       it.increment(error)) {
    if (it->path().filename().string().starts_with(kPendingPrefix)) leftovers.push_back(it->path());
  }
  for (const auto& leftover : leftovers) files::RemoveTree(leftover);
  return warnings;
}

std::vector<std::string> RestoreKeptExport(const std::filesystem::path& exchangeDirectory,
                                           std::string_view name) {
  const std::vector<KeptExport> kept = KeptExports(exchangeDirectory);
  const auto found = std::find_if(kept.begin(), kept.end(),
                                  [&](const KeptExport& entry) { return entry.name == name; });
  if (found == kept.end()) {
    throw TransferError("El historial de " + files::PathText(HistoryDirectory(exchangeDirectory)) +
                        " no tiene la exportación \"" + std::string(name) +
                        "\" (brivasto-cli historial las lista); no se ha cambiado nada.");
  }
  auto isFile = [](const std::filesystem::path& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode);
  };
  std::vector<TableFile> tableFiles;
  for (const ExchangeTable* table : kExportedTables) {
    const std::string fileName = std::string(table->name) + ".DBF";
    std::filesystem::path source = found->writtenTables / fileName;
    // The list is newest first: the entry before this one replaced it.
    if (found != kept.begin() && isFile(std::prev(found)->replacedTables / fileName)) {
      source = std::prev(found)->replacedTables / fileName;
    }
    if (!isFile(source)) {
      throw TransferError("La exportación \"" + found->name +
                          "\" del historial no tiene la tabla " + std::string(table->name) + " (" +
                          files::PathText(source) + "); no se ha cambiado nada.");
    }
    tableFiles.push_back({table, source});
  }
  HistoryRecorder recorder(exchangeDirectory);
  ReplaceTablesWithFiles(exchangeDirectory, tableFiles);
  return recorder.Record({.origin = "restauración de " + found->name,
                          .document = found->document,
                          .documentBytes = found->documentBytes});
}

}  // namespace brivasto
