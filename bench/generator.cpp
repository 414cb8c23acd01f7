// The synthetic school: a SAGA document written with plain streams, and
// Talvenor's day/hour frame and solution written through the table engine.
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "bench/bench.h"
#include "export/export.h"

namespace brivasto::bench {
namespace {

namespace fs = std::filesystem;

// Scale 1.
constexpr SchoolSize kLargeSecondarySchool{400, 250, 120, 100, 3000, 3000};
constexpr double kMaxScale = 1000.0;

// Seeded and portable: the engine's sequence is fixed by the standard, and
// the draws below use only its raw output.
class Draw {
 public:
  explicit Draw(std::uint64_t seed) : engine_(seed) {}
  // A number from 0 to n - 1 (n > 0).
  std::size_t Below(std::size_t n) { return static_cast<std::size_t>(engine_() % n); }
  // True `perThousand` times in a thousand.
  bool Chance(std::size_t perThousand) { return Below(1000) < perThousand; }
  template <typename T, std::size_t N>
  const T& Pick(const std::array<T, N>& items) {
    return items[Below(N)];
  }

 private:
  std::mt19937_64 engine_;
};

constexpr std::array<std::string_view, 48> kSubjectNames = {
    "Lengua Castellana y Literatura",
    "Matemáticas",
    "Matemáticas Aplicadas a las Ciencias Sociales",
    "Geografía e Historia",
    "Biología y Geología",
    "Física y Química",
    "Inglés",
    "Francés",
    "Alemán",
    "Educación Física",
    "Educación Plástica, Visual y Audiovisual",
    "Música",
    "música",
    "Tecnología y Digitalización",
    "Religión Católica",
    "Religión católica",
    "Atención Educativa",
    "Tutoría",
    "Ámbito Científico-Tecnológico",
    "Ámbito Sociolingüístico",
    "Filosofía",
    "Historia de España",
    "Historia de la Filosofía",
    "Dibujo Técnico",
    "Latín",
    "Griego",
    "Economía",
    "Economía de la Empresa",
    "Química",
    "Física",
    "Biología",
    "Geología y Ciencias Ambientales",
    "Tecnología e Ingeniería",
    "Cultura Clásica",
    "Digitalización",
    "Expresión Artística",
    "Oratoria",
    "Psicología",
    "Artes Escénicas",
    "Proyecto de Investigación",
    "matemáticas",
    "FORMACIÓN Y ORIENTACIÓN LABORAL",
    "Empresa e Iniciativa Emprendedora",
    "Sistemas Informáticos",
    "Redes Locales",
    "Montaje y Mantenimiento de Equipos",
    "Servicios en Red",
    "Aplicaciones Web",
};

constexpr std::array<std::string_view, 10> kSubjectVariants = {
    "", " I", " II", " 1", " 2", " 3", " 4", " (bilingüe)", " de Refuerzo", " Avanzada"};

constexpr std::array<std::string_view, 10> kHours = {"4",   "3", "2", "1", "2,5",
                                                     "3.5", "5", "4", "3", "7"};

constexpr std::array<std::string_view, 40> kFirstNames = {
    "María José", "Juan",       "José",         "Jorge",      "Ana",
    "Alberto",    "Lucía",      "Carmen",       "Pedro",      "Elena",
    "Íñigo",      "Rosa María", "Javier",       "Álvaro",     "Begoña",
    "Nuria",      "Óscar",      "Sofía",        "Raúl",       "Inmaculada",
    "Jesús",      "Ángela",     "Miguel Ángel", "Pilar",      "Francisco Javier",
    "Marta",      "Ramón",      "Lourdes",      "Agustín",    "Concepción",
    "Tomás",      "Noelia",     "Iván",         "Ainhoa",     "Germán",
    "Belén",      "Julia",      "Joaquín",      "Montserrat", "Úrsula"};

constexpr std::array<std::string_view, 60> kSurnames = {
    "García",  "López",      "Pérez",        "Gómez",    "Gil",       "Martínez",  "Ruiz",
    "Moreno",  "Ramos",      "Fernández",    "Sánchez",  "Rodríguez", "Núñez",     "Ortega",
    "Navarro", "Echeverría", "Azcona",       "Vidal",    "Castro",    "Muñoz",     "Jiménez",
    "Díaz",    "Álvarez",    "Romero",       "Alonso",   "Gutiérrez", "Hernández", "Domínguez",
    "Vázquez", "Ibáñez",     "Peña",         "Calvo",    "Mañas",     "Prieto",    "Serrano",
    "Blanco",  "Suárez",     "Molina",       "Morales",  "Ortiz",     "Delgado",   "Castillo",
    "Rubio",   "Marín",      "Sanz",         "Iglesias", "Medina",    "Garrido",   "Cortés",
    "Santos",  "Lozano",     "Guerrero",     "Cano",     "Méndez",    "Cruz",      "Flores",
    "Herrera", "Peñalver",   "de la Fuente", "del Río"};

constexpr std::array<std::string_view, 16> kSpecialRooms = {"Laboratorio de Física",
                                                            "Laboratorio de Química",
                                                            "Laboratorio de Biología",
                                                            "Aula de Informática",
                                                            "Taller de Tecnología",
                                                            "Gimnasio",
                                                            "Gimnasio cubierto",
                                                            "Biblioteca",
                                                            "Salón de Actos",
                                                            "Aula de Música",
                                                            "Aula de Plástica",
                                                            "Aula de Desdoble",
                                                            "Departamento de Orientación",
                                                            "Pista polideportiva",
                                                            "Laboratorio",
                                                            "Sala de Usos Múltiples"};

struct Level {
  std::string_view name;         // the first word of a group's name
  std::string_view description;  // how the school writes it out
  std::string_view regim;
};

constexpr std::array<Level, 11> kLevels = {{{"1ESO", "Primero de ESO", "M"},
                                            {"2ESO", "Segundo de ESO", "M"},
                                            {"3ESO", "Tercero de ESO", "M"},
                                            {"4ESO", "Cuarto de ESO", "M"},
                                            {"1BACH", "Primero de Bachillerato", "M"},
                                            {"2BACH", "Segundo de Bachillerato", "M"},
                                            {"1CFGM", "Primero de Grado Medio", "T"},
                                            {"2CFGM", "Segundo de Grado Medio", "T"},
                                            {"1CFGS", "Primero de Grado Superior", "T"},
                                            {"2CFGS", "Segundo de Grado Superior", "N"},
                                            {"1FPB", "Primero de FP Básica", "M"}}};

constexpr std::string_view kGroupLetters = "ABCDEFGH";

// First ids of each catalogue; the scales allowed keep them apart.
constexpr std::size_t kFirstSubjectId = 200001;
constexpr std::size_t kFirstTeacherId = 300001;
constexpr std::size_t kFirstRoomId = 400001;
constexpr std::size_t kFirstGroupId = 500001;
// An assigned teacher that names nobody carries this id.
constexpr std::string_view kUnknownTeacherId = "0";

std::string Escaped(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

std::size_t Scaled(std::size_t count, double scale) {
  const double value = std::round(static_cast<double>(count) * scale);
  return value < 1.0 ? 1 : static_cast<std::size_t>(value);
}

// An id as a school's data holds it: now and then with blanks around it.
std::string IdText(std::size_t id, Draw& draw) {
  std::string text = std::to_string(id);
  return draw.Chance(5) ? " " + text + " " : text;
}

// A file written whole to a temporary name beside `target`, then renamed.
class FileOut {
 public:
  explicit FileOut(fs::path target)
      : target_(std::move(target)), temporary_(target_.string() + ".tmp") {
    out_.rdbuf()->pubsetbuf(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    out_.open(temporary_, std::ios::binary | std::ios::trunc);
    if (!out_) Fail();
  }
  FileOut(const FileOut&) = delete;
  FileOut& operator=(const FileOut&) = delete;
  ~FileOut() {
    if (!committed_) {
      out_.close();
      std::error_code ignored;
      fs::remove(temporary_, ignored);
    }
  }

  std::ofstream& Stream() { return out_; }

  void Commit() {
    out_.close();
    if (!out_) Fail();
    std::error_code error;
    fs::rename(temporary_, target_, error);
    if (error) Fail();
    committed_ = true;
  }

 private:
  [[noreturn]] void Fail() const {
    throw TransferError("No se pudo escribir el archivo " + target_.string() + ": " +
                        std::strerror(errno));
  }

  fs::path target_;
  fs::path temporary_;
  std::array<char, 1 << 16> buffer_{};
  std::ofstream out_;
  bool committed_ = false;
};

void WriteSubjects(std::ostream& out, std::size_t count, Draw& draw) {
  out << "  <subjects>\n";
  std::size_t previousId = kFirstSubjectId;
  for (std::size_t i = 0; i < count; ++i) {
    // Now and then an id given twice: the later subject is never found by it.
    const std::size_t id = (i > 0 && draw.Chance(2)) ? previousId : kFirstSubjectId + i;
    previousId = id;
    const std::string name =
        std::string(draw.Pick(kSubjectNames)) + std::string(draw.Pick(kSubjectVariants));
    out << "    <subject id=\"" << IdText(id, draw) << "\" name=\"" << Escaped(name) << '"';
    if (!draw.Chance(60)) {  // some subjects come without hours: they get 4
      out << " hours=\"" << (draw.Chance(10) ? " 4 " : draw.Pick(kHours)) << '"';
    }
    out << "/>\n";
  }
  out << "  </subjects>\n";
}

void WriteTeachers(std::ostream& out, std::size_t count, Draw& draw) {
  out << "  <teachers>\n";
  std::size_t previousId = kFirstTeacherId;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t id = (i > 0 && draw.Chance(2)) ? previousId : kFirstTeacherId + i;
    previousId = id;
    const std::string name = std::string(draw.Pick(kFirstNames)) + " " +
                             std::string(draw.Pick(kSurnames)) + " " +
                             std::string(draw.Pick(kSurnames));
    out << "    <teacher id=\"" << IdText(id, draw) << "\">" << Escaped(name) << "</teacher>\n";
  }
  out << "  </teachers>\n";
}

void WriteLocations(std::ostream& out, std::size_t count, Draw& draw) {
  out << "  <locations>\n";
  std::size_t classroom = 0;
  for (std::size_t i = 0; i < count; ++i) {
    std::string name;
    if (draw.Chance(700)) {
      name = "Aula " + std::to_string(++classroom);
    } else {
      name = std::string(draw.Pick(kSpecialRooms));
      if (draw.Chance(400)) name += " " + std::to_string(1 + draw.Below(4));
    }
    out << "    <location id=\"" << IdText(kFirstRoomId + i, draw) << "\">" << Escaped(name)
        << "</location>\n";
  }
  out << "  </locations>\n";
}

void WriteGroups(std::ostream& out, const SchoolSize& size, Draw& draw) {
  out << "  <groups>\n";
  const std::size_t perGroup = size.assignments / size.groups;
  const std::size_t extra = size.assignments % size.groups;
  for (std::size_t g = 0; g < size.groups; ++g) {
    const Level& level = kLevels[g % kLevels.size()];
    const char letter = kGroupLetters[(g / kLevels.size()) % kGroupLetters.size()];
    std::string description = std::string(level.description) + ", grupo " + std::string(1, letter);
    if (draw.Chance(100)) description += " (bilingüe)";
    out << "    <group id=\"" << IdText(kFirstGroupId + g, draw) << "\" regim=\"" << level.regim
        << "\" name=\"" << level.name << ' ' << letter << "\">" << Escaped(description)
        << "<assigned-subjects>\n";
    const std::size_t assigned = perGroup + (g < extra ? 1 : 0);
    for (std::size_t a = 0; a < assigned; ++a) {
      out << "        <assigned-subject id=\""
          << IdText(kFirstSubjectId + draw.Below(size.subjects), draw)
          << "\">\n          <assigned-teachers>\n";
      const std::size_t teachers = draw.Chance(150) ? 2 : 1;
      for (std::size_t t = 0; t < teachers; ++t) {
        out << "            <assigned-teacher id=\"";
        if (draw.Chance(3)) {
          out << kUnknownTeacherId;
        } else {
          out << IdText(kFirstTeacherId + draw.Below(size.teachers), draw);
        }
        out << "\"/>\n";
      }
      out << "          </assigned-teachers>\n        </assigned-subject>\n";
    }
    out << "      </assigned-subjects>\n    </group>\n";
  }
  out << "  </groups>\n";
}

// The code (`codeField`) of the first record holding each IDSAGA.
std::unordered_map<std::u16string, std::u16string> CodesById(const Table& table,
                                                             std::string_view codeField) {
  std::unordered_map<std::u16string, std::u16string> codes;
  const std::size_t code = table.FieldIndex(codeField);
  const std::size_t id = table.FieldIndex(field::kIdSaga);
  for (std::size_t record = 0; record < table.RecordCount(); ++record) {
    codes.try_emplace(table.Text(record, id), table.Text(record, code));
  }
  return codes;
}

std::u16string CodeOf(const std::unordered_map<std::u16string, std::u16string>& codes,
                      const std::optional<std::u16string>& id) {
  if (!id) return u"";
  const auto found = codes.find(*id);
  return found == codes.end() ? u"" : found->second;
}

// SOLUC as Talvenor writes it: codes as text, day, hour and sessions as numbers.
constexpr std::string_view kNumero = "NUMERO";
constexpr FieldDef kSolucFields[] = {
    {kNumero, FieldKind::kInteger, 0},      {field::kCodGrupo, FieldKind::kText, 10},
    {field::kAsig, FieldKind::kText, 10},   {field::kProf, FieldKind::kText, 10},
    {field::kAula, FieldKind::kText, 10},   {field::kDia, FieldKind::kInteger, 0},
    {field::kHora, FieldKind::kInteger, 0}, {field::kSesiones, FieldKind::kReal, 0}};
constexpr ExchangeTable kSoluc{kSolucName, kSolucFields};

// A room code that no room record has: the room was added in Talvenor.
constexpr std::u16string_view kRoomWithoutRecord = u"AULA-EXT";

constexpr int kDays = 5;
constexpr int kPeriods = 8;

}  // namespace

SchoolSize SizeForScale(double scale) {
  if (!(scale > 0.0) || scale > kMaxScale) {
    throw TransferError("La escala debe ser mayor que 0 y no mayor que 1000.");
  }
  const SchoolSize& one = kLargeSecondarySchool;
  return {Scaled(one.subjects, scale),    Scaled(one.teachers, scale),
          Scaled(one.rooms, scale),       Scaled(one.groups, scale),
          Scaled(one.assignments, scale), Scaled(one.solutionRows, scale)};
}

void WriteSagaDocument(const fs::path& file, const SchoolSize& size, std::uint64_t seed) {
  Draw draw(seed);
  FileOut fileOut(file);
  std::ostream& out = fileOut.Stream();
  out << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<!-- Centro sintético para medir Brivasto (datos inventados). -->\n"
         "<document>\n";
  WriteSubjects(out, size.subjects, draw);
  WriteTeachers(out, size.teachers, draw);
  WriteLocations(out, size.rooms, draw);
  WriteGroups(out, size, draw);
  out << "</document>\n";
  fileOut.Commit();
}

void WriteDayHourFrame(const fs::path& exchangeDirectory) {
  constexpr std::array<std::u16string_view, kDays> kDayNames = {u"Lunes", u"Martes", u"Miércoles",
                                                                u"Jueves", u"Viernes"};
  constexpr std::array<std::u16string_view, kDays> kDayLetters = {u"L", u"M", u"X", u"J", u"V"};
  // Start and end of each period, with the break after the third.
  constexpr std::array<std::u16string_view, kPeriods + 1> kStarts = {
      u"8:00", u"8:55", u"9:50", u"11:15", u"12:10", u"13:05", u"14:00", u"14:55", u"15:50"};
  constexpr std::array<std::u16string_view, kPeriods> kEnds = {
      u"8:55", u"9:50", u"10:45", u"12:10", u"13:05", u"14:00", u"14:55", u"15:50"};
  TableWriter table(exchangeDirectory, kDiashorast);
  for (std::size_t d = 0; d < kDays; ++d) {
    for (std::size_t h = 0; h < kPeriods; ++h) {
      const std::u16string day = DecimalText(static_cast<std::int64_t>(d + 1));
      const std::u16string hour = DecimalText(static_cast<std::int64_t>(h + 1));
      table.Append();
      table.SetText(field::kDiho, std::u16string(kDayLetters[d]) + hour);
      table.SetText(field::kCodDiho, day + u"-" + hour);
      table.SetText(field::kDia, day);
      table.SetText(field::kTextoDia, kDayNames[d]);
      table.SetText(field::kHora, hour);
      table.SetText(field::kTextoHor, hour + u"ª hora");
      table.SetText(field::kHoraDesde, kStarts[h]);
      table.SetText(field::kHoraHasta, kEnds[h]);
      table.SetText(field::kMinutos, u"55");
      table.SetText(field::kMarco, u"0");
      table.Post();
    }
  }
  table.Commit();
}

void WriteSolution(const SagaDocument& document, const fs::path& exchangeDirectory,
                   std::size_t rows, std::uint64_t seed) {
  struct Lesson {
    std::u16string group, subject;
    std::vector<std::u16string> teachers;
  };
  std::vector<Lesson> lessons;
  std::vector<std::u16string> roomCodes;
  {
    const Table groups = Table::Open(exchangeDirectory, kGrupost.name, u'.');
    const Table subjects = Table::Open(exchangeDirectory, kAsignomt.name, u'.');
    const Table teachers = Table::Open(exchangeDirectory, kProft.name, u'.');
    const Table rooms = Table::Open(exchangeDirectory, kAulat.name, u'.');
    const auto groupCodes = CodesById(groups, field::kAbrev);
    const auto subjectCodes = CodesById(subjects, field::kCod);
    const auto teacherCodes = CodesById(teachers, field::kAbrev);
    for (const SagaGroup& group : ReadGroups(document)) {
      const std::u16string groupCode = CodeOf(groupCodes, group.id);
      for (const SagaAssignedSubject& assigned : group.subjects) {
        Lesson lesson{groupCode, CodeOf(subjectCodes, assigned.id), {}};
        for (const SagaAssignedTeacher& teacher : assigned.teachers) {
          lesson.teachers.push_back(CodeOf(teacherCodes, teacher.id));
        }
        if (!lesson.subject.empty()) lessons.push_back(std::move(lesson));
      }
    }
    const std::size_t abrev = rooms.FieldIndex(field::kAbrev);
    for (std::size_t record = 0; record < rooms.RecordCount(); ++record) {
      roomCodes.push_back(rooms.Text(record, abrev));
    }
  }

  Draw draw(seed ^ 0x5011c);
  TableWriter table(exchangeDirectory, kSoluc);
  for (std::size_t row = 0; row < rows && !lessons.empty(); ++row) {
    const Lesson& lesson = lessons[row % lessons.size()];
    std::u16string teacher;
    if (!lesson.teachers.empty()) teacher = lesson.teachers[row % lesson.teachers.size()];
    std::u16string room;
    if (draw.Chance(20)) {
      room = kRoomWithoutRecord;
    } else if (!draw.Chance(10) && !roomCodes.empty()) {  // else a lesson without a room
      room = roomCodes[draw.Below(roomCodes.size())];
    }
    const bool placed = !draw.Chance(20);
    table.Append();
    table.SetInteger(kNumero, static_cast<std::int32_t>(row + 1));
    table.SetText(field::kCodGrupo, lesson.group);
    table.SetText(field::kAsig, lesson.subject);
    table.SetText(field::kProf, teacher);
    table.SetText(field::kAula, room);
    table.SetInteger(field::kDia, placed ? static_cast<std::int32_t>(1 + draw.Below(kDays)) : 0);
    table.SetInteger(field::kHora, static_cast<std::int32_t>(1 + draw.Below(kPeriods)));
    table.SetReal(field::kSesiones, draw.Chance(30) ? 0.5 : 1.0);
    table.Post();
  }
  table.Commit();
}

void GenerateSchool(const fs::path& directory, double scale, std::uint64_t seed) {
  const SchoolSize size = SizeForScale(scale);
  const fs::path exchangeDirectory = directory / "zwork";
  std::error_code error;
  fs::create_directories(exchangeDirectory, error);
  if (error) {
    throw TransferError("No se pudo crear el directorio " + exchangeDirectory.string() + ": " +
                        error.message());
  }
  const fs::path sagaFile = directory / "saga.xml";
  WriteSagaDocument(sagaFile, size, seed);
  // The codes Talvenor's solution names come from a real export.
  const SagaDocument document = SagaDocument::Load(sagaFile);
  RunExportSteps(document, RunContext{exchangeDirectory, u'.'});
  WriteDayHourFrame(exchangeDirectory);
  WriteSolution(document, exchangeDirectory, size.solutionRows, seed);
}

}  // namespace brivasto::bench
