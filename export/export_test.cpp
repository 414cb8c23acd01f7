#include "export/export.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "testsupport/test_support.h"

namespace brivasto {
namespace {

namespace fs = std::filesystem;
using testing::ErrorOf;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// Every file of a directory with its bytes.
std::map<std::string, std::string> Snapshot(const fs::path& directory) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::directory_iterator(directory)) {
    files[entry.path().filename().string()] = ReadFile(entry.path());
  }
  return files;
}

// A SAGA document written to its own directory, away from the exchange tables.
class SagaFile {
 public:
  explicit SagaFile(std::string_view xml) : path_(dir_.Path() / "saga.xml") {
    WriteFile(path_, xml);
  }
  const fs::path& Path() const { return path_; }

 private:
  TempDir dir_;
  fs::path path_;
};

// What the run frame does once it has found the file: load it, then the steps.
void Export(std::string_view xml, const fs::path& zwork) {
  const SagaFile file(xml);
  RunExportSteps(SagaDocument::Load(file.Path()), {zwork, u','});
}

// The fields of a .DBF file as "NAME C10", "NAME N20.4", from its header.
std::vector<std::string> Schema(const fs::path& file) {
  const std::string bytes = ReadFile(file);
  std::vector<std::string> fields;
  for (std::size_t at = 32; at + 32 <= bytes.size() && bytes[at] != '\x0D'; at += 32) {
    std::string name = bytes.substr(at, 11);
    name.resize(name.find('\0') == std::string::npos ? name.size() : name.find('\0'));
    std::string field =
        name + " " + bytes[at + 11] + std::to_string(static_cast<unsigned char>(bytes[at + 16]));
    if (bytes[at + 17] != 0) field += "." + std::to_string(static_cast<int>(bytes[at + 17]));
    fields.push_back(field);
  }
  return fields;
}

// The named fields of every record, as text, joined with '|'.
std::vector<std::string> Rows(const fs::path& zwork, std::string_view table,
                              const std::vector<std::string_view>& fields) {
  const Table opened = Table::Open(zwork, table, u',');
  std::vector<std::string> rows;
  for (std::size_t record = 0; record < opened.RecordCount(); ++record) {
    std::string row;
    for (std::size_t i = 0; i < fields.size(); ++i) {
      row += (i ? "|" : "") + ToUtf8(opened.Text(record, opened.FieldIndex(fields[i])));
    }
    rows.push_back(row);
  }
  return rows;
}

// The small example document of a SAGA catalogue.
constexpr std::string_view kExample = R"(<?xml version="1.0" encoding="UTF-8"?>
<document>
  <subjects>
    <subject id="11" name="Matemáticas I" hours="4"/>
    <subject id="12" name="Lengua Castellana y Literatura"/>
  </subjects>
  <teachers>
    <teacher id="21">María José García López</teacher>
    <teacher id="22">Juan García</teacher>
  </teachers>
  <locations>
    <location id="31">Aula 1</location>
  </locations>
  <groups>
    <group id="41" regim="M" name="1ESO A">
      <assigned-subjects>
        <assigned-subject id="11">
          <assigned-teachers>
            <assigned-teacher id="21"/>
          </assigned-teachers>
        </assigned-subject>
        <assigned-subject id="12">
          <assigned-teachers>
            <assigned-teacher id="22"/>
          </assigned-teachers>
        </assigned-subject>
      </assigned-subjects>
    </group>
  </groups>
</document>
)";

