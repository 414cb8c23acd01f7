// The check on the sample school and on small documents and tables that
// hold one problem of each kind: exactly those problems are listed.
#include "check/check.h"

#include <gtest/gtest.h>

#include <fstream>

#include "check/check_texts.h"
#include "export/export.h"
#include "testsupport/test_support.h"

namespace brivasto {
namespace {

namespace fs = std::filesystem;
using testing::SourceDir;
using testing::TempDir;
using testing::WriteFile;

SagaDocument LoadText(const TempDir& dir, std::string_view xml) {
  WriteFile(dir / "centro.xml", xml);
  return SagaDocument::Load(dir / "centro.xml");
}

std::string Q(std::u16string_view text) { return "\"" + ToUtf8(text) + "\""; }

TEST(CheckExportSide, SampleListsItsCollisionsAndSubjectsWithoutTeacher) {
  const SagaDocument sample = SagaDocument::Load(SourceDir() / "samples" / "saga-ejemplo.xml");
  const CheckReport report = CheckExportSide(sample);
  EXPECT_TRUE(report.Passes());
  EXPECT_TRUE(report.stops.empty());
  const std::vector<std::string> want = {
      R"(subjects, subject nº 18 (id="200118", name="Música I"): el código "MI" de "Música I" ya estaba dado; se guarda "MI1")",
      R"(subjects, subject nº 28 (id="200128", name="Música II"): el código "MII" de "Música II" ya estaba dado; se guarda "MII1")",
      R"(subjects, subject nº 34 (id="200134", name="Tutoría"): el código "Tutorí" de "Tutoría" ya estaba dado; se guarda "Tutorí1")",
      R"(teachers, teacher nº 3 (id="300203", name="José Gómez Pardo"): el código "JGP" de "José Gómez Pardo" ya estaba dado; se guarda "JGP1")",
      R"(teachers, teacher nº 4 (id="300204", name="Jorge Gil Prieto"): el código "JGP" de "Jorge Gil Prieto" ya estaba dado; se guarda "JGP2")",
      R"(teachers, teacher nº 6 (id="300206", name="Alberto Moreno Ramos"): el código "AMR" de "Alberto Moreno Ramos" ya estaba dado; se guarda "AMR1")",
      R"(teachers, teacher nº 16 (id="300216", name="Sara Hernández Cano"): el código "SHC" de "Sara Hernández Cano" ya estaba dado; se guarda "SHC1")",
      R"(teachers, teacher nº 19 (id="300219", name="Tomás Luna Aranda"): el código "TLA" de "Tomás Luna Aranda" ya estaba dado; se guarda "TLA1")",
      R"(locations, location nº 2 (id="400302", name="Aula 102"): el código "A1" de "Aula 102" ya estaba dado; se guarda "A2")",
      R"(locations, location nº 3 (id="400303", name="Aula 103"): el código "A1" de "Aula 103" ya estaba dado; se guarda "A3")",
      R"(locations, location nº 4 (id="400304", name="Aula 201"): el código "A2" de "Aula 201" ya estaba dado; se guarda "A4")",
      R"(locations, location nº 5 (id="400305", name="Aula 202"): el código "A2" de "Aula 202" ya estaba dado; se guarda "A5")",
      R"(locations, location nº 6 (id="400306", name="Aula 203"): el código "A2" de "Aula 203" ya estaba dado; se guarda "A6")",
      R"(groups, group nº 11 (id="500411", name="1BACH B"): el código "1BACH " de "1BACH B" ya estaba dado; se guarda "1BACH 1")",
      R"(groups, group nº 13 (id="500413", name="2BACH B"): el código "2BACH " de "2BACH B" ya estaba dado; se guarda "2BACH 1")",
      R"(groups, group nº 1 (id="500401", name="1ESO A") > assigned-subject nº 10 (id="200113"): no tiene profesor)",
      R"(groups, group nº 2 (id="500402", name="1ESO B") > assigned-subject nº 10 (id="200113"): no tiene profesor)",
      R"(groups, group nº 3 (id="500403", name="1ESO C") > assigned-subject nº 10 (id="200113"): no tiene profesor)",
      R"(groups, group nº 4 (id="500404", name="2ESO A") > assigned-subject nº 9 (id="200113"): no tiene profesor)",
      R"(groups, group nº 5 (id="500405", name="2ESO B") > assigned-subject nº 9 (id="200113"): no tiene profesor)",
      R"(groups, group nº 8 (id="500408", name="4ESO A") > assigned-subject nº 8 (id="200113"): no tiene profesor)",
      R"(groups, group nº 9 (id="500409", name="4ESO B") > assigned-subject nº 8 (id="200113"): no tiene profesor)",
  };
  EXPECT_EQ(report.warnings, want);

  // After an export the check takes the codes the export gave; codes that
  // are not those of these sections are worked out again.
  TempDir dir;
  const CatalogueCodes given = RunExportSteps(sample, {dir.Path(), u'.'});
  EXPECT_EQ(CheckExportSide(sample, false, &given).warnings, want);
  const CatalogueCodes other;
  EXPECT_EQ(CheckExportSide(sample, false, &other).warnings, want);
  CatalogueCodes changed = given;
  changed.rooms.front().derived = u"X";
  EXPECT_NE(CheckExportSide(sample, false, &changed).warnings, want);
}

// Names pasted from web pages and word processors: the check says what the
// tables will hold, and the export stores exactly that.
TEST(CheckExportSide, TextsAsTheTablesStoreThem) {
  TempDir dir;
  const SagaDocument document =
      LoadText(dir,
               "<document><subjects>"
               "<subject id='1' name='Matema\u0301ticas' hours='3'/>"
               "<subject id='4' name='\u270F\uFE0F Dibujo' hours='2'/></subjects><teachers>"
               "<teacher id='2'>Ana\u200B Gil\uFEFF</teacher>"
               "<teacher id='3'>Eva\tRuiz&#10;P\u0081rez</teacher></teachers></document>");
  const CheckReport report = CheckExportSide(document);
  EXPECT_TRUE(report.stops.empty());
  const std::vector<std::string> want = {
      "subjects, subject nº 2 (id=\"4\", name=\"\u270F\uFE0F Dibujo\"): el nombre \"\u270F\uFE0F "
      "Dibujo\" tiene caracteres que las tablas no pueden guardar (\u270F); se guardan como \"?\"",
      "subjects, subject nº 2 (id=\"4\", name=\"\u270F\uFE0F Dibujo\"): el nombre \"\u270F\uFE0F "
      "Dibujo\" tiene caracteres invisibles (U+FE0F), que no se guardan",
      "teachers, teacher nº 1 (id=\"2\", name=\"Ana\u200B Gil\uFEFF\"): el nombre \"Ana\u200B "
      "Gil\uFEFF\" tiene caracteres invisibles (U+200B, U+FEFF), que no se guardan",
      "teachers, teacher nº 2 (id=\"3\", name=\"Eva\tRuiz\nP\u0081rez\"): el nombre \"Eva\tRuiz\nP"
      "\u0081rez\" tiene caracteres que las tablas no pueden guardar (\u0081); se guardan como "
      "\"?\"",
      "teachers, teacher nº 2 (id=\"3\", name=\"Eva\tRuiz\nP\u0081rez\"): el nombre \"Eva\tRuiz\nP"
      "\u0081rez\" tiene caracteres de control (U+0009, U+000A), que se guardan como blancos",
  };
  EXPECT_EQ(report.warnings, want);

  const RunContext context{dir / "zwork", u'.'};
  fs::create_directories(context.exchangeDirectory);
  RunExportSteps(document, context);
  const Table subjects = Table::Open(context.exchangeDirectory, kAsignomt.name, u'.');
  EXPECT_EQ(subjects.Text(0, subjects.FieldIndex(field::kNombre)), u"Matemáticas");
  EXPECT_EQ(subjects.Text(1, subjects.FieldIndex(field::kNombre)), u"? Dibujo");
  const Table teachers = Table::Open(context.exchangeDirectory, kProft.name, u'.');
  EXPECT_EQ(teachers.Text(0, teachers.FieldIndex(field::kNombre)), u"Ana Gil");
  EXPECT_EQ(teachers.Text(0, teachers.FieldIndex(field::kAbrev)), u"AG");
  EXPECT_EQ(teachers.Text(1, teachers.FieldIndex(field::kNombre)), u"Eva Ruiz P?rez");
}

// Two ids that differ only in characters Windows 1252 cannot hold would be
// one IDSAGA: the export stops before any table changes, listing both.
TEST(CheckExportSide, IdsTheTablesWouldChangeStopTheExport) {
  TempDir dir;
  const SagaDocument document = LoadText(
      dir,
      "<document><teachers>"
      "<teacher id='T-\u01411'>Ana Gil</teacher><teacher id='T-\u015A1'>Eva Sanz</teacher>"
      "<teacher id='T1\u200B'>Luis Gil</teacher></teachers><groups><group id='g1' name='1A'>"
      "<assigned-subjects><assigned-subject id='Mate\u0301'><assigned-teachers>"
      "<assigned-teacher id='T-\u015A1'/></assigned-teachers></assigned-subject>"
      "</assigned-subjects></group></groups></document>");
  const std::vector<std::string> want = {
      "teachers, teacher nº 1 (id=\"T-\u01411\", nombre=\"Ana Gil\"): el id no se guardaría tal "
      "cual en IDSAGA (quedaría \"T-?1\"): las tablas (Windows 1252) no pueden guardar \"\u0141\"",
      "teachers, teacher nº 2 (id=\"T-\u015A1\", nombre=\"Eva Sanz\"): el id no se guardaría tal "
      "cual en IDSAGA (quedaría \"T-?1\"): las tablas (Windows 1252) no pueden guardar \"\u015A\"",
      "teachers, teacher nº 3 (id=\"T1\u200B\", nombre=\"Luis Gil\"): el id no se guardaría tal "
      "cual en IDSAGA (quedaría \"T1\"): tiene caracteres invisibles que no se guardan (U+200B)",
      "groups, group nº 1 (id=\"g1\", name=\"1A\") > assigned-subject nº 1 (id=\"Mate\u0301\"): el "
      "id no se guardaría tal cual en IDSAGA (quedaría \"Mat\u00E9\"): se guardaría normalizado "
      "(NFC)",
      "groups, group nº 1 (id=\"g1\", name=\"1A\") > assigned-subject nº 1 (id=\"Mate\u0301\") > "
      "assigned-teacher nº 1 (id=\"T-\u015A1\"): el id no se guardaría tal cual en IDSAGA "
      "(quedaría \"T-?1\"): las tablas (Windows 1252) no pueden guardar \"\u015A\"",
  };
  EXPECT_EQ(CheckExportSide(document).stops, want);

  const RunContext context{dir / "zwork", u'.'};
  fs::create_directories(context.exchangeDirectory);
  const std::string error = testing::ErrorOf([&] { RunExportSteps(document, context); });
  for (const std::string& line : want) {
    EXPECT_NE(error.find("- " + line), std::string::npos) << error;
  }
  EXPECT_TRUE(fs::is_empty(context.exchangeDirectory));
}

TEST(CheckExportSide, OneProblemOfEachKind) {
  TempDir dir;
  const std::string longName(81, 'x');
  const std::string longId(61, '7');
  const SagaDocument document = LoadText(dir, R"(<?xml version="1.0" encoding="UTF-8"?>
<document>
  <subjects>
    <subject id="s1" name="Física" hours="4"/>
    <subject id="s2" name="Física" hours="3"/>
    <subject id="s1" name="Química" hours="3"/>
    <subject id="s4" name="Lengua" hours="tres"/>
    <subject id="s5" name=")" + longName + R"(" hours="2"/>
    <subject id="s6" name="Ελληνικά" hours="2"/>
    <subject name="Dibujo" hours="2"/>
  </subjects>
  <teachers>
    <teacher id="t1">Ana Ruiz</teacher>
    <teacher id="t2"/>
  </teachers>
  <locations><location id="l1">Aula 1</location></locations>
  <groups>
    <group id=")" + longId + R"(" regim="M" name="1ESO A">Primero A<assigned-subjects>
      <assigned-subject id="s1"><assigned-teachers><assigned-teacher id="t1"/></assigned-teachers></assigned-subject>
      <assigned-subject id="s99"><assigned-teachers><assigned-teacher id="t1"/></assigned-teachers></assigned-subject>
      <assigned-subject id="s2"/>
      <assigned-subject id="s4"><assigned-teachers><assigned-teacher id="t99"/></assigned-teachers></assigned-subject>
    </assigned-subjects></group>
  </groups>
</document>
)");
  const CheckReport report = CheckExportSide(document);
  EXPECT_FALSE(report.Passes());
  EXPECT_EQ(report.stops,
            (std::vector<std::string>{
                R"(subjects, subject nº 7 (name="Dibujo"): falta el atributo "id")",
                R"(teachers, teacher nº 2 (id="t2"): no tiene contenido (falta el nombre))",
            }));
  const std::string group = "groups, group nº 1 (id=\"" + longId + "\", name=\"1ESO A\")";
  const std::vector<std::string> want = {
      R"(subjects, subject nº 3 (id="s1", name="Química"): el id "s1" ya lo tiene subject nº 1; las asignaciones usan el primero)",
      "subjects, subject nº 5 (id=\"s5\", name=\"" + longName + "\"): el nombre \"" + longName +
          "\" no cabe en ASIGNOMT.NOMBRE (80 caracteres); se guarda \"" + std::string(80, 'x') +
          "\"",
      R"(subjects, subject nº 6 (id="s6", name="Ελληνικά"): el nombre "Ελληνικά" tiene caracteres que las tablas no pueden guardar (Εληνικά); se guardan como "?")",
      R"(subjects, subject nº 4 (id="s4", name="Lengua"): las horas "tres" no son un número; se cuentan como 1 hora)",
      R"(subjects, subject nº 2 (id="s2", name="Física"): el código "Física" de "Física" ya estaba dado; se guarda "Física1")",
      group + ": el id \"" + longId + "\" no cabe en GRUPOST.IDSAGA (60 caracteres); se guarda \"" +
          std::string(60, '7') + "\"",
      group +
          R"( > assigned-subject nº 2 (id="s99"): el id "s99" no está en subjects; la asignación queda sin materia)",
      group + R"( > assigned-subject nº 3 (id="s2"): no tiene profesor)",
      group +
          R"( > assigned-subject nº 4 (id="s4") > assigned-teacher nº 1 (id="t99"): el id "t99" no está en teachers)",
  };
  EXPECT_EQ(report.warnings, want);
}

// A systematic problem lists the first warnings of its kind and counts the
// rest; the other kinds still come in full, in document order.
TEST(CheckExportSide, ManyOfOneKindAreCounted) {
  TempDir dir;
  std::string xml = "<document><subjects>";
  const std::size_t count = WarningsOfOneKind::kListed + 5;
  for (std::size_t i = 1; i <= count; ++i) {
    xml += "<subject id=\"s" + std::to_string(i) + "\" name=\"Física\"/>";
  }
  xml += "<subject id=\"s1\" name=\"Dibujo\"/></subjects></document>";
  const CheckReport report = CheckExportSide(LoadText(dir, xml));
  ASSERT_EQ(report.warnings.size(), WarningsOfOneKind::kListed + 2);
  EXPECT_EQ(report.warnings[0], "subjects, subject nº " + std::to_string(count + 1) +
                                    R"( (id="s1", name="Dibujo"): el id "s1" ya lo tiene )"
                                    R"(subject nº 1; las asignaciones usan el primero)");
  EXPECT_EQ(report.warnings[1],
            R"(subjects, subject nº 2 (id="s2", name="Física"): el código "Física" de )"
            R"("Física" ya estaba dado; se guarda "Física1")");
  EXPECT_EQ(report.warnings.back(), "... y 4 más: códigos que ya estaban dados");
}

// The exchange directory after exporting `document` and adding Talvenor's
// frame and solution.
class ImportSideTest : public ::testing::Test {
 protected:
  void Export(const SagaDocument& document) {
    context_.exchangeDirectory = dir_ / "zwork";
    fs::create_directory(context_.exchangeDirectory);
    RunExportSteps(document, context_);
  }

