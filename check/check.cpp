// The check's shared texts, both sides together, and the counts of a run.
#include "check/check.h"

#include <array>
#include <charconv>
#include <system_error>

#include "check/check_texts.h"
#include "export/export.h"
#include "import/lookups.h"

namespace brivasto {

std::string Quoted(std::u16string_view text) { return "\"" + ToUtf8(text) + "\""; }

std::string ElementText(std::string_view element, std::size_t position,
                        const std::optional<std::u16string>& id,
                        const std::optional<std::u16string>& name) {
  std::string text = std::string(element) + " nº " + std::to_string(position);
  std::string identity;
  if (id) identity = "id=" + Quoted(*id);
  if (name && !name->empty())
    identity += (identity.empty() ? "" : ", ") + ("name=" + Quoted(*name));
  if (!identity.empty()) text += " (" + identity + ")";
  return text;
}

std::size_t TextFieldWidth(const ExchangeTable& table, std::string_view field) {
  for (const FieldDef& def : table.fields) {
    if (def.name == field) return static_cast<std::size_t>(def.width);
  }
  return 0;
}

std::size_t CodePointCount(std::u16string_view text) {
  std::size_t count = 0;
  for (std::size_t i = 0; i < text.size(); ++i, ++count) {
    const bool pair = text[i] >= 0xD800 && text[i] <= 0xDBFF && i + 1 < text.size() &&
                      text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF;
    if (pair) ++i;
  }
  return count;
}

std::string HoursText(double hours) {
  std::array<char, 64> buffer{};
  const auto result = std::to_chars(buffer.data(), buffer.data() + buffer.size(), hours,
                                    std::chars_format::general, 10);
  std::string text(buffer.data(), result.ptr);
  for (char& c : text) {
    if (c == '.') c = ',';
  }
  return text;
}

bool HasTimetable(const RunContext& context) {
  std::error_code error;
  for (std::filesystem::directory_iterator entry(context.exchangeDirectory, error), end;
       !error && entry != end; entry.increment(error)) {
    if (EqualAsciiIgnoringCase(entry->path().filename().string(),
                               std::string(kSolucName) + ".DBF")) {
      return true;
    }
  }
  return false;
}

CheckReport CheckBeforeRun(const SagaDocument& document, const RunContext& context) {
  CheckReport report = CheckExportSide(document);
  try {
    CheckExchangeDirectory(context);
  } catch (const TransferError& error) {
    report.stops.push_back(error.what());
  }
  report.timetable = HasTimetable(context);
  CheckReport importSide = CheckImportSide(context);
  report.importStops = std::move(importSide.stops);
  try {
    CheckImportable(document, document.File());
  } catch (const TransferError& error) {
    report.importStops.push_back(error.what());
  }
  if (report.timetable) {
    report.warnings.insert(report.warnings.end(), importSide.warnings.begin(),
                           importSide.warnings.end());
  }
  return report;
}

std::vector<std::string> ExportCounts(const RunContext& context) {
  std::vector<std::string> counts;
  for (const ExchangeTable* table :
       {&kAsignomt, &kProft, &kAulat, &kGrupost, &kAsigt, &kDiashorast}) {
    try {
      // A large ASIGT is counted without reading its records into memory.
      const std::size_t records = LiveRecordCount(context.exchangeDirectory, table->name);
      counts.push_back(std::string(table->name) + ": " + std::to_string(records) +
                       (records == 1 ? " registro" : " registros"));
    } catch (const TransferError& error) {
      counts.push_back(error.what());
    }
  }
  return counts;
}

std::vector<std::string> ImportCounts(const ImportedCounts& imported) {
  const std::array<std::pair<std::string_view, std::size_t>, 6> lists{{
      {"días", imported.days},
      {"intervalos", imported.intervals},
      {"grupos", imported.groups},
      {"profesores", imported.members},
      {"actividades", imported.activities},
      {"sesiones", imported.inputs},
  }};
  std::vector<std::string> counts;
  for (const auto& [label, count] : lists) {
    counts.push_back(std::string(label) + ": " + std::to_string(count));
  }
  return counts;
}

}  // namespace brivasto