TEST(RunExportSteps, ExampleDocumentGivesTheSixTables) {
  TempDir zwork;
  // Old tables and index files in any letter case, and Talvenor's solution.
  for (const char* name :
       {"ASIGNOMT.DBF", "ASIGNOMT.MDX", "proft.mdx", "Diashorast.Mdx", "asigt.dbf", "SOLUC.DBF"}) {
    WriteFile(zwork.Path() / name, "old");
  }
  Export(kExample, zwork.Path());

  EXPECT_EQ(Snapshot(zwork.Path()).size(), 7u);
  EXPECT_EQ(ReadFile(zwork.Path() / "SOLUC.DBF"), "old");
  const std::map<std::string, std::vector<std::string>> schemas = {
      {"ASIGNOMT", {"COD C10", "CODLARGO C10", "NOMBRE C80", "IDSAGA C60", "HORAS C8"}},
      {"PROFT", {"ABREV C10", "NOMBRE C80", "DEPART C40", "EMAIL C100", "DNI N11", "IDSAGA C60"}},
      {"AULAT", {"ABREV C10", "NOMBRE C80", "EDIFICIO C1", "MAXALUM N11", "IDSAGA C60"}},
      {"GRUPOST",
       {"ABREV C10", "TURNO C1", "NIVEL C5", "CURSO C3", "GRUPO C2", "DESCRIP C80", "MARCO C1",
        "IDSAGA C60"}},
      {"ASIGT",
       {"CASIG C10", "CPROF C10", "CGRUP C10", "CAULA C10", "TURNO C1", "NIVEL C5", "CURSO C3",
        "GRUPO C2", "HORAS N20.4", "SESIONES C20", "NCONEX C4", "CTAREA C10"}},
      {"DIASHORAST",
       {"DIHO C10", "CODDIHO C10", "DIA C20", "TEXTODIA C20", "HORA C8", "TEXTOHOR C15",
        "HORADESDE C8", "HORAHASTA C8", "MINUTOS C8", "MARCO C1", "MARCOXML C10"}},
  };
  for (const auto& [table, fields] : schemas) {
    EXPECT_EQ(Schema(zwork.Path() / (table + ".DBF")), fields) << table;
  }

  EXPECT_EQ(Rows(zwork.Path(), "ASIGNOMT", {"COD", "CODLARGO", "NOMBRE", "IDSAGA", "HORAS"}),
            (std::vector<std::string>{"MI|Matemática|Matemáticas I|11|4",
                                      "LCL|Lengua Cas|Lengua Castellana y Literatura|12|4"}));
  EXPECT_EQ(
      Rows(zwork.Path(), "PROFT", {"ABREV", "NOMBRE", "DEPART", "EMAIL", "DNI", "IDSAGA"}),
      (std::vector<std::string>{"MJGL|María José García López||||21", "JG|Juan García||||22"}));
  EXPECT_EQ(Rows(zwork.Path(), "AULAT", {"ABREV", "NOMBRE", "EDIFICIO", "MAXALUM", "IDSAGA"}),
            (std::vector<std::string>{"A1|Aula 1|||31"}));
  EXPECT_EQ(Rows(zwork.Path(), "GRUPOST",
                 {"ABREV", "TURNO", "NIVEL", "CURSO", "GRUPO", "DESCRIP", "MARCO", "IDSAGA"}),
            (std::vector<std::string>{"1ESO A|M|1ESO||A|1ESO A ()|0|41"}));
  EXPECT_EQ(Rows(zwork.Path(), "ASIGT",
                 {"CASIG", "CPROF", "CGRUP", "CAULA", "TURNO", "NIVEL", "CURSO", "GRUPO", "HORAS",
                  "SESIONES", "NCONEX", "CTAREA"}),
            (std::vector<std::string>{"MI|MJGL|1ESO A||M|1ESO||A|4.0000|1111||",
                                      "LCL|JG|1ESO A||M|1ESO||A|4.0000|1111||"}));
  EXPECT_EQ(Table::Open(zwork.Path(), "DIASHORAST", u',').RecordCount(), 0u);
}

TEST(RunExportSteps, DocumentWithoutSectionsGivesEmptyTables) {
  TempDir zwork;
  Export("<document><otro><subject id=\"1\" name=\"Música\"/></otro></document>", zwork.Path());
  for (const char* table : {"ASIGNOMT", "PROFT", "AULAT", "GRUPOST", "ASIGT", "DIASHORAST"}) {
    EXPECT_EQ(Table::Open(zwork.Path(), table, u',').RecordCount(), 0u) << table;
  }
}

const std::string kLong60(60, 'L');
const std::string kLong61(61, 'L');

