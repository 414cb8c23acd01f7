// export/sections.h (private): the four catalogue sections of a SAGA
// document, read once for a whole run, and the check made on them before any
// table is touched.
#pragma once

#include <vector>

#include "saga/saga.h"

namespace brivasto {

struct DocumentSections {
  std::vector<SagaSubject> subjects;
  std::vector<SagaNamedItem> teachers;
  std::vector<SagaNamedItem> locations;
  std::vector<SagaGroup> groups;
};

inline DocumentSections ReadDocumentSections(const SagaDocument& document) {
  return {ReadSubjects(document), ReadTeachers(document), ReadLocations(document),
          ReadGroups(document)};
}

// CheckExportable on the sections of `document`, already read.
void CheckSections(const SagaDocument& document, const DocumentSections& sections);

}  // namespace brivasto
