// export/sections.h (private): the four catalogue sections of a SAGA
// document, read once for a whole run, and the check made on them before any
// table is touched.
#pragma once

#include <vector>

#include "saga/saga.h"

namespace brivasto {

using DocumentSections = CatalogueSections;

inline const DocumentSections& ReadDocumentSections(const SagaDocument& document,
                                                    DocumentSections& storage) {
  return ReadCatalogueSections(document, storage);
}

// CheckExportable on the sections of `document`, already read.
void CheckSections(const SagaDocument& document, const DocumentSections& sections);

}  // namespace brivasto