// Lookups by IDSAGA: the first record holding an identifier wins, an
// identifier is compared with what the table holds, only the last teacher
// counts, and a subject without teachers has none.
TEST(ExportAssignments, LooksUpCodesByIdentifier) {
  const std::string xml = R"(<document>
  <subjects>
    <subject id="S1" name="Matemáticas I" hours="2,5"/>
    <subject id="S1" name="Música I" hours="3.5"/>
    <subject id=")" + kLong61 +
                          R"(" name="Latín"/>
    <subject id="S3" name="Física" hours="13.5"/>
    <subject id="S4" name="Dibujo" curso="1"/>
  </subjects>
  <teachers>
    <teacher id="T1">Juan García</teacher>
    <teacher id="T1">José Gómez</teacher>
    <teacher id="T2">Ana Ruiz</teacher>
  </teachers>
  <groups>
    <group id="G1" regim="M" name="1ESO A">Primero A<assigned-subjects>
        <assigned-subject id="S1"><assigned-teachers>
          <assigned-teacher id="T1"/><assigned-teacher id="T2"/>
        </assigned-teachers></assigned-subject>
        <assigned-subject id="S4"/>
        <assigned-subject id="S1"><assigned-teachers>
          <assigned-teacher id="T2"/><assigned-teacher id="TX"/>
        </assigned-teachers></assigned-subject>
        <assigned-subject id=" S3 "><assigned-teachers>
          <assigned-teacher id="t1"/>
        </assigned-teachers></assigned-subject>
        <assigned-subject id=")" +
                          kLong61 + R"("/>
        <assigned-subject id=")" +
                          kLong60 + R"("/>
        <assigned-subject id="s1"/>
    </assigned-subjects></group>
    <group id="G1" name="2BACH B"><assigned-subjects>
        <assigned-subject id="S1"><assigned-teachers>
          <assigned-teacher id="T1"/>
        </assigned-teachers></assigned-subject>
    </assigned-subjects></group>
    <group id=")" + kLong61 +
                          R"(" regim="T" name="3ESO C"><assigned-subjects>
        <assigned-subject id="S4"><assigned-teachers>
          <assigned-teacher id="T2"/>
        </assigned-teachers></assigned-subject>
    </assigned-subjects></group>
    <group id="G4" regim="Tarde " name="4ESO C"><assigned-subjects>
        <assigned-subject id="S3"><assigned-teachers>
          <assigned-teacher id="T2"/>
        </assigned-teachers></assigned-subject>
    </assigned-subjects></group>
    <group id="G5" name="4ESO D"/>
  </groups>
</document>)";
  TempDir zwork;
  Export(xml, zwork.Path());

  EXPECT_EQ(Rows(zwork.Path(), "ASIGNOMT", {"COD", "HORAS"}),
            (std::vector<std::string>{"MI|2,5", "MI1|3.5", "Latín|4", "Física|13.5", "Dibujo|4"}));
  EXPECT_EQ(
      Rows(zwork.Path(), "GRUPOST", {"ABREV", "TURNO", "DESCRIP"}),
      (std::vector<std::string>{"1ESO A|M|1ESO A (Primero A)", "2BACH||2BACH B ()",
                                "3ESO C|T|3ESO C ()", "4ESO C|e|4ESO C ()", "4ESO D||4ESO D ()"}));
  const std::string fourteen(14, '1');
  EXPECT_EQ(
      Rows(zwork.Path(), "ASIGT",
           {"CASIG", "CPROF", "CGRUP", "TURNO", "NIVEL", "CURSO", "GRUPO", "HORAS", "SESIONES"}),
      (std::vector<std::string>{
          "MI|AR|1ESO A|M|1ESO||A|2.5000|111",             // two teachers: the last
          "Dibujo||1ESO A|M|1ESO||A|4.0000|1111",          // no teachers: none
          "MI||1ESO A|M|1ESO||A|2.5000|111",               // last teacher unknown
          "Física||1ESO A|M|1ESO||A|13.5000|" + fourteen,  // t1 is not T1
          "||1ESO A|M|1ESO||A||",                          // 61 characters: never found
          "Latín||1ESO A|M|1ESO||A|4.0000|1111",           // the 60 that IDSAGA holds
          "||1ESO A|M|1ESO||A||",                          // s1 is not S1
          "MI|JG|1ESO A|M|1ESO||A|2.5000|111",             // G1 and T1: first records
          "Dibujo|AR||||||4.0000|1111",                    // group never found
          "Física|AR|4ESO C|e|4ESO||C|13.5000|" + fourteen,
      }));
}

