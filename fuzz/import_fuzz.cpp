// The import with arbitrary DIASHORAST and SOLUC tables. The input is split
// in two: its first two bytes (little-endian) give the length of the
// DIASHORAST.DBF bytes that follow; the rest is SOLUC.DBF. The four
// catalogue tables come from exporting a small fixed SAGA document once.
// Every run starts from that document: the import either saves a document
// that loads again, or fails with TransferError and leaves the file as it was.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "export/export.h"
#include "fuzz/fuzz_support.h"
#include "import/import.h"
#include "saga/saga.h"
#include "tables/tables.h"

namespace {

constexpr std::string_view kSchool =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<document>\n"
    "  <subjects>\n"
    "    <subject id=\"11\" name=\"Matemáticas\" hours=\"4\"/>\n"
    "    <subject id=\"12\" name=\"Lengua\" hours=\"2,5\"/>\n"
    "  </subjects>\n"
    "  <teachers>\n"
    "    <teacher id=\"21\">María José García</teacher>\n"
    "    <teacher id=\"22\">Juan Gil</teacher>\n"
    "  </teachers>\n"
    "  <locations>\n"
    "    <location id=\"31\">Aula 1</location>\n"
    "  </locations>\n"
    "  <groups>\n"
    "    <group id=\"41\" regim=\"M\" name=\"1ESO A\">\n"
    "      <assigned-subjects>\n"
    "        <assigned-subject id=\"11\"><assigned-teachers>"
    "<assigned-teacher id=\"21\"/></assigned-teachers></assigned-subject>\n"
    "        <assigned-subject id=\"12\"><assigned-teachers>"
    "<assigned-teacher id=\"22\"/></assigned-teachers></assigned-subject>\n"
    "      </assigned-subjects>\n"
    "    </group>\n"
    "  </groups>\n"
    "</document>\n";

std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

struct Setup {
  brivasto::fuzz::ScratchDir scratch;
  brivasto::RunContext context;
  std::filesystem::path sagaFile;

  Setup() {
    context.exchangeDirectory = scratch.Fresh("zwork");
    sagaFile = scratch.Path() / "saga.xml";
    brivasto::fuzz::WriteBytes(sagaFile, kSchool);
    try {
      brivasto::RunExportSteps(brivasto::SagaDocument::Load(sagaFile), context);
    } catch (const brivasto::TransferError& error) {
      std::fprintf(stderr, "the fixed school does not export: %s\n", error.what());
      std::abort();
    }
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Setup setup;
  if (size < 2) return 0;
  const std::size_t split = std::min<std::size_t>(size - 2, data[0] | std::size_t{data[1]} << 8);
  brivasto::fuzz::WriteBytes(setup.context.exchangeDirectory / "DIASHORAST.DBF", data + 2, split);
  brivasto::fuzz::WriteBytes(setup.context.exchangeDirectory / "SOLUC.DBF", data + 2 + split,
                             size - 2 - split);
  brivasto::fuzz::WriteBytes(setup.sagaFile, kSchool);

  bool imported = false;
  try {
    const brivasto::SagaDocument document =
        brivasto::SagaDocument::Load(setup.sagaFile, brivasto::LoadScope::kRootElement);
    brivasto::ImportTimetable(document, setup.sagaFile, setup.context);
    imported = true;
  } catch (const brivasto::TransferError&) {
  }
  if (!imported) {
    if (ReadAll(setup.sagaFile) != kSchool) {
      std::fprintf(stderr, "a failed import changed the SAGA document\n");
      std::abort();
    }
    return 0;
  }
  try {
    (void)brivasto::SagaDocument::Load(setup.sagaFile);
  } catch (const brivasto::TransferError& error) {
    std::fprintf(stderr, "the imported document does not load again: %s\n", error.what());
    std::abort();
  }
  return 0;
}
