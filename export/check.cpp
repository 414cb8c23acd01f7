// The document check that runs before any table is touched: every element
// the steps cannot carry is listed in one message.
#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "export/codes.h"
#include "export/export.h"
#include "export/fields.h"
#include "export/hours.h"
#include "export/sections.h"

namespace brivasto {
namespace {

// At most this many problems are spelled out; the rest are counted.
constexpr std::size_t kListedProblems = 40;

std::string Quoted(const std::u16string& text) { return "\"" + ToUtf8(text) + "\""; }

// "subject nº 3 (id="11", name="Música")": the element, its position within
// its selection and what identifies it, as far as it has it.
std::string Element(std::string_view name, std::size_t position,
                    const std::optional<std::u16string>& id,
                    const std::optional<std::u16string>& label, std::string_view labelName) {
  std::string text = std::string(name) + " nº " + std::to_string(position);
  std::vector<std::string> identity;
  if (id) identity.push_back("id=" + Quoted(*id));
  if (label && !label->empty()) identity.push_back(std::string(labelName) + "=" + Quoted(*label));
  if (!identity.empty()) {
    text += " (";
    for (std::size_t i = 0; i < identity.size(); ++i) text += (i ? ", " : "") + identity[i];
    text += ")";
  }
  return text;
}

class Problems {
 public:
  void Add(std::string_view section, const std::string& element, std::string_view what) {
    lines_.push_back("- " + std::string(section) + ", " + element + ": " + std::string(what));
  }
  bool Empty() const { return lines_.empty(); }
  const std::vector<std::string>& Lines() const { return lines_; }
  std::string Message(const std::filesystem::path& file) const {
    std::string message = "El documento SAGA " + file.string() +
                          " no se puede exportar; no se ha cambiado ninguna tabla de "
                          "intercambio. Elementos con problemas:";
    for (std::size_t i = 0; i < lines_.size() && i < kListedProblems; ++i) {
      message += "\n" + lines_[i];
    }
    if (lines_.size() > kListedProblems) {
      message += "\n... y " + std::to_string(lines_.size() - kListedProblems) + " más.";
    }
    return message;
  }