// Hours too large for a session count end the step, naming the subject,
// with ASIGT as it was.
TEST(ExportAssignments, HoursBeyondTheSessionRangeStopTheStep) {
  TempDir zwork;
  Export(kExample, zwork.Path());
  const std::string oldAssignments = ReadFile(zwork.Path() / "ASIGT.DBF");
  const SagaFile file(R"(<document>
  <subjects><subject id="S3" name="Física" hours="1e20"/></subjects>
  <groups><group id="G1" name="1ESO A"><assigned-subjects>
    <assigned-subject id="S3"/>
  </assigned-subjects></group></groups>
</document>)");
  const SagaDocument document = SagaDocument::Load(file.Path());
  const RunContext context{zwork.Path(), u','};
  ExportSubjects(document, context);
  ExportGroups(document, context);
  EXPECT_EQ(ErrorOf([&] { ExportAssignments(document, context); }),
            "Tabla ASIGNOMT, registro 1: las horas \"1e20\" de la asignatura \"Física\" (id "
            "\"S3\") dan más sesiones de las que caben en un entero de 32 bits.");
  EXPECT_EQ(ReadFile(zwork.Path() / "ASIGT.DBF"), oldAssignments);
}

struct BadDocument {
  const char* what;
  std::string xml;
  std::vector<std::string> messageParts;
};

const std::string kChecked =
    ".xml no se puede exportar; no se ha cambiado ninguna tabla de intercambio. "
    "Elementos con problemas:\n";

std::string Doc(std::string_view sections) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<document>" + std::string(sections) +
         "</document>\n";
}

// Documents the export cannot carry stop the run before any table changes.
TEST(RunExportSteps, BadDocumentsTouchNoTable) {
  const BadDocument cases[] = {
      {"subject without id",
       Doc(R"(<subjects><subject name=" Música "/></subjects>)"),
       {kChecked + "- subjects, subject nº 1 (name=\"Música\"): falta el atributo \"id\""}},
      {"subject without name",
       Doc(R"(<subjects><subject id="7"/></subjects>)"),
       {"- subjects, subject nº 1 (id=\"7\"): falta el atributo \"name\""}},
      {"blank subject name",
       Doc(R"(<subjects><subject id="1" name="Arte"/><subject id="7" name="   "/></subjects>)"),
       {"- subjects, subject nº 2 (id=\"7\"): el atributo \"name\" está en blanco"}},
      {"hours out of range",
       Doc(R"(<subjects><subject id="7" name="Física" hours="3e9"/></subjects>)"),
       {"- subjects, subject nº 1 (id=\"7\", name=\"Física\"): las horas \"3e9\" dan "
        "más sesiones de las que caben en un entero de 32 bits"}},
      {"teacher without id",
       Doc(R"(<teachers><teacher>Ana Ruiz</teacher></teachers>)"),
       {"- teachers, teacher nº 1 (nombre=\"Ana Ruiz\"): falta el atributo \"id\""}},
      {"teacher without content",
       Doc(R"(<teachers><teacher id="21"/></teachers>)"),
       {"- teachers, teacher nº 1 (id=\"21\"): no tiene contenido (falta el nombre)"}},
      {"location without content",
       Doc(R"(<locations><location id="31">Aula 1</location><location id="32"/></locations>)"),
       {"- locations, location nº 2 (id=\"32\"): no tiene contenido (falta el nombre)"}},
      {"group without id",
       Doc(R"(<groups><group name="1ESO A"/></groups>)"),
       {"- groups, group nº 1 (name=\"1ESO A\"): falta el atributo \"id\""}},
      {"assigned subject without id",
       Doc(R"(<groups><group id="41" name="1ESO A"><assigned-subjects>
            <assigned-subject id="11"/><assigned-subject/>
          </assigned-subjects></group></groups>)"),
       {"- groups, group nº 1 (id=\"41\", name=\"1ESO A\") > assigned-subject nº 2: falta el "
        "atributo \"id\""}},
      {"assigned teacher without id",
       Doc(R"(<groups><group id="41"><assigned-subjects><assigned-subject id="11">
            <assigned-teachers><assigned-teacher/></assigned-teachers>
          </assigned-subject></assigned-subjects></group></groups>)"),
       {"- groups, group nº 1 (id=\"41\") > assigned-subject nº 1 (id=\"11\") > "
        "assigned-teacher nº 1: falta el atributo \"id\""}},
      {"every problem listed",
       Doc(R"(<subjects><subject/></subjects><teachers><teacher/></teachers>
              <groups><group/></groups>)"),
       {kChecked + "- subjects, subject nº 1: falta el atributo \"id\"\n"
                   "- subjects, subject nº 1: falta el atributo \"name\"\n"
                   "- teachers, teacher nº 1: falta el atributo \"id\"\n"
                   "- teachers, teacher nº 1: no tiene contenido (falta el nombre)\n"
                   "- groups, group nº 1: falta el atributo \"id\""}},
      {"not well-formed",
       "<document>\n  <subjects>\n</document>\n",
       {"saga.xml no es un documento XML válido (línea 3, columna"}},
      {"empty file", "", {"saga.xml no es un documento XML válido (línea 1, columna 1)"}},
      {"another program's XML",
       "<otro><subjects><subject id=\"1\" name=\"Música\"/></subjects></otro>",
       {"su elemento raíz es <otro>, no <document>"}},
  };
  TempDir zwork;
  Export(kExample, zwork.Path());
  WriteFile(zwork.Path() / "DIASHORAST.MDX", "index");
  const auto before = Snapshot(zwork.Path());
  for (const BadDocument& c : cases) {
    const std::string message = ErrorOf([&] { Export(c.xml, zwork.Path()); });
    for (const std::string& part : c.messageParts) {
      EXPECT_NE(message.find(part), std::string::npos) << c.what << ": \"" << part << "\" not in:\n"
                                                       << message;
    }
    EXPECT_EQ(Snapshot(zwork.Path()), before) << c.what;
  }
}

