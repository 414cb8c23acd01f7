#include "app/cli.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <vector>

#include "app/test_support.h"
#include "tables/tables.h"

namespace brivasto {
namespace {

using testing::kEmptySagaDocument;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

using testing::CliResult;
using testing::RunCli;

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(RunFromCommandLine, HelpVersionAndWrongUsage) {
  struct Case {
    std::vector<std::string> arguments;
    int code;
    std::string inOut;
    std::string inErr;
  };
  const Case cases[] = {
      {{"--help"}, 0, "Uso: brivasto-cli", ""},
      {{"import", "a.xml", "--help"}, 0, "BRIVASTO_ZWORK", ""},
      {{"--version"}, 0, std::string("brivasto-cli ") + BRIVASTO_VERSION + "\n", ""},
      {{}, 2, "", "Uso: brivasto-cli"},
      {{"export"}, 2, "", "hacen falta una orden y un archivo"},
      {{"export", "a.xml", "b.xml"}, 2, "", "hacen falta"},
      {{"exportar", "a.xml"}, 2, "", "orden desconocida: exportar"},
      {{"--zwork"}, 2, "", "falta el directorio tras --zwork"},
      {{"--zwork=", "export", "a.xml"}, 2, "", "vacío"},
      {{"--rapido", "export", "a.xml"}, 2, "", "opción desconocida: --rapido"},
  };
  for (const Case& c : cases) {
    const CliResult result = RunCli(c.arguments);
    const std::string shown = ::testing::PrintToString(c.arguments);
    EXPECT_EQ(result.code, c.code) << shown;
    EXPECT_TRUE(Contains(result.out, c.inOut)) << shown << "\n" << result.out;
    EXPECT_TRUE(Contains(result.err, c.inErr)) << shown << "\n" << result.err;
    if (c.code == 2) {
      EXPECT_EQ(result.out, "") << shown;
    }
  }
}

TEST(RunFromCommandLine, RunsAndReportsTheOutcome) {
  TempDir folder;
  const std::string zwork = (folder / "zwork").string();
  std::filesystem::create_directory(zwork);
  const std::string document = (folder / "centro.xml").string();
  WriteFile(document, kEmptySagaDocument);
  const std::string broken = (folder / "roto.xml").string();
  WriteFile(broken, "<document>");
  const std::string missing = (folder / "falta.xml").string();

  const CliResult exported = RunCli({"--zwork", zwork, "export", document});
  EXPECT_EQ(exported.code, 0) << exported.err;
  EXPECT_TRUE(Contains(exported.out, "Exportado " + document)) << exported.out;
  EXPECT_TRUE(Contains(exported.out, "de " + zwork)) << exported.out;
  EXPECT_TRUE(Contains(exported.out, "Proceso finalizado")) << exported.out;
  // The summary: the records of each table, then the check's warnings.
  EXPECT_TRUE(Contains(exported.out, "  ASIGNOMT: 0 registros\n")) << exported.out;
  EXPECT_TRUE(Contains(exported.out, "Sin avisos.")) << exported.out;

  for (const std::string direction : {"export", "import"}) {
    const CliResult notThere = RunCli({direction, missing, "--zwork=" + zwork});
    EXPECT_EQ(notThere.code, 1) << direction;
    EXPECT_EQ(notThere.err, "No existe archivo: " + missing + "\n") << direction;
    EXPECT_EQ(notThere.out, "") << direction;

    const CliResult failed = RunCli({"--zwork", zwork, direction, broken});
    EXPECT_EQ(failed.code, 1) << direction;
    EXPECT_TRUE(Contains(failed.err, "roto.xml")) << direction << ": " << failed.err;
    EXPECT_FALSE(Contains(failed.out, "Proceso finalizado")) << direction;
  }
}

TEST(RunFromCommandLine, CheckExitsOneOnlyForWhatStopsARun) {
  TempDir folder;
  const std::string zwork = (folder / "zwork").string();
  std::filesystem::create_directory(zwork);
  const std::string clean = (folder / "bien.xml").string();
  WriteFile(clean, kEmptySagaDocument);
  const std::string warned = (folder / "avisos.xml").string();
  WriteFile(warned,
            "<document><subjects><subject id=\"1\" name=\"Lengua\" hours=\"tres\"/></subjects>"
            "</document>");
  const std::string stopped = (folder / "mal.xml").string();
  WriteFile(stopped, "<document><subjects><subject name=\"Lengua\"/></subjects></document>");
  const std::string foreign = (folder / "otro.xml").string();
  WriteFile(foreign, "<horario/>");

  struct Case {
    std::string file;
    int code;
    std::string inOut;
    std::string inErr;
  };
  const Case cases[] = {
      {clean, 0, "Nada impide la transferencia y no hay avisos.", ""},
      {warned, 0, "Avisos (1):\n- subjects, subject nº 1", ""},
      {stopped, 1, "Impide la exportación (1):\n- subjects, subject nº 1", ""},
      {foreign, 1, "- el documento no es de SAGA: su elemento raíz es <horario>", ""},
      {(folder / "falta.xml").string(), 1, "", "No existe archivo: "},
      {(folder / "zwork").string(), 1, "", "No existe archivo: "},
  };
  for (const Case& c : cases) {
    const CliResult result = RunCli({"--zwork", zwork, "check", c.file});
    EXPECT_EQ(result.code, c.code) << c.file << "\n" << result.out << result.err;
    EXPECT_TRUE(Contains(result.out, c.inOut)) << c.file << "\n" << result.out;
    EXPECT_TRUE(Contains(result.err, c.inErr)) << c.file << "\n" << result.err;
  }
  // Nothing was written.
  EXPECT_TRUE(std::filesystem::is_empty(zwork));
}

// The field list of a table as python3-dbfread, an independent dBase reader,
// sees it: "NAME TYPE WIDTH DECIMALS" per field.
std::string FieldsSeenByDbfread(const std::filesystem::path& table) {
  const std::string command =
      "/usr/bin/python3 -c \"import sys, dbfread; "
      "[print(f.name, f.type, f.length, f.decimal_count) "
      "for f in dbfread.DBF(sys.argv[1], encoding='cp1252').fields]\" '" +
      table.string() + "'";
  std::string seen;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return seen;
  char buffer[256];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) seen += buffer;
  ::pclose(pipe);
  return seen;
}

std::string FieldsOfCatalogue(const ExchangeTable& table) {
  std::string listed;
  for (const FieldDef& f : table.fields) {
    listed += std::string(f.name);
    switch (f.kind) {
      case FieldKind::kText:
        listed += " C " + std::to_string(f.width) + " 0\n";
        break;
      case FieldKind::kInteger:
        listed += " N 11 0\n";
        break;
      case FieldKind::kReal:
        listed += " N 20 4\n";
        break;
    }
  }
  return listed;
}

TEST(RunFromCommandLine, ExportsTheSampleAsTablesAnotherReaderOpens) {
  if (std::system("/usr/bin/python3 -c 'import dbfread' >/dev/null 2>&1") != 0) {
    GTEST_SKIP() << "python3-dbfread is not installed for /usr/bin/python3";
  }
  TempDir folder;
  const std::string zwork = (folder / "zwork").string();
  std::filesystem::create_directory(zwork);

  const CliResult exported = RunCli(
      {"export", (testing::SourceDir() / "samples/saga-ejemplo.xml").string(), "--zwork", zwork});
  ASSERT_EQ(exported.code, 0) << exported.err;
  for (const ExchangeTable* table :
       {&kAsignomt, &kProft, &kAulat, &kGrupost, &kAsigt, &kDiashorast}) {
    const auto file = std::filesystem::path(zwork) / (std::string(table->name) + ".DBF");
    EXPECT_EQ(FieldsSeenByDbfread(file), FieldsOfCatalogue(*table)) << table->name;
  }

  // A document the export cannot carry changes none of those tables.
  const std::string before = ReadFile(std::filesystem::path(zwork) / "ASIGT.DBF");
  const std::string bad = (folder / "sin-id.xml").string();
  WriteFile(bad, "<document><teachers><teacher>Ana Ruiz</teacher></teachers></document>");
  const CliResult refused = RunCli({"export", bad, "--zwork", zwork});
  EXPECT_EQ(refused.code, 1);
  EXPECT_TRUE(Contains(refused.err, "id")) << refused.err;
  EXPECT_EQ(ReadFile(std::filesystem::path(zwork) / "ASIGT.DBF"), before);
}

}  // namespace
}  // namespace brivasto