 private:
  std::vector<std::string> lines_;
};

constexpr std::string_view kNoId = "falta el atributo \"id\"";

// An IDSAGA is the only way back from a table to SAGA: an id the table
// would not store exactly (its characters changed, dropped or made blanks)
// would come back as another id. The problem, or nothing.
std::optional<std::string> IdNotStoredExactly(const std::optional<std::u16string>& id) {
  if (!id || StoredExactly(*id)) return std::nullopt;
  const StoredTextChanges changes = ChangesInStoredText(*id);
  std::string why;
  const auto add = [&why](const std::string& part) { why += (why.empty() ? "" : "; ") + part; };
  if (!changes.replaced.empty()) {
    add("las tablas (Windows 1252) no pueden guardar " + Quoted(changes.replaced));
  }
  if (!changes.dropped.empty()) {
    add("tiene caracteres invisibles que no se guardan (" + CharacterNames(changes.dropped) + ")");
  }
  if (!changes.blanked.empty()) {
    add("tiene caracteres de control (" + CharacterNames(changes.blanked) + ")");
  }
  if (why.empty()) add("se guardaría normalizado (NFC)");
  return "el id no se guardaría tal cual en IDSAGA (quedaría " +
         Quoted(StoredText(*id, std::numeric_limits<std::size_t>::max())) + "): " + why;
}

// `element` names the element; called only for a problem.
template <typename Element>
void CheckId(std::string_view section, const Element& element,
             const std::optional<std::u16string>& id, Problems& problems) {
  if (!id) {
    problems.Add(section, element(), kNoId);
  } else if (const std::optional<std::string> problem = IdNotStoredExactly(id)) {
    problems.Add(section, element(), *problem);
  }
}

void CheckSubjects(const std::vector<SagaSubject>& subjects, Problems& problems) {
  for (const SagaSubject& subject : subjects) {
    const auto element = [&] {
      return Element("subject", subject.position, subject.id, subject.name, "name");
    };
    CheckId("subjects", element, subject.id, problems);
    if (!subject.name) {
      problems.Add("subjects", element(), "falta el atributo \"name\"");
    } else if (subject.name->empty()) {
      problems.Add("subjects", element(), "el atributo \"name\" está en blanco");
    }
    // The hours as ASIGNOMT keeps them, as the assignments will read them.
    const std::u16string kept =
        StoredText(subject.hours && !subject.hours->empty() ? *subject.hours : hours::kDefaultHours,
                   FieldWidth(kAsignomt, field::kHoras));
    if (!hours::SessionCount(hours::HoursValue(kept))) {
      problems.Add("subjects", element(),
                   "las horas " + Quoted(kept) +
                       " dan más sesiones de las que caben en un entero de 32 bits");
    }
  }
}

void CheckNamedItems(std::string_view section, std::string_view elementName,
                     const std::vector<SagaNamedItem>& items, Problems& problems) {
  for (const SagaNamedItem& item : items) {
    const auto element = [&] {
      return Element(elementName, item.position, item.id, item.name, "nombre");
    };
    CheckId(section, element, item.id, problems);
    if (!item.name) problems.Add(section, element(), "no tiene contenido (falta el nombre)");
  }
}

void CheckGroups(const std::vector<SagaGroup>& groups, Problems& problems) {
  for (const SagaGroup& group : groups) {
    const auto element = [&] {
      return Element("group", group.position, group.id, group.name, "name");
    };
    CheckId("groups", element, group.id, problems);
    const auto idIsFine = [](const std::optional<std::u16string>& id) {
      return id && StoredExactly(*id);
    };
    for (const SagaAssignedSubject& subject : group.subjects) {
      // The element's description is built only for an element with a
      // problem: a large document has hundreds of thousands of them.
      const bool teachersFine =
          std::all_of(subject.teachers.begin(), subject.teachers.end(),
                      [&](const SagaAssignedTeacher& teacher) { return idIsFine(teacher.id); });
      if (idIsFine(subject.id) && teachersFine) continue;
      const std::string assigned =
          element() + " > " + Element("assigned-subject", subject.position, subject.id, {}, "");
      CheckId(
          "groups", [&] { return assigned; }, subject.id, problems);
      for (const SagaAssignedTeacher& teacher : subject.teachers) {
        if (idIsFine(teacher.id)) continue;
        CheckId(
            "groups",
            [&] {
              return assigned + " > " +
                     Element("assigned-teacher", teacher.position, teacher.id, {}, "");
            },
            teacher.id, problems);
      }
    }
  }
}

// The root element's name when it is not SAGA's <document> (cut to 60
// characters); nullopt for a SAGA document.
std::optional<std::string> ForeignRootName(const SagaDocument& document) {
  const XmlNode root = document.Root();
  if (!root || root.Name() == "document") return std::nullopt;
  std::u16string name = FromUtf8(root.Name());
  if (name.size() > 60) name = name.substr(0, 60) + u"...";
  return ToUtf8(name);
}

Problems FindProblems(const CatalogueSections& sections) {
  Problems problems;
  CheckSubjects(sections.subjects, problems);
  CheckNamedItems("teachers", "teacher", sections.teachers, problems);
  CheckNamedItems("locations", "location", sections.locations, problems);
  CheckGroups(sections.groups, problems);
  return problems;
}

}  // namespace

void CheckSections(const SagaDocument& document, const CatalogueSections& sections) {
  // Another program's XML has none of the sections; exporting it would put
  // six empty tables in place of Talvenor's.
  if (const std::optional<std::string> root = ForeignRootName(document)) {
    throw TransferError("El archivo " + document.File().string() +
                        " no es un documento SAGA: su elemento raíz es <" + *root +
                        ">, no <document>; no se ha cambiado ninguna tabla de intercambio.");
  }
  const Problems problems = FindProblems(sections);
  if (!problems.Empty()) throw TransferError(problems.Message(document.File()));
}

std::vector<std::string> ExportProblems(const SagaDocument& document) {
  if (const std::optional<std::string> root = ForeignRootName(document)) {
    return {"- el documento no es de SAGA: su elemento raíz es <" + *root + ">, no <document>"};
  }
  CatalogueSections storage;
  return FindProblems(ReadCatalogueSections(document, storage)).Lines();
}

void CheckExportable(const SagaDocument& document) {
  CatalogueSections storage;
  CheckSections(document, ReadCatalogueSections(document, storage));
}

bool HoursAreNumber(std::u16string_view text) { return hours::IsHoursNumeral(text); }

}  // namespace brivasto