// What a document may leave out: hours (also beside a third attribute),
// regim and the group's content.
TEST(RunExportSteps, OptionalValuesAreEmpty) {
  TempDir zwork;
  Export(Doc(R"(<subjects><subject id="1" name="Arte" tipo="x"/></subjects>
                <groups><group id="41" name="1ESO A"/></groups>)"),
         zwork.Path());
  EXPECT_EQ(Rows(zwork.Path(), "ASIGNOMT", {"COD", "HORAS"}), std::vector<std::string>{"Arte|4"});
  EXPECT_EQ(Rows(zwork.Path(), "GRUPOST", {"ABREV", "TURNO", "DESCRIP"}),
            std::vector<std::string>{"1ESO A||1ESO A ()"});
}

// The bundled sample: every identifier it assigns is found, only the subject
// taught without a teacher has an empty CPROF, and no table stores a code twice.
TEST(RunExportSteps, SampleDocument) {
  const fs::path sample = testing::SourceDir() / "samples" / "saga-ejemplo.xml";
  TempDir zwork;
  RunExportSteps(SagaDocument::Load(sample), {zwork.Path(), u'.'});

  const std::pair<const char*, std::size_t> counts[] = {{"ASIGNOMT", 34}, {"PROFT", 22},
                                                        {"AULAT", 14},    {"GRUPOST", 13},
                                                        {"ASIGT", 135},   {"DIASHORAST", 0}};
  for (const auto& [table, count] : counts) {
    EXPECT_EQ(Table::Open(zwork.Path(), table, u'.').RecordCount(), count) << table;
  }
  for (const std::string& row : Rows(zwork.Path(), "ASIGT", {"CASIG", "CPROF", "CGRUP"})) {
    const auto first = row.find('|');
    const auto second = row.find('|', first + 1);
    EXPECT_GT(first, 0u) << row;
    EXPECT_LT(second + 1, row.size()) << row;
    EXPECT_EQ(second == first + 1, row.starts_with("AE|")) << row;
  }
  for (const auto& [table, field] : {std::pair{"ASIGNOMT", "COD"}, std::pair{"PROFT", "ABREV"},
                                     std::pair{"AULAT", "ABREV"}, std::pair{"GRUPOST", "ABREV"}}) {
    std::set<std::string> codes;
    for (const std::string& code : Rows(zwork.Path(), table, {field})) {
      const std::string key =
          std::string(table) == "ASIGNOMT" ? code : ToUtf8(CaseFolded(FromUtf8(code)));
      EXPECT_TRUE(codes.insert(key).second) << table << " stores " << code << " twice";
    }
  }
}

}  // namespace
}  // namespace brivasto
