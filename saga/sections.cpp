// The catalogue sections of a SAGA document, read the way the export visits
// them: each selection once, in document order, every value trimmed.
#include "saga/elements.h"
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
    items.push_back(elements::ReadNamedItem(elements[i], i + 1));
  }
  return items;
}

}  // namespace

namespace elements {

SagaSubject ReadSubject(const XmlNode& element, std::size_t position) {
  SagaSubject subject;
  subject.position = position;
  subject.id = TrimmedAttribute(element, "id");
  subject.name = TrimmedAttribute(element, "name");
  subject.attributeCount = element.AttributeCount();
  // Any third attribute, whatever its name, means the hours are given.
  if (subject.attributeCount > 2) subject.hours = TrimmedAttribute(element, "hours");
  return subject;
}

SagaNamedItem ReadNamedItem(const XmlNode& element, std::size_t position) {
  return {position, TrimmedAttribute(element, "id"), TrimmedFirstChildText(element)};
}

SagaGroup ReadGroup(const XmlNode& element, std::size_t position) {
  SagaGroup group;
  group.position = position;
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
  return group;
}

}  // namespace elements

// A document loaded with kCatalogueSections has its sections read already.

std::vector<SagaSubject> ReadSubjects(const SagaDocument& document) {
  if (const CatalogueSections* streamed = document.StreamedSections()) return streamed->subjects;
  std::vector<SagaSubject> subjects;
  const auto elements = document.SelectNodes("/document/subjects/subject");
  subjects.reserve(elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i) {
    subjects.push_back(elements::ReadSubject(elements[i], i + 1));
  }
  return subjects;
}

std::vector<SagaNamedItem> ReadTeachers(const SagaDocument& document) {
  if (const CatalogueSections* streamed = document.StreamedSections()) return streamed->teachers;
  return ReadNamedItems(document, "/document/teachers/teacher");
}

std::vector<SagaNamedItem> ReadLocations(const SagaDocument& document) {
  if (const CatalogueSections* streamed = document.StreamedSections()) return streamed->locations;
  return ReadNamedItems(document, "/document/locations/location");
}

std::vector<SagaGroup> ReadGroups(const SagaDocument& document) {
  if (const CatalogueSections* streamed = document.StreamedSections()) return streamed->groups;
  std::vector<SagaGroup> groups;
  const auto elements = document.SelectNodes("/document/groups/group");
  groups.reserve(elements.size());
  for (std::size_t i = 0; i < elements.size(); ++i) {
    groups.push_back(elements::ReadGroup(elements[i], i + 1));
  }
  return groups;
}

const CatalogueSections& ReadCatalogueSections(const SagaDocument& document,
                                               CatalogueSections& storage) {
  if (const CatalogueSections* streamed = document.StreamedSections()) return *streamed;
  storage = {ReadSubjects(document), ReadTeachers(document), ReadLocations(document),
             ReadGroups(document)};
  return storage;
}

}  // namespace brivasto
