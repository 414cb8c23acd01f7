// Arbitrary bytes as a SAGA document: load, read the catalogue sections,
// check and export into a scratch exchange folder, then save. A document
// that loads must export or be refused with TransferError; the tables an
// export writes must open again, and a saved document must load again.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "export/export.h"
#include "fuzz/fuzz_support.h"
#include "saga/saga.h"
#include "tables/tables.h"

namespace {

[[noreturn]] void Broken(const char* what, const brivasto::TransferError& error) {
  std::fprintf(stderr, "%s: %s\n", what, error.what());
  std::abort();
}

void ReadBack(const std::filesystem::path& directory) {
  for (const brivasto::ExchangeTable* table :
       {&brivasto::kAsignomt, &brivasto::kProft, &brivasto::kAulat, &brivasto::kGrupost,
        &brivasto::kAsigt, &brivasto::kDiashorast}) {
    try {
      const brivasto::Table read = brivasto::Table::Open(directory, table->name, u'.');
      for (std::size_t record = 0; record < read.RecordCount(); ++record) {
        for (std::size_t field = 0; field < table->fields.size(); ++field) {
          (void)read.Text(record, field);
        }
      }
    } catch (const brivasto::TransferError& error) {
      Broken("a table the export wrote does not read back", error);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const brivasto::fuzz::ScratchDir scratch;
  const std::filesystem::path file = scratch.Path() / "saga.xml";
  brivasto::fuzz::WriteBytes(file, data, size);

  std::optional<brivasto::SagaDocument> document;
  try {
    document.emplace(brivasto::SagaDocument::Load(file));
  } catch (const brivasto::TransferError&) {
    return 0;
  }
  (void)document->Encoding();
  (void)document->Root().Text();
  (void)document->SelectNodes("/document/time-tables/time-table");

  brivasto::RunContext context;
  context.exchangeDirectory = scratch.Fresh("zwork");
  bool exported = false;
  try {
    brivasto::RunExportSteps(*document, context);
    exported = true;
  } catch (const brivasto::TransferError&) {
  }
  if (exported) ReadBack(context.exchangeDirectory);

  const std::filesystem::path saved = scratch.Path() / "saved.xml";
  try {
    document->Save(saved);
  } catch (const brivasto::TransferError&) {
    return 0;  // e.g. an encoding libxml2 reads but cannot write
  }
  try {
    (void)brivasto::SagaDocument::Load(saved);
  } catch (const brivasto::TransferError& error) {
    Broken("a saved document does not load again", error);
  }
  return 0;
}
