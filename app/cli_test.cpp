#include "app/cli.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "app/test_support.h"

namespace brivasto {
namespace {

using testing::kEmptySagaDocument;
using testing::TempDir;
using testing::WriteFile;

struct CliResult {
  int code;
  std::string out;
  std::string err;
};

CliResult RunCli(const std::vector<std::string>& arguments) {
  std::ostringstream out, err;
  const int code = RunFromCommandLine(arguments, out, err);
  return {code, out.str(), err.str()};
}

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

}  // namespace
}  // namespace brivasto
