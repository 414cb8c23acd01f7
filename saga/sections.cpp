// The catalogue sections of a SAGA document, read the way the export visits
// them: each selection once, in document order, every value trimmed.
#include "saga/saga.h"

namespace brivasto {
namespace {

// Most values have no blank at either end and are kept as they are.
bool HasOuterBlank(const std::u16string& text) {
  return !text.empty() && (text.front() == u' ' || text.back() == u' ');
}

std::optional<std::u16string> TrimmedAttribute(const XmlNode& element, std::string_view name) {
  auto value = element.Attribute(name);
  if (value && HasOuterBlank(*value)) *value = TrimBlanks(*value);
  return value;
}

// The text of the element's first child node, whatever kind of node it is;
// nullopt when the element has no child.
std::optional<std::u16string> TrimmedFirstChildText(const XmlNode& element) {
  const XmlNode first = element.FirstChild();
  if (!first) return std::nullopt;
  std::u16string text = first.Text();
  return HasOuterBlank(text) ? TrimBlanks(text) : text;
}

std::vector<SagaNamedItem> ReadNamedItems(const SagaDocument& document, std::string_view path) {
  std::vector<SagaNamedItem> items;
  const auto elements = document.SelectNodes(path);
  items.reserve(elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i) {
    SagaNamedItem& item = items.emplace_back();
    item.position = i + 1;
    item.id = TrimmedAttribute(elements[i], "id");
    item.name = TrimmedFirstChildText(elements[i]);
  }
  return items;
}

}  // namespace

std::vector<SagaSubject> ReadSubjects(const SagaDocument& document) {
  std::vector<SagaSubject> subjects;
  const auto elements = document.SelectNodes("/document/subjects/subject");
  subjects.reserve(elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i) {
    SagaSubject& subject = subjects.emplace_back();
    subject.position = i + 1;
    subject.id = TrimmedAttribute(elements[i], "id");
    subject.name = TrimmedAttribute(elements[i], "name");
    subject.attributeCount = elements[i].AttributeCount();
    // Any third attribute, whatever its name, means the hours are given.
    if (subject.attributeCount > 2) subject.hours = TrimmedAttribute(elements[i], "hours");
  }
  return subjects;
}

std::vector<SagaNamedItem> ReadTeachers(const SagaDocument& document) {
  return ReadNamedItems(document, "/document/teachers/teacher");
}

std::vector<SagaNamedItem> ReadLocations(const SagaDocument& document) {
  return ReadNamedItems(document, "/document/locations/location");
}

std::vector<SagaGroup> ReadGroups(const SagaDocument& document) {
  std::vector<SagaGroup> groups;
  const auto elements = document.SelectNodes("/document/groups/group");
  groups.reserve(elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i) {
    const XmlNode& element = elements[i];
    SagaGroup& group = groups.emplace_back();
    group.position = i + 1;
    group.id = TrimmedAttribute(element, "id");
    group.regim = TrimmedAttribute(element, "regim");
    group.name = TrimmedAttribute(element, "name");
    group.description = TrimmedFirstChildText(element);

    const auto assigned = element.SelectNodes("assigned-subjects/assigned-subject");
    group.subjects.reserve(assigned.size());
    for (std::size_t s = 0; s < assigned.size(); ++s) {
      SagaAssignedSubject& subject = group.subjects.emplace_back();
      subject.position = s + 1;
      subject.id = TrimmedAttribute(assigned[s], "id");
      const auto teachers = assigned[s].SelectNodes("assigned-teachers/assigned-teacher");
      subject.teachers.reserve(teachers.size());
      for (std::size_t t = 0; t < teachers.size(); ++t) {
        subject.teachers.push_back({t + 1, TrimmedAttribute(teachers[t], "id")});
      }
    }
  }
  return groups;
}

}  // namespace brivasto
