// saga/catalogue_stream.h (private to saga/): the catalogue elements read
// straight from the parser's events into their entries, without making
// nodes. It gives exactly what reading the element's nodes gives (blank text
// dropped, values trimmed) for the elements SAGA writes: attributes, text and
// child elements. An element that holds anything else (an entity reference,
// a CDATA section, a comment, a processing instruction, an attribute the DTD
// supplies or that refers to an entity) is not read here: the caller then
// reads the document again with nodes (CatalogueStream::NeedsNodes).
#pragma once

#include <libxml/xmlstring.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "saga/saga.h"

namespace brivasto::sagadoc {

class CatalogueStream {
 public:
  // Thrown when an element holds what only its nodes can tell.
  struct NeedsNodes {};

  explicit CatalogueStream(CatalogueSections& sections) : sections_(sections) {}

  // The events of one catalogue element, `item` ("subject", "teacher",
  // "location" or "group"), as libxml2's SAX2 callbacks give them.
  void StartItem(const char* item, const xmlChar** attributes, int attributeCount,
                 int defaultedCount);
  void StartChild(const xmlChar* localName, const xmlChar* prefix, const xmlChar** attributes,
                  int attributeCount, int defaultedCount);
  void EndChild();
  void Text(const xmlChar* text, int length);
  // The element ends: its entry joins its section.
  void EndItem();

 private:
  enum class Kind { kSubject, kNamedItem, kLocation, kGroup };
  // What the first child node of the element is, once blank text is dropped.
  enum class FirstChild { kNotYet, kInElement, kKnown };
  // Where a child element stands in the group's assignments.
  enum class Place { kOther, kSubjectList, kAssignedSubject, kTeacherList, kAssignedTeacher };

  void EndRun();

  CatalogueSections& sections_;
  Kind kind_ = Kind::kSubject;
  std::vector<Place> places_;  // of the open child elements, outermost first
  FirstChild first_ = FirstChild::kNotYet;
  std::size_t firstDepth_ = 0;  // the depth of the first child element
  bool hasFirst_ = false;
  std::string firstText_;  // UTF-8
  std::string run_;        // the text node being read, UTF-8
  bool inRun_ = false;

  std::optional<std::u16string> id_, name_, regim_, hours_;
  std::size_t attributeCount_ = 0;
  std::vector<SagaAssignedSubject> assigned_;  // of the group being read
};

}  // namespace brivasto::sagadoc
