// app/test_support.h: what the app's tests share besides the common test
// helpers: a small SAGA document.
#pragma once

#include <string_view>

#include "testsupport/test_support.h"

namespace brivasto::testing {

// A SAGA document with every section the export reads, all empty.
inline constexpr std::string_view kEmptySagaDocument =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<document><subjects/><teachers/><locations/><groups/></document>\n";

}  // namespace brivasto::testing
