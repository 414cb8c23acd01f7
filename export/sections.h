// export/sections.h (private): the check made on the four catalogue sections
// of a SAGA document (read once for a whole run, ReadCatalogueSections)
// before any table is touched.
#pragma once

#include "saga/saga.h"

namespace brivasto {

// CheckExportable on the sections of `document`, already read.
void CheckSections(const SagaDocument& document, const CatalogueSections& sections);

}  // namespace brivasto
