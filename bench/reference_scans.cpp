// The transfers' lookups as plain scans from the first record. Everything
// else (what is written, in which order, the hours and sessions) follows the
// transfers, so that only the way of looking things up differs.
#include "bench/reference_scans.h"

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "export/hours.h"

namespace brivasto::reference {
namespace {

namespace fs = std::filesystem;

constexpr int kDaysInWeek = 7;
constexpr int kHoursInDay = 40;

// The first record, from the first in record order, whose `field` holds
// exactly `value`.
std::optional<std::size_t> ScanFirst(const Table& table, std::string_view field,
                                     std::u16string_view value) {
  for (std::size_t record = 0; record < table.RecordCount(); ++record) {
    if (table.Text(record, table.FieldIndex(field)) == value) return record;
  }
  return std::nullopt;
}

std::u16string TextOf(const Table& table, std::size_t record, std::string_view field) {
  return table.Text(record, table.FieldIndex(field));
}

std::u16string PaddedEnd(const std::u16string& end) {
  if (!end.empty() && end[0] != u'0' && end.size() < 5) return u"0" + end;
  return end;
}

std::u16string HourText(double hour, double sessions, char16_t decimalSeparator) {
  if (sessions == 0.5) hour = hour * 2 - 1;
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.15g", hour);
  std::u16string text;
  for (const char* c = buffer; *c != '\0'; ++c) {
    text.push_back(*c == '.' ? decimalSeparator : static_cast<char16_t>(*c));
  }
  return text;
}

// The IDSAGA of the first record whose `codeField` equals `code`; the code
// itself when none does.
std::u16string LookUpSagaId(const Table& catalogue, std::string_view codeField,
                            const std::u16string& code) {
  const std::optional<std::size_t> record = ScanFirst(catalogue, codeField, code);
  return record ? TextOf(catalogue, *record, field::kIdSaga) : code;
}

void WriteUsedRecords(XmlSectionWriter& out, const Table& catalogue, std::string_view codeField,
                      const Table& soluc, std::string_view solutionField, std::string_view list,
                      std::string_view entry) {
  out.Open(list);
  for (std::size_t record = 0; record < catalogue.RecordCount(); ++record) {
    if (!ScanFirst(soluc, solutionField, TextOf(catalogue, record, codeField))) continue;
    out.Open(entry);
    out.Attribute("id", TextOf(catalogue, record, field::kIdSaga));
    out.Close();
  }
  out.Close();
}

void WriteReference(XmlSectionWriter& out, std::string_view container, std::string_view entry,
                    const Table& catalogue, const std::u16string& code) {
  out.Open(container);
  out.Open(entry);
  const std::u16string sagaId = LookUpSagaId(catalogue, field::kAbrev, code);
  if (!sagaId.empty()) out.Attribute("id", sagaId);
  out.Close();
  out.Close();
}

}  // namespace

void WriteAssignments(const SagaDocument& document, const fs::path& catalogueDirectory,
                      const fs::path& outputDirectory, char16_t decimalSeparator) {
  TableWriter table(outputDirectory, kAsigt);
  const Table groups = Table::Open(catalogueDirectory, kGrupost.name, decimalSeparator);
  const Table teachers = Table::Open(catalogueDirectory, kProft.name, decimalSeparator);
  const Table subjects = Table::Open(catalogueDirectory, kAsignomt.name, decimalSeparator);
  for (const SagaGroup& group : ReadGroups(document)) {
    std::u16string cgrup, turno, nivel, curso, grupo;
    if (const auto record = ScanFirst(groups, field::kIdSaga, group.id.value_or(u""))) {
      cgrup = TextOf(groups, *record, field::kAbrev);
      turno = TextOf(groups, *record, field::kTurno);
      nivel = TextOf(groups, *record, field::kNivel);
      curso = TextOf(groups, *record, field::kCurso);
      grupo = TextOf(groups, *record, field::kGrupo);
    }
    for (const SagaAssignedSubject& assigned : group.subjects) {
      std::u16string casig, hoursText;
      if (const auto record = ScanFirst(subjects, field::kIdSaga, assigned.id.value_or(u""))) {
        casig = TextOf(subjects, *record, field::kCod);
        hoursText = TextOf(subjects, *record, field::kHoras);
      }
      std::u16string cprof;
      for (const SagaAssignedTeacher& teacher : assigned.teachers) {
        const auto record = ScanFirst(teachers, field::kIdSaga, teacher.id.value_or(u""));
        cprof = record ? TextOf(teachers, *record, field::kAbrev) : u"";
      }
      table.Append();
      table.SetText(field::kCAsig, casig);
      table.SetText(field::kCProf, cprof);
      table.SetText(field::kCGrup, cgrup);
      table.SetText(field::kCAula, u"");
      table.SetText(field::kTurno, turno);
      table.SetText(field::kNivel, nivel);
      table.SetText(field::kCurso, curso);
      table.SetText(field::kGrupo, grupo);
      std::int32_t sessions = 0;
      if (!hoursText.empty()) {
        const double value = hours::HoursValue(hoursText);
        const std::optional<std::int32_t> count = hours::SessionCount(value);
        if (!count) throw TransferError("horas fuera de rango");
        table.SetReal(field::kHoras, hours::StoredHours(value));
        sessions = *count;
      }
      table.SetText(field::kSesiones, hours::SessionsPattern(sessions));
      table.Post();
    }
  }
  table.Commit();
}

void WriteTimetableSection(XmlSectionWriter& out, const fs::path& exchangeDirectory,
                           char16_t decimalSeparator) {
  out.Open("time-tables");
  out.Open("time-table");
  out.Attribute("id", u"tt1");
  out.Attribute("name", u"Talvenor");

  {
    const Table frame = Table::Open(exchangeDirectory, kDiashorast.name, decimalSeparator);
    out.Open("days");
    for (int d = 1; d <= kDaysInWeek; ++d) {
      const std::u16string dayText = DecimalText(d);
      const std::optional<std::size_t> first = ScanFirst(frame, field::kDia, dayText);
      if (!first) continue;
      out.Open("day");
      out.Attribute("id", dayText);
      out.Attribute("name", TextOf(frame, *first, field::kTextoDia));
      for (int h = 1; h <= kHoursInDay; ++h) {
        const std::u16string hourText = DecimalText(h);
        for (std::size_t record = 0; record < frame.RecordCount(); ++record) {
          if (TextOf(frame, record, field::kDia) != dayText ||
              TextOf(frame, record, field::kHora) != hourText) {
            continue;
          }
          out.Open("interval");
          out.Attribute("id", u"i" + hourText);
          out.Attribute("begin", TextOf(frame, record, field::kHoraDesde));
          out.Attribute("end", PaddedEnd(TextOf(frame, record, field::kHoraHasta)));
          out.Close();
        }
      }
      out.Close();
    }
    out.Close();
  }

  const Table groups = Table::Open(exchangeDirectory, kGrupost.name, decimalSeparator);
  const Table soluc = Table::Open(exchangeDirectory, kSolucName, decimalSeparator);
  const Table teachers = Table::Open(exchangeDirectory, kProft.name, decimalSeparator);
  const Table subjects = Table::Open(exchangeDirectory, kAsignomt.name, decimalSeparator);
  const Table rooms = Table::Open(exchangeDirectory, kAulat.name, decimalSeparator);
  WriteUsedRecords(out, groups, field::kAbrev, soluc, field::kCodGrupo, "groups", "group");
  WriteUsedRecords(out, teachers, field::kAbrev, soluc, field::kProf, "members", "member");

  std::vector<std::u16string> activityIds;
  std::vector<std::u16string> activitySubjects;
  out.Open("activities");
  for (std::size_t record = 0; record < subjects.RecordCount(); ++record) {
    if (!ScanFirst(soluc, field::kAsig, TextOf(subjects, record, field::kCod))) continue;
    const std::u16string id = u"a" + DecimalText(static_cast<std::int64_t>(activityIds.size() + 1));
    out.Open("activity");
    out.Attribute("id", id);
    out.Attribute("name", TextOf(subjects, record, field::kNombre));
    out.Attribute("subject", TextOf(subjects, record, field::kIdSaga));
    out.Close();
    activityIds.push_back(id);
    activitySubjects.push_back(TextOf(subjects, record, field::kIdSaga));
  }
  out.Close();

  out.Open("inputs");
  std::int64_t inputNumber = 0;
  for (std::size_t row = 0; row < soluc.RecordCount(); ++row) {
    if (soluc.Integer(row, soluc.FieldIndex(field::kDia)) == 0) continue;
    const std::u16string interval =
        u"i" + HourText(soluc.Real(row, soluc.FieldIndex(field::kHora)),
                        soluc.Real(row, soluc.FieldIndex(field::kSesiones)), decimalSeparator);
    const std::u16string subject = [&] {
      const std::u16string code = TextOf(soluc, row, field::kAsig);
      const std::optional<std::size_t> record = ScanFirst(subjects, field::kCod, code);
      return record ? TextOf(subjects, *record, field::kIdSaga) : code;
    }();
    std::optional<std::size_t> position;
    for (std::size_t i = 0; i < activitySubjects.size() && !position; ++i) {
      if (EqualIgnoringCase(activitySubjects[i], subject)) position = i;
    }
    if (!position) throw TransferError("SOLUC: una asignatura sin actividad");
    out.Open("input");
    out.Attribute("id", u"input" + DecimalText(++inputNumber));
    out.Attribute("day", TextOf(soluc, row, field::kDia));
    out.Attribute("interval", interval);
    out.Attribute("activity", activityIds[*position]);
    WriteReference(out, "groups", "group", groups, TextOf(soluc, row, field::kCodGrupo));
    WriteReference(out, "members", "member", teachers, TextOf(soluc, row, field::kProf));
    WriteReference(out, "locations", "location", rooms, TextOf(soluc, row, field::kAula));
    out.Close();
  }
  out.Close();
  out.Close();  // time-table
  out.Close();  // time-tables
}

}  // namespace brivasto::reference