  // What the summary after importing the tables into a copy of the sample
  // reports: the import's own findings worded by the check.
  CheckReport AfterImport() {
    const fs::path saga = dir_ / "importado.xml";
    fs::copy_file(SourceDir() / "samples" / "saga-ejemplo.xml", saga,
                  fs::copy_options::overwrite_existing);
    const ImportedCounts imported =
        ImportTimetable(SagaDocument::Load(saga, LoadScope::kRootElement), saga, context_);
    if (imported.findings == nullptr) throw std::runtime_error("no findings");
    return CheckImportSide(context_, *imported.findings);
  }

  TempDir dir_;
  RunContext context_;
};

TEST_F(ImportSideTest, SampleRoundTripListsTheSolutionsGaps) {
  Export(SagaDocument::Load(SourceDir() / "samples" / "saga-ejemplo.xml"));
  EXPECT_FALSE(HasTimetable(context_));
  for (const char* table : {"DIASHORAST.DBF", "SOLUC.DBF"}) {
    fs::copy_file(SourceDir() / "samples" / "talvenor" / table, context_.exchangeDirectory / table,
                  fs::copy_options::overwrite_existing);
  }
  EXPECT_TRUE(HasTimetable(context_));
  const CheckReport report = CheckImportSide(context_);
  EXPECT_TRUE(report.stops.empty()) << report.stops.front();
  const std::vector<std::string> want = {
      R"(SOLUC, campo AULA: el código "LAB9" no está en AULAT (registro 5); ¿horario hecho con otra exportación?)",
      "SOLUC: 18 sesiones sin colocar (día 0), que no se importan (registros 4, 106, 133, 193, "
      "289, 290, 291, 292, 293, 294 y 8 más)",
      R"(grupo "1ESO A", asignatura "LCL": enviadas 4 h, colocadas 3 h; faltan 1 h)",
      R"(grupo "2ESO A", asignatura "TD": enviadas 2,5 h, colocadas 2 h; faltan 0,5 h)",
      R"(grupo "2ESO B", asignatura "TD": enviadas 2,5 h, colocadas 2 h; faltan 0,5 h)",
      R"(grupo "3ESO B", asignatura "TD": enviadas 2,5 h, colocadas 2 h; faltan 0,5 h)",
      R"(grupo "1BACH", asignatura "Econom": enviadas 3,5 h, colocadas 3 h; faltan 0,5 h)",
      R"(grupo "1BACH", asignatura "EF": enviadas 2 h, colocadas 0 h; faltan 2 h)",
      R"(grupo "1BACH", asignatura "Tutorí1": enviadas 4 h, colocadas 0 h; faltan 4 h)",
      R"(grupo "1BACH 1", asignatura "Econom": enviadas 3,5 h, colocadas 3 h; faltan 0,5 h)",
      R"(grupo "1BACH 1", asignatura "EF": enviadas 2 h, colocadas 0 h; faltan 2 h)",
      R"(grupo "1BACH 1", asignatura "Tutorí1": enviadas 4 h, colocadas 0 h; faltan 4 h)",
  };
  EXPECT_EQ(report.warnings, want);
  // The summary after the import reports the same without reading SOLUC again.
  EXPECT_EQ(AfterImport().warnings, want);
}

// The check reads the tables through the same engine as the import: the
// same lessons in other programs' layouts give the same report, and a
// language driver it does not know is a warning naming table and byte.
TEST_F(ImportSideTest, TablesOtherProgramsWriteGiveTheSameReport) {
  Export(SagaDocument::Load(SourceDir() / "samples" / "saga-ejemplo.xml"));
  const fs::path exported = dir_ / "exported";
  fs::copy(context_.exchangeDirectory, exported);
  const auto reportFor = [&](const std::string& layout) {
    fs::remove_all(context_.exchangeDirectory);
    fs::copy(exported, context_.exchangeDirectory);
    fs::copy(SourceDir() / "tables" / "testdata" / "solution" / layout, context_.exchangeDirectory,
             fs::copy_options::recursive | fs::copy_options::overwrite_existing);
    return CheckImportSide(context_);
  };
  const CheckReport want = reportFor("sample");
  EXPECT_TRUE(want.stops.empty()) << want.stops.front();
  ASSERT_FALSE(want.warnings.empty());
  for (const char* layout : {"level7", "foxpro", "cp850", "cp437", "cpg850", "cpgutf8"}) {
    SCOPED_TRACE(layout);
    const CheckReport report = reportFor(layout);
    EXPECT_EQ(report.stops, want.stops);
    EXPECT_EQ(report.warnings, want.warnings);
    EXPECT_EQ(AfterImport().warnings, want.warnings);
  }

  // SOLUC with a language driver byte no driver list knows.
  reportFor("sample");
  const fs::path soluc = context_.exchangeDirectory / "SOLUC.DBF";
  std::fstream file(soluc, std::ios::in | std::ios::out | std::ios::binary);
  file.seekp(29);
  file.put(static_cast<char>(0x42));
  file.close();
  const CheckReport report = CheckImportSide(context_);
  ASSERT_FALSE(report.warnings.empty());
  EXPECT_EQ(report.warnings.front(),
            "La tabla SOLUC declara el controlador de idioma 0x42, que no se conoce: su texto se "
            "ha leído como Windows 1252 y puede tener caracteres equivocados.");
  EXPECT_EQ(std::vector<std::string>(report.warnings.begin() + 1, report.warnings.end()),
            want.warnings);
  EXPECT_EQ(AfterImport().warnings, report.warnings);
}

constexpr FieldDef kSolucFields[] = {
    {field::kCodGrupo, FieldKind::kText, 10}, {field::kProf, FieldKind::kText, 10},
    {field::kAsig, FieldKind::kText, 10},     {field::kAula, FieldKind::kText, 10},
    {field::kDia, FieldKind::kText, 2},       {field::kHora, FieldKind::kText, 6},
    {field::kSesiones, FieldKind::kText, 6}};
const ExchangeTable kSoluc{kSolucName, kSolucFields};

TEST_F(ImportSideTest, OneProblemOfEachKind) {
  TempDir source;
  const SagaDocument document = LoadText(source, R"(<?xml version="1.0" encoding="UTF-8"?>
<document>
  <subjects>
    <subject id="s1" name="Física" hours="4"/>
    <subject id="s2" name="Química" hours="2"/>
  </subjects>
  <teachers><teacher id="t1">Ana Ruiz</teacher></teachers>
  <locations><location id="l1">Aula 1</location></locations>
  <groups>
    <group id="g1" regim="M" name="1ESO A">Primero A<assigned-subjects>
      <assigned-subject id="s1"><assigned-teachers><assigned-teacher id="t1"/></assigned-teachers></assigned-subject>
      <assigned-subject id="s2"><assigned-teachers><assigned-teacher id="t1"/></assigned-teachers></assigned-subject>
    </assigned-subjects></group>
  </groups>
</document>
)");
  Export(document);
  const std::u16string s1 = SubjectCodes(ReadSubjects(document))[0].code;
  const std::u16string s2 = SubjectCodes(ReadSubjects(document))[1].code;
  const std::u16string g = GroupCodes(ReadGroups(document))[0].code;
  const std::u16string t = TeacherCodes(ReadTeachers(document))[0].code;
  const std::u16string a = RoomCodes(ReadLocations(document))[0].code;

  {
    TableWriter frame(context_.exchangeDirectory, kDiashorast);
    for (const auto& [day, hour] : {std::pair{u"1", u"1"}, {u"1", u"2"}, {u"2", u"1"}}) {
      frame.Append();
      frame.SetText(field::kDia, day);
      frame.SetText(field::kHora, hour);
      frame.Post();
    }
    frame.Commit();
  }
  struct Row {
    std::u16string subject, room, day, hour;
  };
  const Row rows[] = {
      {s1, a, u"1", u"1"},        // 1: fine
      {s1, u"LAB9", u"1", u"2"},  // 2: a room without record
      {s1, a, u"0", u"0"},        // 3: not placed
      {u"ZZ", a, u"2", u"1"},     // 4: a subject without record, so without activity
      {s1, a, u"3", u"1"},        // 5: a day the frame lacks
      {s1, a, u"x", u"1"},        // 6: a day that is no number
      {s1, a, u"1", u"5"},        // 7: an hour the frame lacks
  };
  {
    TableWriter soluc(context_.exchangeDirectory, kSoluc);
    for (const Row& row : rows) {
      soluc.Append();
      soluc.SetText(field::kCodGrupo, g);
      soluc.SetText(field::kProf, t);
      soluc.SetText(field::kAsig, row.subject);
      soluc.SetText(field::kAula, row.room);
      soluc.SetText(field::kDia, row.day);
      soluc.SetText(field::kHora, row.hour);
      soluc.SetText(field::kSesiones, u"1");
      soluc.Post();
    }
    soluc.Commit();
  }

  const CheckReport report = CheckImportSide(context_);
  EXPECT_EQ(report.stops,
            (std::vector<std::string>{
                R"(La tabla SOLUC, registro 4, campo ASIG: la asignatura "ZZ" no tiene actividad.)",
                R"(La tabla SOLUC, registro 6, campo DIA: "x" no es un número.)"}));
  const std::string gs1 = "grupo " + Q(g) + ", asignatura " + Q(s1);
  const std::vector<std::string> want = {
      "SOLUC, registro 5: la sesión del día 3, intervalo i1 (" + gs1 +
          ") no está en el marco de días y horas (DIASHORAST)",
      "SOLUC, registro 7: la sesión del día 1, intervalo i5 (" + gs1 +
          ") no está en el marco de días y horas (DIASHORAST)",
      R"(SOLUC, campo AULA: el código "LAB9" no está en AULAT (registro 2); ¿horario hecho con otra exportación?)",
      R"(SOLUC, campo ASIG: el código "ZZ" no está en ASIGNOMT (registro 4); ¿horario hecho con otra exportación?)",
      "SOLUC: 1 sesión sin colocar (día 0), que no se importa (registro 3)",
      "grupo " + Q(g) + ", asignatura " + Q(s2) + ": enviadas 2 h, colocadas 0 h; faltan 2 h",
      "grupo " + Q(g) + ", asignatura \"ZZ\": enviadas 0 h, colocadas 1 h; sobran 1 h",
  };
  EXPECT_EQ(report.warnings, want);

  // Both sides together; a check writes nothing.
  const auto before = fs::last_write_time(context_.exchangeDirectory / "SOLUC.DBF");
  const CheckReport both = CheckBeforeRun(document, context_);
  EXPECT_EQ(both.importStops, report.stops);
  EXPECT_EQ(fs::last_write_time(context_.exchangeDirectory / "SOLUC.DBF"), before);
}

TEST_F(ImportSideTest, MissingTableIsAStop) {
  Export(SagaDocument::Load(SourceDir() / "samples" / "saga-ejemplo.xml"));
  fs::copy_file(SourceDir() / "samples" / "talvenor" / "SOLUC.DBF",
                context_.exchangeDirectory / "SOLUC.DBF");
  fs::remove(context_.exchangeDirectory / "PROFT.DBF");
  const CheckReport report = CheckImportSide(context_);
  ASSERT_EQ(report.stops.size(), 1u);
  EXPECT_TRUE(report.stops[0].starts_with("No existe la tabla PROFT")) << report.stops[0];
}

TEST(RunCounts, TablesAndListsCounted) {
  TempDir dir;
  RunContext context{dir.Path(), u'.'};
  const SagaDocument sample = SagaDocument::Load(SourceDir() / "samples" / "saga-ejemplo.xml");
  RunExportSteps(sample, context);
  EXPECT_EQ(ExportCounts(context),
            (std::vector<std::string>{"ASIGNOMT: 34 registros", "PROFT: 22 registros",
                                      "AULAT: 14 registros", "GRUPOST: 13 registros",
                                      "ASIGT: 135 registros", "DIASHORAST: 0 registros"}));
  EXPECT_EQ(ImportCounts({.days = 5,
                          .intervals = 35,
                          .groups = 13,
                          .members = 22,
                          .activities = 34,
                          .inputs = 381,
                          .timetableExport = "",
                          .findings = nullptr}),
            (std::vector<std::string>{"días: 5", "intervalos: 35", "grupos: 13", "profesores: 22",
                                      "actividades: 34", "sesiones: 381"}));
}

}  // namespace
}  // namespace brivasto
